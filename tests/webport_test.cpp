// The web port: request parsing and responses of the HTTP server, and the
// real daemon's port with the status page and the JSON endpoints against the
// query service, bad input, and clients that are slow, stalled or too many.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "http.h"
#include "testutil.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

struct Reply {
    int status = 0;
    std::string head, body;
    double ms = 0;  // from connect to the end of the reply
};

// One HTTP exchange on 127.0.0.1:port: sends request, reads until the server closes.
Reply http(int port, const std::string& request, std::chrono::milliseconds timeout = 10s) {
    Reply reply;
    auto start = Clock::now();
    Client client(port);
    if (!client.connected()) return reply;
    client.send(request);
    std::string all;
    char buffer[65536];
    auto deadline = start + timeout;
    while (Clock::now() < deadline) {
        pollfd p = {client.fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 1))) <= 0) break;
        ssize_t n = recv(client.fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        all.append(buffer, static_cast<size_t>(n));
    }
    reply.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
    reply.status = atoi(all.c_str() + 9);
    reply.head = all.substr(0, end + 2);
    reply.body = all.substr(end + 4);
    return reply;
}

Reply get(int port, const std::string& target) {
    return http(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string webConfig(int port, int webPort, const std::string& sensors) {
    return configText(port, "metricsport = " + std::to_string(webPort) + "\nloglevel = stat\n" +
                                "[sensors]\n" + sensors);
}

// The value of a query reply "valid=1;value=21.5;".
std::string valueOf(const std::string& reply) {
    const std::string prefix = "valid=1;value=";
    if (reply.rfind(prefix, 0) != 0 || reply.back() != ';') return "<" + reply + ">";
    return reply.substr(prefix.size(), reply.size() - prefix.size() - 1);
}

// CPU time (user and system) of process pid so far, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = atol(field.c_str());
        if (i == 15) stime = atol(field.c_str());
    }
    return utime + stime;
}

// Voluntary context switches of the thread called name in process pid; -1 without one.
long wakeUpsOf(pid_t pid, const std::string& name) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    long switches = -1;
    while (dirent* entry = readdir(dir)) {
        std::ifstream comm(tasks + entry->d_name + "/comm");
        std::string found;
        if (!std::getline(comm, found) || found != name) continue;
        std::ifstream status(tasks + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) switches = atol(line.c_str() + 24);
    }
    closedir(dir);
    return switches;
}

// The connections to port (not its listener) whose socket process pid holds,
// from /proc: a descriptor count would also see other descriptors come and go.
int heldConnections(pid_t pid, int port) {
    std::set<std::string> inodes;
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        char target[64] = "";
        ssize_t n = readlink((fdDir + entry->d_name).c_str(), target, sizeof(target) - 1);
        std::string link(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (link.rfind("socket:[", 0) == 0) inodes.insert(link.substr(8, link.size() - 9));
    }
    closedir(dir);
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(table, line);  // the column names
    int held = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        int localPort =
            static_cast<int>(strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
        if (localPort == port && remote.substr(remote.find(':') + 1) != "0000" &&
            inodes.count(inode))
            ++held;
    }
    return held;
}

// A connection with a small receive buffer that asks for /metrics, waits for
// the first bytes of the answer and then reads no more.
struct StalledReader {
    explicit StalledReader(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        const char request[] = "GET /metrics HTTP/1.1\r\n\r\n";
        EXPECT_EQ(send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL),
                  static_cast<ssize_t>(sizeof(request) - 1));
        pollfd p = {fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 10000), 1);  // the response has begun
    }
    ~StalledReader() { close(fd); }
    int fd = -1;
};

}  // namespace

TEST(HttpRequestText, QueryValuesArePercentDecoded) {
    HttpRequest request;
    request.query = "x=1&name=%3Cb%3E+a%2Bb&empty=&flag";
    std::string value;
    ASSERT_TRUE(request.queryValue("name", &value));
    EXPECT_EQ(value, "<b> a+b");
    ASSERT_TRUE(request.queryValue("empty", &value));
    EXPECT_EQ(value, "");
    ASSERT_TRUE(request.queryValue("flag", &value));
    EXPECT_FALSE(request.queryValue("other", &value));
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("%zz%4"), "%zz%4");
    EXPECT_EQ(percentEncode("a b<&>é"), "a%20b%3C%26%3E%C3%A9");
}

TEST(HttpRequestText, TheServerAnswersBadRequestsItself) {
    sockaddr_storage peer = {};
    int calls = 0;
    HttpServer::Handler handler = [&](const HttpRequest& r) {
        ++calls;
        HttpResponse response;
        response.body = r.path + "|" + r.query;
        return response;
    };
    std::string ok = HttpServer::respond("GET /a?b=c HTTP/1.1\r\n\r\n", peer, handler);
    EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(ok.find("Content-Length: 6\r\n"), std::string::npos);
    EXPECT_NE(ok.find("Connection: close\r\n\r\n/a|b=c"), std::string::npos);
    std::string head = HttpServer::respond("HEAD / HTTP/1.0\r\n\r\n", peer, handler);
    EXPECT_NE(head.find("Content-Length: 2\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");  // no body
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(
        HttpServer::respond("POST / HTTP/1.1\r\n\r\n", peer, handler).rfind("HTTP/1.1 405 ", 0),
        0u);
    EXPECT_EQ(HttpServer::respond("garbage\r\n\r\n", peer, handler).rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(
        HttpServer::respond("GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", peer, handler)
            .rfind("HTTP/1.1 400 ", 0),
        0u);
    EXPECT_EQ(calls, 2);
    HttpServer::Handler failing = [](const HttpRequest&) -> HttpResponse {
        throw std::runtime_error("boom");
    };
    EXPECT_EQ(
        HttpServer::respond("GET / HTTP/1.1\r\n\r\n", peer, failing).rfind("HTTP/1.1 500 ", 0), 0u);
}

TEST(HttpRequestText, LargerBodiesGoOutGzippedToClientsThatAcceptIt) {
    sockaddr_storage peer = {};
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += "sensomark_reading_valid{sensor=\"n" + std::to_string(i) + "\"} 1\n";
    HttpServer::Handler handler = [&](const HttpRequest&) {
        HttpResponse response;
        response.body = text;
        return response;
    };
    std::string reply = HttpServer::respond(
        "GET /metrics HTTP/1.1\r\nHost: x\r\naccept-encoding:  deflate, GZIP\r\n\r\n", peer,
        handler);
    size_t end = reply.find("\r\n\r\n") + 4;
    std::string head = reply.substr(0, end), body = reply.substr(end);
    EXPECT_NE(head.find("Content-Encoding: gzip\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_LT(body.size(), text.size() / 4);
    std::string unpacked(text.size() + 16, '\0');
    z_stream z = {};
    ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(body.data());
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = reinterpret_cast<Bytef*>(unpacked.data());
    z.avail_out = static_cast<uInt>(unpacked.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    unpacked.resize(z.total_out);
    inflateEnd(&z);
    EXPECT_EQ(unpacked, text);

    for (const char* refusing : {"", "Accept-Encoding: gzip;q=0\r\n", "Accept-Encoding: br\r\n"}) {
        std::string plain = HttpServer::respond(
            std::string("GET /metrics HTTP/1.1\r\n") + refusing + "\r\n", peer, handler);
        EXPECT_EQ(plain.find("Content-Encoding"), std::string::npos) << refusing;
        EXPECT_EQ(plain.substr(plain.size() - text.size()), text);
    }
}

TEST(WebPort, PageAndJsonShowWhatTheQueryServiceServes) {
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir,
        webConfig(port, webPort, pty.slavePath + " = cellar garage\n/nonexistent/x = attic\n"));
    Client client(port);
    for (int i = 0; i < 5; ++i)
        pty.write("temperature=2" + std::to_string(i) + ".5 humidity=4" + std::to_string(i) +
                  ".3 dewpoint=-1." + std::to_string(i) + "\r\n");
    ASSERT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=-1.4;"; }));

    Reply readings = get(webPort, "/readings.json");
    ASSERT_EQ(readings.status, 200) << readings.head;
    EXPECT_TRUE(has(readings.head, "Content-Type: application/json\r\n"));
    json doc = json::parse(readings.body);
    for (const char* name : {"cellar", "garage"}) {
        const json& s = doc["sensors"][name];
        EXPECT_EQ(s["device"], pty.slavePath);
        EXPECT_EQ(s["open"], true);
        EXPECT_EQ(s["reconnects"], 0);
        for (int q = 1; q <= 3; ++q) {
            const char* key = q == 1 ? "temperature" : q == 2 ? "humidity" : "dewpoint";
            std::string served = valueOf(client.query(std::string(name) + "." + std::to_string(q)));
            EXPECT_EQ(s["readings"][key]["value"], std::stod(served)) << name << key;
            EXPECT_EQ(s["readings"][key]["valid"], true);
            EXPECT_LE(s["readings"][key]["age"].get<int>(), 30);
        }
    }
    EXPECT_EQ(doc["sensors"]["attic"]["open"], false);
    EXPECT_TRUE(doc["sensors"]["attic"]["readings"]["temperature"]["value"].is_null());
    EXPECT_TRUE(doc["sensors"]["attic"]["age"].is_null());

    Reply history = get(webPort, "/history.json?name=garage");
    ASSERT_EQ(history.status, 200);
    json h = json::parse(history.body);
    EXPECT_EQ(h["name"], "garage");
    int values = 0;
    double lowest = 100;
    for (const json& b : h["buckets"]["temperature"]) {
        values += b["count"].get<int>();
        lowest = std::min(lowest, b["min"].get<double>());
    }
    EXPECT_EQ(values, 5);  // every line, in one minute or two
    EXPECT_EQ(lowest, 20.5);

    Reply page = get(webPort, "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_TRUE(has(page.head, "Content-Type: text/html; charset=utf-8\r\n"));
    EXPECT_TRUE(has(page.head, "Content-Security-Policy: default-src 'none'"));
    EXPECT_TRUE(has(page.body, "<data value=\"24.5\">24.5</data>"));
    EXPECT_TRUE(has(page.body, "<data value=\"-1.4\">-1.4</data>"));
    EXPECT_TRUE(has(page.body, "<code class=\"device\">" + pty.slavePath + "</code>"));
    EXPECT_TRUE(has(page.body, "<span class=\"state closed\">not open</span>"));
    EXPECT_LT(page.body.size(), 100u * 1024);

    // A browser gets the page compressed.
    Reply gz = http(webPort, "GET / HTTP/1.1\r\nAccept-Encoding: gzip, deflate, br\r\n\r\n");
    EXPECT_TRUE(has(gz.head, "Content-Encoding: gzip\r\n")) << gz.head;
    EXPECT_LT(gz.body.size(), page.body.size());
    EXPECT_EQ(gz.body.compare(0, 2, "\x1f\x8b"), 0);

    Reply head = http(webPort, "HEAD /readings.json HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(get(webPort, "/metrics?x=1").status, 200);
    EXPECT_EQ(client.query("attic.1"), "valid=0");  // the query service never noticed
}

TEST(WebPort, UnknownPathsNamesAndMarkupAreRefusedOrEscaped) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir, webConfig(port, webPort, "/nonexistent/<i>dev</i> = <script>alert(1)</script> ok\n"));
    EXPECT_EQ(get(webPort, "/nothing").status, 404);
    EXPECT_EQ(get(webPort, "/index.html").status, 404);
    EXPECT_EQ(get(webPort, "/history.json").status, 404);  // no name
    Reply nobody = get(webPort, "/history.json?name=nobody");
    EXPECT_EQ(nobody.status, 404);
    EXPECT_NO_THROW(json::parse(nobody.body));
    Reply markup = get(webPort, "/history.json?name=%3Cb%3Ehi%3C%2Fb%3E");
    EXPECT_EQ(markup.status, 404);
    EXPECT_FALSE(has(markup.body, "<b>"));
    EXPECT_EQ(http(webPort, "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n").status, 405);
    EXPECT_EQ(http(webPort, "BREW /\r\n\r\n").status, 400);

    // A configured name that holds markup is text on the page and a key in the JSON.
    Reply page = get(webPort, "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_FALSE(has(page.body, "<script>"));
    EXPECT_FALSE(has(page.body, "<i>"));
    EXPECT_TRUE(has(page.body, "&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_TRUE(has(page.body, "/nonexistent/&lt;i&gt;dev&lt;/i&gt;"));
    Reply named = get(webPort, "/history.json?name=%3Cscript%3Ealert(1)%3C%2Fscript%3E");
    ASSERT_EQ(named.status, 200);
    EXPECT_EQ(json::parse(named.body)["device"], "/nonexistent/<i>dev</i>");

    // Query strings: one within the 8 KiB head is looked up, a longer head is refused.
    EXPECT_EQ(get(webPort, "/history.json?name=" + std::string(6000, 'x')).status, 404);
    Reply tooLong = get(webPort, "/history.json?name=" + std::string(9000, 'x'));
    EXPECT_EQ(tooLong.status, 400);
    EXPECT_TRUE(has(tooLong.body, "too long"));
    EXPECT_EQ(get(webPort, "/readings.json?" + std::string(100000, '&')).status, 400);
    EXPECT_EQ(get(webPort, "/").status, 200);
}

TEST(WebPort, ASlowClientIsDroppedAndDelaysNobody) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(dir, webConfig(port, webPort, "/nonexistent/x = attic\n"));
    Client slow(webPort);
    slow.send("GET /metr");
    auto start = Clock::now();
    Reply scrape = get(webPort, "/metrics");
    EXPECT_EQ(scrape.status, 200);
    EXPECT_TRUE(has(scrape.body, "sensomark_reading_valid{sensor=\"attic\""));
    // The two seconds to send a head run out; then the connection is closed.
    EXPECT_TRUE(slow.closedByPeer(10s));
    EXPECT_GE(Clock::now() - start, 1500ms);
    std::cout << "scrape beside a slow client: " << scrape.ms << " ms\n";
}

TEST(WebPort, HundredHalfRequestsDelayNeitherScrapeNorPage) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(dir, webConfig(port, webPort, "/nonexistent/x = attic\n"));
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<Client>(webPort));
        slow.back()->send("GET /metr");
    }
    // The daemon holds as many as it takes (64); the rest wait in the backlog.
    ASSERT_TRUE(eventually([&] { return heldConnections(daemon->pid(), webPort) == 64; }))
        << heldConnections(daemon->pid(), webPort);
    Reply scrape = get(webPort, "/metrics");
    Reply page = get(webPort, "/");
    EXPECT_EQ(scrape.status, 200);
    EXPECT_EQ(page.status, 200);
    std::cout << "behind 100 half requests: scrape " << scrape.ms << " ms, page " << page.ms
              << " ms\n";
    RecordProperty("scrape_ms", static_cast<int>(scrape.ms));
    RecordProperty("page_ms", static_cast<int>(page.ms));
    EXPECT_LT(scrape.ms, 1000);
    EXPECT_LT(page.ms, 1000);
    EXPECT_LE(heldConnections(daemon->pid(), webPort), 64);  // the cap holds
    // Every half request is closed in the end.
    for (auto& c : slow) EXPECT_TRUE(c->closedByPeer(10s));
    EXPECT_TRUE(eventually([&] { return heldConnections(daemon->pid(), webPort) == 0; }));
}

TEST(WebPort, AStalledReaderOfALargeBodyHoldsNeitherScrapesNorTheStop) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    // 24,300 names: an exposition of 6 MB, more than the kernel buffers of a connection.
    std::string sensors;
    for (int d = 0; d < 180; ++d) {
        sensors += "/nonexistent/d" + std::to_string(d) + " =";
        for (int n = 0; n < 135; ++n) sensors += " n" + std::to_string(d * 135 + n);
        sensors += "\n";
    }
    auto daemon = startDaemon(dir, webConfig(port, webPort, sensors));
    Reply first = get(webPort, "/metrics");
    ASSERT_EQ(first.status, 200);
    ASSERT_TRUE(has(first.body, "sensor=\"n24299\""));
    std::cout << "exposition of 24300 names: " << first.body.size() << " bytes in " << first.ms
              << " ms\n";

    auto holder = std::make_unique<StalledReader>(webPort);
    Reply scrape = get(webPort, "/metrics");
    EXPECT_EQ(scrape.status, 200);
    EXPECT_EQ(scrape.body.size(), first.body.size());
    std::cout << "scrape beside a stalled reader: " << scrape.ms << " ms\n";

    // After ten seconds of sending the stalled response is given up.
    auto start = Clock::now();
    EXPECT_TRUE(eventually([&] { return heldConnections(daemon->pid(), webPort) == 0; }, 30s));
    std::cout << "stalled reader dropped after "
              << std::chrono::duration<double>(Clock::now() - start).count() << " s\n";

    // A stop does not wait for a stalled reader.
    StalledReader another(webPort);
    daemon->signal(SIGTERM);
    start = Clock::now();
    EXPECT_EQ(daemon->wait(5s), 0);
    double stopMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::cout << "SIGTERM to exit beside a stalled reader: " << stopMs << " ms\n";
    EXPECT_TRUE(has(daemon->output(), "ending daemon\n"));
}

TEST(WebPort, OutOfDescriptorsPausesAcceptInsteadOfSpinning) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    dir.write("sensomarkUSB.conf", webConfig(port, webPort, "/nonexistent/x = attic\n"));
    Process daemon({"/bin/sh", "-c", std::string("ulimit -n 40 && exec ") + SENSOMARK_BIN},
                   dir.path);
    ASSERT_TRUE(eventually([&] { return Client(port).connected(); })) << daemon.output();
    ASSERT_EQ(get(webPort, "/metrics").status, 200);
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 45; ++i) {
        slow.push_back(std::make_unique<Client>(webPort));
        slow.back()->send("GET /");
    }
    ASSERT_TRUE(daemon.waitFor("web server: failed to accept (Too many open files), pausing"));
    long before = cpuTicks(daemon.pid());
    std::this_thread::sleep_for(1s);
    long used = cpuTicks(daemon.pid()) - before;
    std::cout << "CPU while out of descriptors: " << used << " ticks of " << sysconf(_SC_CLK_TCK)
              << " a second\n";
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4);  // a spinning accept loop takes a whole core
    // Once the half requests time out, scrapes are answered again.
    slow.clear();
    EXPECT_TRUE(eventually([&] { return get(webPort, "/metrics").status == 200; }, 10s));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
}

TEST(WebPort, AnIdleServerMakesNoWakeUps) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(dir, webConfig(port, webPort, "/nonexistent/x = attic\n"));
    ASSERT_EQ(get(webPort, "/").status, 200);
    ASSERT_TRUE(eventually([&] { return heldConnections(daemon->pid(), webPort) == 0; }));
    long before = wakeUpsOf(daemon->pid(), "web");
    ASSERT_GE(before, 0) << "no thread called web";
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(wakeUpsOf(daemon->pid(), "web"), before);
}

TEST(WebPort, OffWithoutMetricsPort) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n/nonexistent/x = attic\n"));
    EXPECT_FALSE(Client(webPort).connected());
    EXPECT_EQ(wakeUpsOf(daemon->pid(), "web"), -1);
}
