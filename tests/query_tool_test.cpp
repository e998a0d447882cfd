// sensomark-query against the real daemon: exit codes, output formats, --all
// and thresholds end to end, and its failures against fake servers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <thread>

#include "net.h"
#include "testutil.h"

namespace {
const std::string QUERY = SENSOMARK_QUERY;
const int SERVER_WAIT_MS = 5000;

struct Outcome {
    int code;
    std::string out, err;
};

// Runs sensomark-query in dir. Every run has a time-out of its own, so none can hang.
Outcome runQuery(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {QUERY, "-t", "5"});
    Outcome run;
    run.code = runProgram(args, dir.path, &run.out, &run.err);
    return run;
}

// A daemon with a streaming device named "cellar" and "garage" and a silent
// device named "attic" (whose data is never fresh).
struct Service {
    explicit Service(const std::string& level = "critical") : port(freePort()) {
        daemon = startDaemon(
            dir, configText(port, "loglevel = " + level + "\n[sensors]\n" + live.slavePath +
                                      " = cellar garage\n" + silent.slavePath + " = attic\n"));
        feed("temperature=21.5 humidity=48.3 dewpoint=10.1", "21.5");
    }
    // Sends a device line and waits until the daemon serves its temperature.
    void feed(const std::string& line, const std::string& temperature) {
        live.write(line + "\r\n");
        Client probe(port);
        std::string wanted = "valid=1;value=" + temperature + ";";
        ASSERT_TRUE(eventually([&] { return probe.query("cellar.1") == wanted; })) << line;
    }
    Outcome query(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", std::to_string(port)});
        return runQuery(dir, args);
    }
    TempDir dir;
    Pty live, silent;
    int port;
    std::unique_ptr<Process> daemon;
};

// A listening socket on 127.0.0.1 standing in for a daemon that misbehaves:
// with a reply it accepts one client, reads one request line and answers with
// reply (an empty reply closes without a word); without one it never accepts.
class FakeServer {
  public:
    explicit FakeServer(bool answers, const std::string& reply = "") {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "fake server cannot listen";
        }
        port = ntohs(addr.sin_port);
        if (answers) worker = std::thread([this, reply] { serveOne(reply); });
    }
    ~FakeServer() {
        if (worker.joinable()) worker.join();
        close(fd);
    }
    int port = 0;

  private:
    void serveOne(const std::string& reply) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, SERVER_WAIT_MS) <= 0) return;
        int client = accept(fd, nullptr, nullptr);
        if (client < 0) return;
        std::string request;
        char buffer[256];
        pollfd c = {client, POLLIN, 0};
        while (request.find('\n') == std::string::npos && poll(&c, 1, SERVER_WAIT_MS) > 0) {
            ssize_t n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            request.append(buffer, static_cast<size_t>(n));
        }
        if (!reply.empty()) send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(client);
    }
    int fd = -1;
    std::thread worker;
};

// The body of GET /metrics on port; empty when nothing answered.
std::string fetchMetrics(int port) {
    Client http(port);
    http.send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string response;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    char buffer[4096];
    while (http.connected()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || waitReadable(http.fd, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = recv(http.fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        response.append(buffer, static_cast<size_t>(n));
    }
    size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// A text exposition read back: each sample under its metric name and sorted
// label set ("name{a=\"1\",b=\"2\"}"), and the HELP and TYPE lines of each family.
struct Exposition {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> heads;
};

Exposition parseExposition(const std::string& text) {
    Exposition e;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# ", 0) == 0) {
            std::istringstream words(line.substr(2));
            std::string kind, name;
            words >> kind >> name;
            e.heads[name] += line + "\n";
            continue;
        }
        size_t space = line.rfind(' ');
        size_t open = std::min(line.find('{'), space);
        std::vector<std::string> labels;
        if (open < space) {
            std::string body = line.substr(open + 1, line.rfind('}', space) - open - 1);
            bool quoted = false;
            labels.emplace_back();
            for (size_t i = 0; i < body.size(); ++i) {
                if (body[i] == ',' && !quoted) {
                    labels.emplace_back();
                    continue;
                }
                if (body[i] == '"') quoted = !quoted;
                labels.back() += body[i];
                if (body[i] == '\\' && i + 1 < body.size()) labels.back() += body[++i];
            }
            std::sort(labels.begin(), labels.end());
        }
        std::string key = line.substr(0, open) + "{";
        for (size_t i = 0; i < labels.size(); ++i) key += (i ? "," : "") + labels[i];
        e.samples[key + "}"] = strtod(line.c_str() + space + 1, nullptr);
    }
    return e;
}
}  // namespace

TEST(QueryTool, ExitCodeFollowsTheWorstReply) {
    Service service;
    struct Case {
        std::vector<std::string> queries;
        int code;
        std::string out;
    } cases[] = {
        {{"cellar.1"}, 0, "cellar.1: valid=1;value=21.5;\n"},
        {{"cellar.1", "garage.2", "cellar.3"},
         0,
         "cellar.1: valid=1;value=21.5;\ngarage.2: valid=1;value=48.3;\n"
         "cellar.3: valid=1;value=10.1;\n"},
        {{"attic.1"}, 1, "attic.1: valid=0\n"},
        {{"cellar.2", "attic.3"}, 1, "cellar.2: valid=1;value=48.3;\nattic.3: valid=0\n"},
        {{"nosuch.1"}, 2, "nosuch.1:\n"},
        {{"attic.1", "nosuch.2", "cellar.1"},
         2,
         "attic.1: valid=0\nnosuch.2:\ncellar.1: valid=1;value=21.5;\n"},
        {{"sensomark.com1.1"}, 2, "sensomark.com1.1:\n"},
    };
    for (const Case& c : cases) {
        Outcome run = service.query(c.queries);
        EXPECT_EQ(run.code, c.code) << c.queries[0] << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

TEST(QueryTool, ManyQueriesShareOneConnection) {
    Service service("stat");
    const int queries = 5000;  // replies far beyond a socket buffer
    std::vector<std::string> args;
    std::string expected;
    for (int i = 0; i < queries; ++i) {
        args.push_back(i % 2 ? "garage.2" : "cellar.1");
        expected += i % 2 ? "garage.2: valid=1;value=48.3;\n" : "cellar.1: valid=1;value=21.5;\n";
    }
    int connections = service.daemon->count("incoming connection");
    Outcome run = service.query(args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.out == expected) << run.out.size() << " bytes instead of " << expected.size();
    EXPECT_EQ(service.daemon->count("incoming connection"), connections + 1);
}

TEST(QueryTool, HelpPrintsUsageAndExitsZero) {
    TempDir dir;
    for (const char* option : {"-h", "--help"}) {
        Outcome run = runQuery(dir, {option});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out.rfind("Usage: sensomark-query [options] NAME.N ...\n", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("--prometheus"), std::string::npos);
    }
}

TEST(QueryTool, JsonHasOneObjectPerQuery) {
    Service service;
    Outcome run = service.query({"--json", "cellar.1", "attic.2", "nosuch.3"});
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out,
              "{\"query\":\"cellar.1\",\"name\":\"cellar\",\"quantity\":\"temperature\","
              "\"valid\":true,\"value\":21.5}\n"
              "{\"query\":\"attic.2\",\"name\":\"attic\",\"quantity\":\"humidity\","
              "\"valid\":false,\"value\":null,\"reason\":\"stale\"}\n"
              "{\"query\":\"nosuch.3\",\"name\":\"nosuch\",\"quantity\":\"dewpoint\","
              "\"valid\":false,\"value\":null,\"reason\":\"unknown sensor\"}\n");
}

TEST(QueryTool, PrometheusExposesEachFamilyOnce) {
    Service service;
    Outcome run = service.query({"--prometheus", "cellar.1", "garage.1", "cellar.2", "attic.1"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out,
              "# HELP sensomark_temperature_celsius Latest temperature in degrees Celsius; absent "
              "while the reading is not valid.\n"
              "# TYPE sensomark_temperature_celsius gauge\n"
              "sensomark_temperature_celsius{sensor=\"cellar\"} 21.5\n"
              "sensomark_temperature_celsius{sensor=\"garage\"} 21.5\n"
              "# HELP sensomark_relative_humidity_percent Latest relative humidity in percent; "
              "absent while the reading is not valid.\n"
              "# TYPE sensomark_relative_humidity_percent gauge\n"
              "sensomark_relative_humidity_percent{sensor=\"cellar\"} 48.3\n"
              "# HELP sensomark_reading_valid 1 while a fresh number is served for the reading, 0 "
              "otherwise.\n"
              "# TYPE sensomark_reading_valid gauge\n"
              "sensomark_reading_valid{sensor=\"cellar\",quantity=\"temperature\"} 1\n"
              "sensomark_reading_valid{sensor=\"garage\",quantity=\"temperature\"} 1\n"
              "sensomark_reading_valid{sensor=\"cellar\",quantity=\"humidity\"} 1\n"
              "sensomark_reading_valid{sensor=\"attic\",quantity=\"temperature\"} 0\n");
}

TEST(QueryTool, CheckPrintsStatusLineWithPerformanceData) {
    Service service;
    Outcome run = service.query({"--check", "-w", "30", "-c", "35", "cellar.1"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out,
              "SENSOMARK OK - cellar temperature 21.5 | 'cellar_temperature'=21.5;30;35;;\n");

    run = service.query({"--check", "-w", "10:40", "-c", "5:50", "cellar.1", "cellar.2"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out,
              "SENSOMARK WARNING - cellar temperature 21.5, cellar humidity 48.3 | "
              "'cellar_temperature'=21.5;10:40;5:50;; 'cellar_humidity'=48.3%;10:40;5:50;0;100\n");
}

TEST(QueryTool, ThresholdEdgesEndToEnd) {
    Service service;
    struct Case {
        const char* temperature;
        int state;
    } cases[] = {
        {"9.9", 1}, {"10", 0}, {"21.5", 0}, {"30", 0},   {"30.1", 1},
        {"40", 2},  {"45", 2}, {"50", 2},   {"50.1", 1},
    };
    for (const Case& c : cases) {
        service.feed(std::string("temperature=") + c.temperature, c.temperature);
        Outcome run = service.query({"--check", "-w", "10:30", "-c", "@40:50", "cellar.1"});
        EXPECT_EQ(run.code, c.state) << c.temperature << ": " << run.out;
        EXPECT_NE(run.out.find(std::string("cellar temperature ") + c.temperature + " |"),
                  std::string::npos)
            << run.out;
    }
    service.feed("temperature=35.1", "35.1");
    EXPECT_EQ(service.query({"--check", "-w", "~:35", "cellar.1"}).code, 1);
    EXPECT_EQ(service.query({"--check", "-w", "~:35.1", "cellar.1"}).code, 0);
    EXPECT_EQ(service.query({"--check", "-c", "35.2:", "cellar.1"}).code, 2);
}

TEST(QueryTool, CheckStaleAndUnknownAndWorstStateWins) {
    Service service;
    Outcome run = service.query({"--check", "attic.1"});
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.out, "SENSOMARK UNKNOWN - attic temperature stale | 'attic_temperature'=U;;;;\n");
    EXPECT_EQ(service.query({"--check", "--stale=critical", "attic.1"}).code, 2);
    EXPECT_EQ(service.query({"--check", "--stale", "warning", "attic.1"}).code, 1);
    EXPECT_EQ(service.query({"--check", "--stale=ok", "attic.1"}).code, 0);

    run = service.query({"--check", "--stale=ok", "nosuch.1"});
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.out, "SENSOMARK UNKNOWN - unknown sensor 'nosuch'\n");

    // Critical beats unknown beats OK.
    EXPECT_EQ(service.query({"--check", "-c", "10", "attic.1", "cellar.1", "nosuch.1"}).code, 2);
    EXPECT_EQ(service.query({"--check", "-c", "30", "cellar.1", "nosuch.1"}).code, 3);
}

TEST(QueryTool, AllTakesNamesAndPortFromTheConfiguration) {
    Service service;
    const std::string expected =
        "cellar.1: valid=1;value=21.5;\ncellar.2: valid=1;value=48.3;\n"
        "cellar.3: valid=1;value=10.1;\ngarage.1: valid=1;value=21.5;\n"
        "garage.2: valid=1;value=48.3;\ngarage.3: valid=1;value=10.1;\n"
        "attic.1: valid=0\nattic.2: valid=0\nattic.3: valid=0\n";
    // The daemon's own file, found in the current directory like the daemon finds it.
    Outcome run = runQuery(service.dir, {"--all"});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(run.out, expected);

    // A given file; a name listed twice is asked for once.
    TempDir other;
    other.write("client.conf", configText(service.port,
                                          "[sensors]\n/dev/a = cellar garage\n"
                                          "/dev/b = 'attic cellar'  ; comment\n"));
    run = runQuery(other, {"--all", "--config", other.file("client.conf")});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(run.out, expected);

    // Without sensors the daemon's default name is asked for.
    other.write("nosensors.conf", configText(service.port));
    run = runQuery(other, {"--all", "--config", "nosensors.conf", "--json"});
    EXPECT_EQ(run.code, 2) << run.err;
    EXPECT_EQ(run.out.find("{\"query\":\"sensomark.com1.1\""), 0u) << run.out;
    EXPECT_NE(run.out.find("{\"query\":\"sensomark.com1.3\""), std::string::npos) << run.out;

    // -p wins over the file's port.
    other.write("wrongport.conf", configText(freePort(), "[sensors]\n/dev/a = garage\n"));
    run = runQuery(other, {"--all", "--config", "wrongport.conf", "-p",
                           std::to_string(service.port), "--check", "-w", "40"});
    EXPECT_EQ(run.code, 1) << run.out;
    EXPECT_EQ(run.out.rfind("SENSOMARK WARNING - garage temperature 21.5, garage humidity 48.3, "
                            "garage dewpoint 10.1 |",
                            0),
              0u)
        << run.out;
}

TEST(QueryTool, PrometheusMatchesTheDaemonsMetrics) {
    TempDir dir;
    Pty live, silent;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(metricsPort) + "\n[sensors]\n" +
                                  live.slavePath + " = cellar garage\n" + silent.slavePath +
                                  " = attic\n"));
    // A value in a form the tool prints differently, and no dew point: fresh data without a
    // number, which both count as not valid.
    live.write("temperature=21.50 humidity=48.3\r\n");
    Client probe(port);
    ASSERT_TRUE(eventually([&] { return probe.query("cellar.1") == "valid=1;value=21.50;"; }));
    std::string metricsText;
    ASSERT_TRUE(eventually([&] { return !(metricsText = fetchMetrics(metricsPort)).empty(); }));
    Outcome run = runQuery(dir, {"--prometheus", "--all"});
    EXPECT_EQ(run.code, 1) << run.err;

    Exposition metrics = parseExposition(metricsText), tool = parseExposition(run.out);
    EXPECT_EQ(tool.samples.size(), 13u) << run.out;  // 9 valid samples, 4 values
    for (const auto& [series, value] : tool.samples) {
        auto it = metrics.samples.find(series);
        ASSERT_NE(it, metrics.samples.end()) << series << " is not in /metrics:\n" << metricsText;
        EXPECT_EQ(it->second, value) << series;
    }
    EXPECT_EQ(tool.heads.size(), 3u) << run.out;  // no dew point family without a number
    for (const auto& [family, head] : tool.heads) EXPECT_EQ(metrics.heads[family], head);
}

// ---- Failures: exit code 3 with a clear message ----

TEST(QueryToolErrors, UnreachableDaemonExitsThree) {
    TempDir dir;
    int port = freePort();
    std::string target = "127.0.0.1:" + std::to_string(port);
    Outcome run = runQuery(dir, {"-p", std::to_string(port), "cellar.1"});
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "sensomark-query: cannot connect to " + target + ": Connection refused\n");

    run = runQuery(dir, {"-p", std::to_string(port), "--check", "cellar.1"});
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.out,
              "SENSOMARK UNKNOWN - cannot connect to " + target + ": Connection refused\n");

    // A configuration file that cannot be read is named; the given port still counts.
    run = runQuery(
        dir, {"-H", "127.0.0.1", "-p", std::to_string(port), "--all", "--config", "missing.conf"});
    EXPECT_EQ(run.code, 3);
    EXPECT_NE(run.err.find("sensomark-query: cannot read 'missing.conf', using "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("cannot connect to " + target), std::string::npos) << run.err;
}

TEST(QueryToolErrors, BadInputExitsThreeWithAMessage) {
    TempDir dir;
    std::string port = std::to_string(freePort());
    struct Case {
        std::vector<std::string> args;
        std::string message;  // on stderr, or on stdout after "SENSOMARK UNKNOWN - " with --check
    } cases[] = {
        {{"nodot"}, "bad query 'nodot': expected NAME.N, e.g. cellar.1"},
        {{"cellar.4"}, "bad query 'cellar.4': the quantity after the last full stop must be"},
        {{"cellar.1", "cellar"}, "bad query 'cellar'"},
        {{}, "no query given (see --help)"},
        {{"--all", "cellar.1"}, "give either --all or query names"},
        {{"--bogus", "cellar.1"}, "unknown option '--bogus'"},
        {{"-x", "cellar.1"}, "unknown option '-x'"},
        {{"cellar.1", "-t"}, "option '-t' needs a value"},
        {{"-p", "0", "cellar.1"}, "bad port '0'"},
        {{"-p", "65536", "cellar.1"}, "bad port '65536'"},
        {{"-p", "40x", "cellar.1"}, "bad port '40x'"},
        {{"-t", "0", "cellar.1"}, "bad time-out '0'"},
        {{"-t", "soon", "cellar.1"}, "bad time-out 'soon'"},
        {{"--json", "--check", "cellar.1"}, "give only one of --json, --prometheus and --check"},
        {{"-w", "10", "cellar.1"}, "-w, -c and --stale belong to --check"},
        {{"--check", "-w", "abc", "cellar.1"}, "bad warning range 'abc'"},
        {{"-w", "30:10", "--check", "cellar.1"}, "bad warning range '30:10'"},
        {{"--check", "-c", ":", "cellar.1"}, "bad critical range ':'"},
        {{"--check", "-c", "", "cellar.1"}, "bad critical range ''"},
        {{"--check", "--stale=maybe", "cellar.1"}, "bad state 'maybe' for --stale"},
        {{"--check", "cellar.9"}, "bad query 'cellar.9'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-p", port};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome run = runQuery(dir, args);
        EXPECT_EQ(run.code, 3) << c.message;
        bool check = std::find(c.args.begin(), c.args.end(), "--check") != c.args.end();
        const std::string& shown = check ? run.out : run.err;
        std::string prefix = check ? "SENSOMARK UNKNOWN - " : "sensomark-query: ";
        EXPECT_EQ(shown.rfind(prefix + c.message, 0), 0u) << shown;
        EXPECT_EQ(check ? run.err : run.out, "");
    }
}

TEST(QueryToolErrors, SilentServerRunsIntoTheReplyTimeOut) {
    TempDir dir;
    FakeServer silent(false);  // the kernel completes the handshake; nobody answers
    Process client({QUERY, "-p", std::to_string(silent.port), "-t", "0.3", "cellar.1"}, dir.path);
    EXPECT_EQ(client.wait(5s), 3);
    EXPECT_EQ(client.output(), "sensomark-query: no reply from 127.0.0.1:" +
                                   std::to_string(silent.port) + " within 0.3 s\n");
}

TEST(QueryToolErrors, ForeignOrMissingReplyExitsThree) {
    TempDir dir;
    {
        FakeServer web(true, "HTTP/1.0 400 Bad Request\r\n");
        Outcome run = runQuery(dir, {"-p", std::to_string(web.port), "cellar.1"});
        EXPECT_EQ(run.code, 3);
        EXPECT_EQ(run.err,
                  "sensomark-query: unexpected reply 'HTTP/1.0 400 Bad Request' to "
                  "'cellar.1' from 127.0.0.1:" +
                      std::to_string(web.port) + "\n");
    }
    {
        FakeServer hangUp(true);
        Outcome run = runQuery(dir, {"-p", std::to_string(hangUp.port), "--check", "cellar.1"});
        EXPECT_EQ(run.code, 3);
        EXPECT_EQ(run.out, "SENSOMARK UNKNOWN - 127.0.0.1:" + std::to_string(hangUp.port) +
                               " closed the connection after 0 of 1 replies\n");
    }
}
