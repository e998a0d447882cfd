// The web port: HTTP text handling, then the real daemon's endpoints and its
// limits against slow, stalled and too many clients.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "csvview.h"
#include "http.h"
#include "protocol.h"
#include "testutil.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

namespace {
// mainKeys: further lines of section "main".
std::string webConfig(int port, int webPort, const std::string& sensors,
                      const std::string& mainKeys = "") {
    return configText(port, "metricsport = " + std::to_string(webPort) + "\nloglevel = stat\n" +
                                mainKeys + "[sensors]\n" + sensors);
}

// Connections to port that the daemon has accepted: queued or closed ones have no inode.
int held(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line, local, remote, inode, skip;
    int n = 0;
    for (std::getline(table, line); std::getline(table, line);) {
        std::istringstream f(line);
        f >> skip >> local >> remote >> skip >> skip >> skip >> skip >> skip >> skip >> inode;
        if (std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port &&
            remote.substr(remote.find(':') + 1) != "0000" && inode != "0")
            ++n;
    }
    return n;
}

// The queue length that port listens with: the send-queue column of ss for a
// listening socket. 0 when nothing listens there, -1 without ss.
int listenBacklog(int port) {
    std::string out, sport = "'sport = :" + std::to_string(port) + "'";
    if (runProgram({"/bin/sh", "-c", "command -v ss >/dev/null && ss -Hltn " + sport}, "/", &out))
        return -1;
    std::istringstream fields(out);
    std::string state;
    int queued = 0, backlog = 0;
    fields >> state >> queued >> backlog;
    return backlog;
}

long wakeUps(const std::string& task) {
    std::string status = readFile(task + "status");
    return atol(status.c_str() + status.find("\nvoluntary_ctxt_switches:") + 25);
}

// Threads that each send request in a loop, one connection after the other,
// until destroyed; pages counts the answers 200.
struct Browsers {
    Browsers(int port, const std::string& request, int count) {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, port, request] {
                while (!stop)
                    if (httpExchange(port, request).status == 200) ++pages;
            });
    }
    ~Browsers() {
        stop = true;
        for (auto& t : threads) t.join();
    }
    std::atomic<bool> stop{false};
    std::atomic<int> pages{0};
    std::vector<std::thread> threads;
};

}  // namespace

TEST(HttpText, QueryValuesArePercentDecoded) {
    HttpRequest request;
    request.query = "x=1&name=%3Cb%3E+a%2Bb&empty=&flag";
    std::string value;
    for (auto [key, expected] : {std::pair{"name", "<b> a+b"}, {"empty", ""}, {"flag", ""}}) {
        ASSERT_TRUE(request.queryValue(key, &value)) << key;
        EXPECT_EQ(value, expected);
    }
    EXPECT_FALSE(request.queryValue("other", &value));
    EXPECT_EQ(percentDecode("%zz%4 100%"), "%zz%4 100%");
    EXPECT_EQ(percentEncode("a b<&>é"), "a%20b%3C%26%3E%C3%A9");
}

TEST(HttpText, AcceptEncodingIsAListOfCodingsWithWeights) {
    struct Case {
        const char* fields;  // header lines of the request
        bool gzip;
    } cases[] = {
        {"", false},
        {"Accept-Encoding: gzip\r\n", true},
        {"accept-encoding:GZip\r\n", true},
        {"Accept-Encoding: deflate, br,gzip\r\n", true},
        {"Accept-Encoding: x-gzip\r\n", true},
        {"Accept-Encoding: notgzip\r\n", false},
        {"Accept-Encoding: gzipfoo, br\r\n", false},
        {"Accept-Encoding: identity\r\n", false},
        {"Accept-Encoding: gzip;q=0\r\n", false},
        {"Accept-Encoding: gzip ; Q=0.000, br\r\n", false},
        {"Accept-Encoding: gzip;q=0.001\r\n", true},
        {"Accept-Encoding: gzip;level=9;q=1.0\r\n", true},
        {"Accept-Encoding: gzip;q=2, gzip;q=abc\r\n", false},  // no weight: no word
        {"Accept-Encoding: *\r\n", true},
        {"Accept-Encoding: *;q=0\r\n", false},
        {"Accept-Encoding: *, gzip;q=0\r\n", false},
        {"Accept-Encoding: br;q=1, *;q=0.1\r\n", true},
        {"Accept-Encoding: br\r\nHost: x\r\nAccept-Encoding: gzip\r\n", true},
        {"Accept-Encoding: *\r\nACCEPT-ENCODING: gzip;q=0\r\n", false},
        {"X-Accept-Encoding: gzip\r\nAccept-Encodings: gzip\r\n", false},
    };
    for (const Case& c : cases) {
        HttpRequest request;
        request.head = std::string("GET / HTTP/1.1\r\n") + c.fields + "\r\n";
        EXPECT_EQ(acceptsGzip(request), c.gzip) << c.fields;
    }
}

TEST(HttpText, AHandlerThatThrowsGives500) {
    auto failing = [](const HttpRequest&) -> HttpResponse { throw std::runtime_error("boom"); };
    EXPECT_EQ(HttpServer::respond("GET / HTTP/1.1\r\n\r\n", {}, failing).rfind("HTTP/1.1 500 ", 0),
              0u);
}

TEST(HttpServerReplies, AreMadeOncePerKeyWhileFreshAndCompressedFromThePlainOne) {
    for (int cacheMs : {3600 * 1000, 0}) {
        std::atomic<int> made{0};
        std::string text;
        for (int i = 0; i < 500; ++i) text += "line " + std::to_string(i) + "\n";
        HttpServer::Limits limits;
        limits.cacheMs = cacheMs;
        HttpServer server(
            [&](const HttpRequest& r) {
                ++made;
                return HttpResponse{r.path == "/page" ? 200 : 404, "text/plain", text, {}};
            },
            limits, [](const HttpRequest& r) { return r.path; });
        std::string error;
        std::vector<UniqueFd> listeners;
        listeners.push_back(openListenSocket("127.0.0.1", 0, 16, &error));
        int port = portOf(listeners[0]);
        ASSERT_TRUE(server.start(std::move(listeners)));
        const std::string gzip = " HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n";
        // A blank line alone (LF LF) ends a request head too.
        WebResponse plain = httpExchange(port, "GET /page?a HTTP/1.1\n\n"),
                    packed = httpExchange(port, "GET /page?b" + gzip),
                    again = httpExchange(port, "GET /page" + gzip),
                    head = httpExchange(port, "HEAD /page?c" + gzip);
        EXPECT_EQ(plain.body, text);
        EXPECT_TRUE(has(packed.head, "Content-Encoding: gzip\r\n")) << packed.head;
        EXPECT_TRUE(has(packed.head, "Content-Length: " + std::to_string(packed.body.size())));
        TempDir dir;
        dir.write("body.gz", packed.body);
        std::string unpacked;
        EXPECT_EQ(runProgram({"/bin/sh", "-c", "gzip -dc body.gz"}, dir.path, &unpacked), 0);
        EXPECT_EQ(unpacked, text);
        EXPECT_LT(packed.body.size(), text.size() / 3);
        EXPECT_EQ(again.body, packed.body);
        EXPECT_EQ(head.head, again.head);
        EXPECT_EQ(httpGet(port, "/none").status, 404);
        EXPECT_EQ(httpGet(port, "/none").status, 404);
        EXPECT_EQ(made, cacheMs > 0 ? 3 : 6) << "kept " << cacheMs << " ms; errors never kept";
    }
}

namespace {
// The ranges of the history: name, minutes per bucket, buckets, what the page calls it.
struct Range {
    const char* name;
    int step, count;
    const char* span;
};
const Range RANGES[] = {{"day", 1, 1440, "last 24 hours"},
                        {"week", 10, 1008, "last 7 days"},
                        {"month", 10, 4464, "last 31 days"},
                        {"year", 60, 8784, "last year"}};
}  // namespace

// The daemon's data on every endpoint and range (the views' own layouts are their
// tests'), what the port refuses, and a burst of half-sent requests.
TEST(WebPort, EveryEndpointAndRangeShowsWhatTheQueryServiceServes) {
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir,
        webConfig(port, webPort, pty.slavePath + " = cellar garage\n/nonexistent/x = attic\n"));
    Client client(port);
    for (int i = 0; i < 5; ++i)
        pty.write("temperature=2" + std::to_string(i) + ".5 humidity=4" + std::to_string(i) +
                  ".3 dewpoint=-1." + std::to_string(i) + " junk\r\n");
    ASSERT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=-1.4;"; }));
    const int64_t now = time(nullptr);

    WebResponse readings = httpGet(webPort, "/readings.json");
    EXPECT_TRUE(has(readings.head, "Content-Type: application/json\r\n")) << readings.head;
    json doc = json::parse(readings.body);
    for (const char* name : {"cellar", "garage"}) {
        const json& s = doc["sensors"][name];
        EXPECT_EQ(s["device"], pty.slavePath);
        EXPECT_EQ(s["open"], true);
        for (int q = 1; q <= 3; ++q)
            EXPECT_EQ(
                client.query(name + ("." + std::to_string(q))),
                "valid=1;value=" + s["readings"][QUANTITIES[q - 1].key]["value"].dump() + ";");
    }
    const json& attic = doc["sensors"]["attic"];
    EXPECT_EQ(attic["open"], false);
    EXPECT_TRUE(attic["readings"]["temperature"]["value"].is_null() && attic["age"].is_null());

    WebResponse page = httpGet(webPort, "/");
    EXPECT_TRUE(has(page.head, "Content-Type: text/html; charset=utf-8\r\n")) << page.head;
    EXPECT_TRUE(has(page.head, "Content-Security-Policy: default-src 'none'"));
    for (const std::string& part :
         Lines{"<data value=\"24.5\">24.5</data>", "<data value=\"-1.4\">-1.4</data>",
               "<code class=\"device\">" + pty.slavePath + "</code>",
               "<span class=\"state closed\">not open</span>"})
        EXPECT_TRUE(has(page.body, part)) << part;

    std::string metrics;  // startDaemon's probe client may still be counted for a moment
    EXPECT_TRUE(eventually([&] {
        metrics = httpGet(webPort, "/metrics").body;
        return has(metrics, "sensomark_clients_connected 1\n");
    })) << metrics;
    const std::string device = "{device=\"" + pty.slavePath + "\"} ";
    for (const std::string& sample : Lines{
             "sensomark_temperature_celsius{sensor=\"garage\"} 24.5",
             "sensomark_relative_humidity_percent{sensor=\"cellar\"} 44.3",
             "sensomark_sensor_info{sensor=\"garage\",device=\"" + pty.slavePath + "\"} 1",
             "sensomark_device_open" + device + "1", "sensomark_device_lines_total" + device + "5",
             "sensomark_device_fields_ignored_total" + device + "5"})
        EXPECT_TRUE(has(metrics, sample + "\n")) << sample << "\n" << metrics;
    EXPECT_FALSE(has(metrics, "sensomark_requests_total 0\n"));
    dir.write("metrics.txt", metrics);
    std::string out;
    EXPECT_EQ(runProgram(
                  {"/bin/sh", "-c", "! command -v promtool || promtool check metrics <metrics.txt"},
                  dir.path, &out, &out),
              0)
        << out;

    for (const Range& range : RANGES) {
        SCOPED_TRACE(range.name);
        const std::string query = std::string("name=cellar&range=") + range.name;
        std::string body = httpGet(webPort, std::string("/?range=") + range.name).body;
        // Temperature and dew point of both devices; the attic has nothing to draw.
        EXPECT_EQ(countMatches(body, std::string("°C, ") + range.span + "<"), 4);
        EXPECT_EQ(countMatches(body, "no valid reading in the " + std::string(range.span)), 3);
        EXPECT_TRUE(has(body, "class=\"dot\"") || has(body, "class=\"line\""));

        json history = json::parse(httpGet(webPort, "/history.json?" + query).body);
        EXPECT_EQ(history["range"], range.name);
        EXPECT_EQ(history["minutes"], range.step * range.count);
        int64_t to = history["to"];
        EXPECT_GT(to, now - 60);  // the range ends with the bucket of now
        EXPECT_LE(to, now + 60 + range.step * 60);
        int values = 0;
        for (const json& b : history["buckets"]["temperature"]) values += b["count"].get<int>();
        EXPECT_EQ(values, 5);

        WebResponse csv = httpGet(webPort, "/history.csv?" + query);
        EXPECT_TRUE(has(csv.head, "Content-Type: text/csv; charset=utf-8\r\n")) << csv.head;
        EXPECT_TRUE(has(csv.head, "Content-Disposition: attachment; filename=\"sensomark-" +
                                      std::string(range.name) + ".csv\"\r\n"));
        EXPECT_EQ(countMatches(csv.body, "\r\n"), range.count + 1);
        EXPECT_TRUE(has(csv.body, ",20.5,") && has(csv.body, ",24.5,"));  // lowest, highest
        size_t last = csv.body.rfind('\n', csv.body.size() - 2) + 1;      // the last bucket's line
        EXPECT_EQ(csv.body.compare(last, 21, isoUtcTime(to - range.step * 60) + ","), 0);
    }
    // A page of each range and a range of each page, each asked twice within
    // the second that a response is shared: none answers for another.
    for (int round = 0; round < 2; ++round)
        for (const char* range : {"day", "year"}) {
            std::string r = std::string("range=") + range;
            EXPECT_TRUE(has(httpGet(webPort, "/?" + r).body, "href=\"/?" + r + "\" aria-current"));
            EXPECT_EQ(json::parse(httpGet(webPort, "/history.json?name=cellar&" + r).body)["range"],
                      range);
        }

    // Refusals, none echoing what was asked for.
    for (const std::string& answer :
         Lines{"404 GET /nothing", "404 GET /history.json", "404 GET /history.csv",
               "404 GET /history.json?name=%3Cb%3Enobody&range=year",
               "404 GET /history.csv?name=%3Cb%3Enobody",
               "404 GET /history.json?name=" + std::string(6000, 'x'),
               "400 GET /history.json?name=" + std::string(9000, 'x'),
               "400 GET /readings.json?" + std::string(100000, '&'), "400 GET /?range=%3Cscript%3E",
               "400 GET /?range=", "400 GET /?range=Week",
               "400 GET /history.json?name=cellar&range=%3Cscript%3E",
               "400 GET /history.csv?name=cellar&range=%3Cscript%3E",
               "400 GET /history.csv?range=year%00", "405 POST /", "400 GET /readings.json TEA",
               "200 HEAD /readings.json"}) {
        WebResponse r = httpExchange(webPort, answer.substr(4) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(r.status, std::stoi(answer)) << answer.substr(0, 50);
        for (const char* echo : {"<b>", "nobody", "script"})
            EXPECT_FALSE(has(r.body, echo) || has(r.head, echo)) << answer.substr(0, 50);
        EXPECT_FALSE(r.status == 200 && !r.body.empty());
    }
    WebResponse endless =
        httpExchange(webPort, "GET /" + std::string(9000, 'x'));  // no end of head
    EXPECT_EQ(endless.status, 400);
    // At the size bound, not at the two seconds' time limit for a head.
    EXPECT_LT(endless.ms, 1800);
    EXPECT_EQ(client.query("attic.1"), "valid=0");  // the query service never noticed

    // A burst of clients waits in the listen queues of both ports, as deep as Linux lets
    // them be (4096, or less where net.core.somaxconn caps it), unless the backlog key says.
    int cap = std::min(4096, atoi(readFile("/proc/sys/net/core/somaxconn").c_str()));
    for (int listening : {port, webPort})
        EXPECT_TRUE(listenBacklog(listening) == -1 || listenBacklog(listening) == cap);
    auto start = Clock::now();
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<Client>(webPort));
        slow.back()->send("GET /metr");
    }
    // The daemon holds as many as it takes (64); the rest wait in the backlog.
    // Half-sent requests delay nobody and are dropped.
    ASSERT_TRUE(eventually([&] { return held(webPort) == 64; })) << held(webPort);
    WebResponse scrape = httpGet(webPort, "/metrics");
    page = httpGet(webPort, "/");
    EXPECT_TRUE(has(scrape.body, "sensomark_reading_valid{sensor=\"attic\""));
    EXPECT_EQ(page.status, 200);
    EXPECT_LT(scrape.ms, 1000);
    EXPECT_LT(page.ms, 1000);
    EXPECT_LE(held(webPort), 64);
    for (auto& c : slow) EXPECT_TRUE(c->closedByPeer(10s));
    EXPECT_GE(Clock::now() - start, 1500ms);  // after the two seconds to send a head
    // Then the server sleeps.
    ASSERT_TRUE(eventually([&] { return held(webPort) == 0; }));
    std::string web = threadFolder(daemon->pid(), "web");
    long before = wakeUps(web);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(wakeUps(web), before);
}

// Stalled readers and clients looping on the page hold neither scrapes nor the stop.
TEST(WebPort, StalledReadersShareOneCopyOfALargeBodyAndNeitherTheyNorBrowsersHoldScrapes) {
    TempDir dir;
    int port = freePort(), webPort = freePort();
    // 24,300 names: an exposition of 6 MB, more than the kernel buffers of a connection.
    std::string sensors;
    for (int n = 0; n < 24300; ++n)
        sensors +=
            (n % 135 ? " n" : "\n/nonexistent/d" + std::to_string(n) + " = n") + std::to_string(n);
    auto daemon = startDaemon(dir, webConfig(port, webPort, sensors, "backlog = 64\n"));
    EXPECT_TRUE(listenBacklog(webPort) == -1 || listenBacklog(webPort) == 64);
    WebResponse first = httpGet(webPort, "/metrics");
    ASSERT_TRUE(has(first.body, "sensor=\"n24299\""));
    long before = atol(procStatus(daemon->pid(), "VmRSS").c_str());
    std::vector<std::unique_ptr<Client>> stalled;
    auto arriving = Clock::now();
    for (int i = 0; i < 32; ++i) {
        stalled.push_back(stalledReader(webPort));
        EXPECT_TRUE(stalled.back()->connected());
    }
    long grown = atol(procStatus(daemon->pid(), "VmRSS").c_str()) - before;
    // One copy for all of them per second over which they arrived (two when
    // the second ticked over; more on a busy machine), not one each; the
    // sanitizers' own bookkeeping grows any process.
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - arriving);
    if (!SANITIZED && !EMULATED) {  // nor the code an emulator translates
        EXPECT_LT(grown * 1024, (seconds.count() + 4) * static_cast<long>(first.body.size()))
            << "KiB grown with readers arriving over " << seconds.count() << " s and more";
    }
    WebResponse scrape = httpGet(webPort, "/metrics");
    // Seconds may pass meanwhile on a slow machine (emulated, sanitized, busy): a
    // device's reconnect count may gain a digit, nothing else may change.
    const size_t devices = 24300 / 135;
    EXPECT_NEAR(scrape.body.size(), first.body.size(), devices);
    // After ten seconds of sending the stalled responses are given up.
    EXPECT_TRUE(eventually([&] { return held(webPort) == 0; }, 30s));
    stalled.clear();

    // The browsers share one drawing of the page (180 devices) a second, so a
    // scrape gets its turn among them: it is never starved, however busy the
    // machine. Starved, it would wait for as long as they loop.
    Browsers browsers(webPort, "GET / HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", 24);
    std::atomic<int>& pages = browsers.pages;
    ASSERT_TRUE(eventually([&] { return pages >= 100; }, 60s));
    for (int i = 0; i < 3; ++i) {
        scrape = httpExchange(webPort, "GET /metrics HTTP/1.1\r\n\r\n", 60s);
        EXPECT_TRUE(has(scrape.body, "sensor=\"n24299\"")) << "no answer within " << scrape.ms;
    }
    int served = pages;  // in the midst of serving pages, not just after a scrape
    ASSERT_TRUE(eventually([&] { return pages >= served + 5; }, 60s));
    // The stop comes between two steps: the daemon ends while the browsers
    // keep asking and a reader stalls.
    auto last = stalledReader(webPort);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(SANITIZED ? 30s : 5s), 0);
    EXPECT_TRUE(has(daemon->output(), "ending daemon\n"));
}
