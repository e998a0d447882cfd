// sensomark-query end to end, one system test per behaviour: exit codes and
// messages, pipelining, --check, --all, the agreement of --prometheus with
// /metrics, and servers that fail. The formats' details are querylib_test's.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "net.h"
#include "testutil.h"

namespace {
const std::string QUERY = SENSOMARK_QUERY;
// Fresh data without a dew point: cellar.3 is served as valid=1;value=;.
const std::string DEVICE_LINE = "temperature=21.50 humidity=48.3\r\n";

struct Outcome {
    int code;
    std::string out, err;
};

// Runs sensomark-query in dir. Every run has a time-out of its own, so none can hang.
Outcome runQuery(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {QUERY, "-t", "5"});
    Outcome run;
    run.code = runProgram(args, dir, &run.out, &run.err);
    return run;
}

// Whether text is expected, or begins with it when it ends in "...".
bool matches(const std::string& text, const std::string& expected) {
    size_t dots = expected.size() < 3 ? 0 : expected.size() - 3;
    if (expected.compare(dots, 3, "...") != 0) return text == expected;
    return text.compare(0, dots, expected, 0, dots) == 0;
}

// The body of GET /metrics on port; empty when nothing answered.
std::string fetchMetrics(int port) {
    Client http(port);
    http.send("GET /metrics HTTP/1.0\r\n\r\n");
    std::string response;
    char buffer[4096];
    ssize_t n;
    while (waitReadable(http.fd, 5000) > 0 && (n = recv(http.fd, buffer, sizeof(buffer), 0)) > 0)
        response.append(buffer, static_cast<size_t>(n));
    size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// A text exposition read back: each sample under its name and sorted label set
// (label values here hold no comma), and the HELP and TYPE lines of each family.
struct Exposition {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> heads;
};

Exposition parseExposition(const std::string& text) {
    Exposition e;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# ", 0) == 0) {  // "# HELP name ..." or "# TYPE name ..."
            e.heads[line.substr(7, line.find(' ', 7) - 7)] += line + "\n";
            continue;
        }
        size_t space = line.rfind(' '), open = std::min(line.find('{'), space);
        std::vector<std::string> labels;
        std::istringstream body(open < space ? line.substr(open + 1, space - open - 2) : "");
        for (std::string label; std::getline(body, label, ',');) labels.push_back(label);
        std::sort(labels.begin(), labels.end());
        std::string key = line.substr(0, open) + "{";
        for (const std::string& label : labels) key += label + ",";
        e.samples[key + "}"] = strtod(line.c_str() + space + 1, nullptr);
    }
    return e;
}

// One daemon for the suite: a device named "cellar" and "garage" that sends
// DEVICE_LINE, a silent device named "attic", and the metrics endpoint.
struct Service {
    Service() : port(freePort()), metricsPort(freePort()) {
        daemon = startDaemon(
            dir, configText(port, "loglevel = debug\nmetricsport = " + std::to_string(metricsPort) +
                                      "\n[sensors]\n" + live.slavePath + " = cellar garage\n" +
                                      silent.slavePath + " = attic\n"));
    }
    // Sends DEVICE_LINE and waits until the daemon has stored it (its line counter
    // on /metrics moves on): each test starts with data far from going stale.
    void feed() {
        std::string counter = "sensomark_device_lines_total{device=\"" + live.slavePath + "\",}";
        auto lines = [&] { return parseExposition(fetchMetrics(metricsPort)).samples[counter]; };
        double before = lines();
        live.write(DEVICE_LINE);
        ASSERT_TRUE(eventually([&] { return lines() > before; }));
    }
    // The client connections the daemon logged up to a query of marker on a connection
    // of its own (the log keeps the order of events).
    int connectionsUpTo(const std::string& marker) {
        Client(port).query(marker);
        EXPECT_TRUE(daemon->waitFor("received '" + marker + "'"));
        return daemon->count("incoming connection");
    }
    TempDir dir;
    Pty live, silent;
    int port, metricsPort;
    std::unique_ptr<Process> daemon;
};

class QueryTool : public testing::Test {
  protected:
    static void SetUpTestSuite() { service = std::make_unique<Service>(); }
    static void TearDownTestSuite() { service.reset(); }
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(service->feed()); }
    static Outcome query(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", std::to_string(service->port)});
        return runQuery(service->dir.path, args);
    }
    static std::unique_ptr<Service> service;
};
std::unique_ptr<Service> QueryTool::service;
}  // namespace

TEST_F(QueryTool, ExitCodeFollowsTheWorstReplyOrTheError) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string output;  // standard output, then standard error
    } cases[] = {
        {{"cellar.1", "garage.2"},
         0,
         "cellar.1: valid=1;value=21.50;\ngarage.2: valid=1;value=48.3;\n"},
        {{"--json", "garage.1"}, 0, "{\"query\":\"garage.1\",\"name\":\"garage\",..."},
        {{"--help"}, 0, "Usage: sensomark-query [options] NAME.N ...\n..."},
        {{"-h"}, 0, "Usage: sensomark-query [options] NAME.N ...\n..."},
        {{"attic.1"}, 1, "attic.1: valid=0\n"},
        {{"cellar.2", "cellar.3"}, 1, "cellar.2: valid=1;value=48.3;\ncellar.3: valid=1;value=;\n"},
        {{"attic.1", "nosuch.2"}, 2, "attic.1: valid=0\nnosuch.2:\n"},
        {{"sensomark.com1.1"}, 2, "sensomark.com1.1:\n"},
        // Errors: a message on standard error, or the plugin's status line with --check.
        {{"nodot"}, 3, "sensomark-query: bad query 'nodot': expected NAME.N, e.g. cellar.1\n"},
        {{"cellar.4"}, 3, "sensomark-query: bad query 'cellar.4': the quantity after the last ..."},
        {{"cellar.1", "cellar"}, 3, "sensomark-query: bad query 'cellar'..."},
        {{"--check", "cellar.9"}, 3, "SENSOMARK UNKNOWN - bad query 'cellar.9'..."},
        {{}, 3, "sensomark-query: no query given (see --help)\n"},
        {{"--all", "x.1"}, 3, "sensomark-query: give either --all or query names\n"},
        {{"--bogus", "x.1"}, 3, "sensomark-query: unknown option '--bogus'\n"},
        {{"-x", "x.1"}, 3, "sensomark-query: unknown option '-x'\n"},
        {{"x.1", "-t"}, 3, "sensomark-query: option '-t' needs a value\n"},
        {{"-p", "0", "x.1"}, 3, "sensomark-query: bad port '0'\n"},
        {{"-p", "65536", "x.1"}, 3, "sensomark-query: bad port '65536'\n"},
        {{"-p", "40x", "x.1"}, 3, "sensomark-query: bad port '40x'\n"},
        {{"-t", "0", "x.1"}, 3, "sensomark-query: bad time-out '0': give seconds above 0\n"},
        {{"-t", "soon", "x.1"}, 3, "sensomark-query: bad time-out 'soon'..."},
        {{"--json", "--check", "x.1"}, 3, "SENSOMARK UNKNOWN - give only one of --json, ..."},
        {{"-w", "10", "x.1"}, 3, "sensomark-query: -w, -c and --stale belong to --check\n"},
        {{"--check", "-w", "abc", "x.1"}, 3, "SENSOMARK UNKNOWN - bad warning range 'abc'\n"},
        {{"-w", "30:10", "--check", "x.1"}, 3, "SENSOMARK UNKNOWN - bad warning range '30:10'\n"},
        {{"--check", "-c", "", "x.1"}, 3, "SENSOMARK UNKNOWN - bad critical range ''\n"},
        {{"--check", "--stale=maybe", "x.1"}, 3, "SENSOMARK UNKNOWN - bad state 'maybe' for ..."},
    };
    for (const Case& c : cases) {
        Outcome run = query(c.args);
        std::string what = c.args.empty() ? "no arguments" : c.args[0];
        EXPECT_EQ(run.code, c.code) << what << ": " << run.err;
        EXPECT_TRUE(matches(run.out + run.err, c.output)) << what << ": " << run.out << run.err;
        bool check = std::find(c.args.begin(), c.args.end(), "--check") != c.args.end();
        EXPECT_EQ(check || c.code < 3 ? run.err : run.out, "") << what;
    }
}

TEST_F(QueryTool, ManyQueriesShareOneConnection) {
    std::vector<std::string> args;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {  // replies far beyond a socket buffer
        args.push_back(i % 2 ? "garage.2" : "cellar.1");
        expected += i % 2 ? "garage.2: valid=1;value=48.3;\n" : "cellar.1: valid=1;value=21.50;\n";
    }
    int before = service->connectionsUpTo("before.1");
    Outcome run = query(args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.out == expected) << run.out.size() << " bytes instead of " << expected.size();
    EXPECT_EQ(service->connectionsUpTo("after.1"), before + 2);  // the tool's and the marker's
}

// The states themselves are querylib_test's; here the options reach them and the exit code.
TEST_F(QueryTool, CheckStateFollowsThresholdsAndTheStaleOption) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;
    } cases[] = {
        {{"-w", "30", "-c", "35", "cellar.1"},
         0,
         "SENSOMARK OK - cellar temperature 21.5 | "
         "'cellar_temperature'=21.5;30;35;;\n"},
        {{"-w", "~:21.4", "cellar.1"}, 1, "SENSOMARK WARNING - cellar temperature 21.5 | ..."},
        {{"-w", "10", "-c", "@21.5:30", "cellar.1"}, 2, "SENSOMARK CRITICAL - ..."},
        {{"attic.2"}, 3, "SENSOMARK UNKNOWN - attic humidity stale | 'attic_humidity'=U;;;0;100\n"},
        {{"--stale", "warning", "cellar.3"}, 1, "SENSOMARK WARNING - cellar dewpoint has no ..."},
        {{"--stale=ok", "attic.1", "nosuch.1"}, 3, "SENSOMARK UNKNOWN - attic temperature ..."},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--check");
        Outcome run = query(args);
        EXPECT_EQ(run.code, c.code) << c.args[0] << ": " << run.out;
        EXPECT_TRUE(matches(run.out, c.out)) << c.args[0] << ": " << run.out;
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(QueryTool, AllTakesNamesAndPortFromTheConfiguration) {
    const std::string expected =
        "cellar.1: valid=1;value=21.50;\ncellar.2: valid=1;value=48.3;\ncellar.3: valid=1;value=;\n"
        "garage.1: valid=1;value=21.50;\ngarage.2: valid=1;value=48.3;\ngarage.3: valid=1;value=;\n"
        "attic.1: valid=0\nattic.2: valid=0\nattic.3: valid=0\n";
    // The daemon's own file, found in the current directory like the daemon finds it.
    Outcome run = runQuery(service->dir.path, {"--all"});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(run.out, expected);

    // A given file; a name listed twice is asked for once.
    TempDir other;
    other.write("client.conf", configText(service->port,
                                          "[sensors]\n/dev/a = cellar garage\n"
                                          "/dev/b = 'attic cellar'  ; comment\n"));
    run = runQuery(other.path, {"--all", "--config", other.file("client.conf")});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(run.out, expected);

    // Without sensors the daemon's default name is asked for.
    other.write("nosensors.conf", configText(service->port));
    run = runQuery(other.path, {"--all", "--config", "nosensors.conf"});
    EXPECT_EQ(run.code, 2) << run.err;
    EXPECT_EQ(run.out, "sensomark.com1.1:\nsensomark.com1.2:\nsensomark.com1.3:\n");

    // -p wins over the file's port.
    other.write("wrongport.conf", configText(freePort(), "[sensors]\n/dev/a = garage\n"));
    run = runQuery(other.path,
                   {"--all", "--config", "wrongport.conf", "-p", std::to_string(service->port)});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(run.out,
              "garage.1: valid=1;value=21.50;\ngarage.2: valid=1;value=48.3;\n"
              "garage.3: valid=1;value=;\n");
}

TEST_F(QueryTool, PrometheusMatchesTheDaemonsMetrics) {
    std::string metricsText = fetchMetrics(service->metricsPort);
    ASSERT_NE(metricsText, "");
    Outcome run = runQuery(service->dir.path, {"--prometheus", "--all"});
    EXPECT_EQ(run.code, 1) << run.err;

    Exposition metrics = parseExposition(metricsText), tool = parseExposition(run.out);
    EXPECT_EQ(tool.samples.size(), 13u) << run.out;  // 9 of sensomark_reading_valid, 4 values
    for (const auto& [series, value] : tool.samples) {
        auto it = metrics.samples.find(series);
        ASSERT_NE(it, metrics.samples.end()) << series << " is not in /metrics:\n" << metricsText;
        EXPECT_EQ(it->second, value) << series;
    }
    EXPECT_EQ(tool.heads.size(), 3u) << run.out;  // no dew point family without a number
    for (const auto& [family, head] : tool.heads) EXPECT_EQ(metrics.heads[family], head);
}

TEST_F(QueryTool, UnreachableOrForeignServerExitsThree) {
    std::string refused = std::to_string(freePort()),
                metrics = std::to_string(service->metricsPort);
    struct Case {
        std::vector<std::string> args;
        std::string output;  // standard output, then standard error
    } cases[] = {
        {{"-p", refused, "x.1"},
         "sensomark-query: cannot connect to 127.0.0.1:" + refused + ": Connection refused\n"},
        {{"-p", refused, "--check", "x.1"},
         "SENSOMARK UNKNOWN - cannot connect to 127.0.0.1:" + refused + ": Connection refused\n"},
        // An unreadable configuration is named before the failure; -p still counts.
        {{"-p", refused, "-H", "127.0.0.1", "--all", "--config", "missing.conf"},
         "sensomark-query: cannot read 'missing.conf', using ..."},
        // The metrics endpoint waits for an HTTP request head, then closes.
        {{"-p", metrics, "-t", "0.3", "x.1"},
         "sensomark-query: no reply from 127.0.0.1:" + metrics + " within 0.3 s\n"},
        {{"-p", metrics, "--check", "x.1"},
         "SENSOMARK UNKNOWN - 127.0.0.1:" + metrics +
             " closed the connection after 0 of 1 replies\n"},
    };
    for (const Case& c : cases) {
        Outcome run = runQuery(service->dir.path, c.args);
        EXPECT_EQ(run.code, 3) << c.output;
        EXPECT_TRUE(matches(run.out + run.err, c.output)) << run.out << run.err;
        if (std::find(c.args.begin(), c.args.end(), "--all") != c.args.end()) {
            EXPECT_NE(run.err.find("\nsensomark-query: cannot connect to 127.0.0.1:" + refused),
                      std::string::npos);
        }
    }

    // A server that answers with something else than a reply line.
    std::string error;
    int port = freePort();
    UniqueFd listener = openListenSocket("127.0.0.1", port, 1, &error);
    ASSERT_TRUE(listener.valid()) << error;
    Process tool({QUERY, "-p", std::to_string(port), "-t", "5", "cellar.1"}, service->dir.path);
    ASSERT_EQ(waitReadable(listener.get(), 5000), 1);
    UniqueFd client(accept(listener.get(), nullptr, nullptr));
    const std::string foreign = "HTTP/1.0 400 Bad Request\r\n";
    size_t len = foreign.size();
    sendall(client.get(), foreign.data(), &len);
    EXPECT_EQ(tool.wait(), 3);
    EXPECT_EQ(tool.output(),
              "sensomark-query: unexpected reply 'HTTP/1.0 400 Bad Request' to "
              "'cellar.1' from 127.0.0.1:" +
                  std::to_string(port) + "\n");
}
