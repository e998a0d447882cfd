// sensomark-query against one shared daemon, a test per behaviour: exit codes and messages
// of each format, pipelining, --all, --prometheus against /metrics, and servers that fail.
// The details of the formats, ranges and replies are querylib_test's.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <set>
#include <sstream>
#include <tuple>

#include "net.h"
#include "testutil.h"

namespace {
const std::string QUERY = SENSOMARK_QUERY;
const size_t npos = std::string::npos;

struct Outcome {
    int code;
    std::string out, err;
};

// The lines of a text exposition, the value of each sample read as a number.
std::set<std::string> exposition(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t space = line.rfind(' ');
        double value = strtod(line.c_str() + space + 1, nullptr);
        lines.insert(line[0] == '#' ? line : line.substr(0, space) + " " + std::to_string(value));
    }
    return lines;
}

// The daemon: a device "cellar" and "garage" that sends no dew point (cellar.3 is
// valid=1;value=;), a silent device "attic", and the metrics endpoint.
struct Service {
    Service() : port(freePort()), metricsPort(freePort()) {
        daemon = startDaemon(
            dir, configText(port, "loglevel = debug\nmetricsport = " + std::to_string(metricsPort) +
                                      "\n[sensors]\n" + live.slavePath + " = cellar garage\n" +
                                      silent.slavePath + " = attic\n"));
    }
    // Sends a device line and waits until /metrics counts it: data far from going stale.
    void feed() {
        live.write("temperature=21.50 humidity=48.3\r\n");
        std::string counter = "\nsensomark_device_lines_total{device=\"" + live.slavePath + "\"} " +
                              std::to_string(++lines) + "\n";
        ASSERT_TRUE(
            eventually([&] { return has(httpGet(metricsPort, "/metrics").body, counter); }));
    }
    // The client connections logged up to a query of marker (the log keeps their order).
    int connectionsUpTo(const std::string& marker) {
        Client(port).query(marker);
        EXPECT_TRUE(daemon->waitFor("received '" + marker + "'"));
        return daemon->count("incoming connection");
    }
    TempDir dir;
    Pty live, silent;
    int port, metricsPort, lines = 0;
    std::unique_ptr<Process> daemon;
};

class QueryTool : public testing::Test {
  protected:
    static void SetUpTestSuite() { service = std::make_unique<Service>(); }
    static void TearDownTestSuite() { service.reset(); }
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(service->feed()); }
    // Runs sensomark-query in the daemon's directory with the words of args, and a time-out.
    static Outcome query(const std::string& args) {
        std::vector<std::string> argv = {QUERY, "-t", "5"};
        std::istringstream words(args);
        for (std::string word; words >> word;) argv.push_back(word);
        Outcome run;
        run.code = runProgram(argv, service->dir.path, &run.out, &run.err);
        return run;
    }
    inline static std::unique_ptr<Service> service;
};
}  // namespace

// Messages go to standard error, or with --check as the plugin's status line.
TEST_F(QueryTool, ExitCodeFollowsTheWorstReplyOrTheError) {
    std::string port = "-p " + std::to_string(service->port) + " ",
                refused = std::to_string(freePort()),
                metrics = std::to_string(service->metricsPort);
    std::tuple<std::string, int, std::string> cases[] = {
        {"cellar.1 garage.2", 0, "cellar.1: valid=1;value=21.50;\ngarage.2: valid=1;value=48.3;\n"},
        {"--json garage.2", 0, "{\"query\":\"garage.2\",\"name\":\"garage\",..."},
        {"--help", 0, "Usage: sensomark-query [options] NAME.N ...\n..."},
        {"attic.1 cellar.3", 1, "attic.1: valid=0\ncellar.3: valid=1;value=;\n"},
        {"attic.1 nosuch.2 attic.2", 2, "attic.1: valid=0\nnosuch.2:\nattic.2: valid=0\n"},
        {"--check -w 30 -c 35 cellar.1", 0,
         "SENSOMARK OK - cellar temperature 21.5 | 'cellar_temperature'=21.5;30;35;;\n"},
        {"--check -w 10 -c @21.5:30 cellar.1", 2, "SENSOMARK CRITICAL - ..."},
        {"--check --stale warning cellar.3", 1, "SENSOMARK WARNING - cellar dewpoint has no ..."},
        {"nodot", 3, "sensomark-query: bad query 'nodot': expected NAME.N, e.g. cellar.1\n"},
        {"cellar.1 cellar.4", 3, "sensomark-query: bad query 'cellar.4': the quantity after ..."},
        {"", 3, "sensomark-query: no query given (see --help)\n"},
        {"--all x.1", 3, "sensomark-query: give either --all or query names\n"},
        {"--bogus x.1", 3, "sensomark-query: unknown option '--bogus'\n"},
        {"-x x.1", 3, "sensomark-query: unknown option '-x'\n"},
        {"x.1 -t", 3, "sensomark-query: option '-t' needs a value\n"},
        {"-p 40x x.1", 3, "sensomark-query: bad port '40x'\n"},
        {"-t 0 x.1", 3, "sensomark-query: bad time-out '0': give seconds above 0\n"},
        {"-w 10 x.1", 3, "sensomark-query: -w, -c and --stale belong to --check\n"},
        {"--json --check x.1", 3, "SENSOMARK UNKNOWN - give only one of --json, ..."},
        // A range is read once the format is known, whatever the order of the options.
        {"-w abc --check x.1", 3, "SENSOMARK UNKNOWN - bad warning range 'abc'\n"},
        {"--check -c 30:10 x.1", 3, "SENSOMARK UNKNOWN - bad critical range '30:10'\n"},
        {"--check --stale=maybe x.1", 3, "SENSOMARK UNKNOWN - bad state 'maybe' for ..."},
        // Servers that fail; an unreadable configuration is named first.
        {"-p " + refused + " x.1", 3,
         "sensomark-query: cannot connect to 127.0.0.1:" + refused + ": Connection refused\n"},
        {"-p " + refused + " -H 127.0.0.1 --all --config missing.conf", 3,
         "sensomark-query: cannot read 'missing.conf', using ..."},
        // The metrics endpoint waits 2 s for an HTTP request head, then closes.
        {"-p " + metrics + " -t 0.3 x.1", 3,
         "sensomark-query: no reply from 127.0.0.1:" + metrics + " within 0.3 s\n"},
        {"-p " + metrics + " --check x.1", 3,
         "SENSOMARK UNKNOWN - 127.0.0.1:" + metrics + " closed the connection after 0 of 1 ..."},
    };
    for (const auto& [args, code, output] : cases) {
        Outcome run = query(port + args);
        EXPECT_EQ(run.code, code) << args << ": " << run.err;
        EXPECT_TRUE(matches(run.out + run.err, output)) << args << ": " << run.out << run.err;
        bool check = args.find("--check") != npos;
        EXPECT_EQ(check || code < 3 ? run.err : run.out, "") << args;
    }
}

TEST_F(QueryTool, ManyQueriesShareOneConnection) {
    std::string args, expected;
    for (int i = 0; i < 5000; ++i) {  // replies far beyond a socket buffer
        args += i % 2 ? " garage.2" : " cellar.1";
        expected += i % 2 ? "garage.2: valid=1;value=48.3;\n" : "cellar.1: valid=1;value=21.50;\n";
    }
    int before = service->connectionsUpTo("before.1");
    Outcome run = query("-p " + std::to_string(service->port) + args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.out == expected) << run.out.size() << " bytes instead of " << expected.size();
    EXPECT_EQ(service->connectionsUpTo("after.1"), before + 2);  // the tool's and the marker's
}

TEST_F(QueryTool, AllTakesNamesAndPortFromTheConfiguration) {
    auto live = [](const std::string& s) {
        return s + ".1: valid=1;value=21.50;\n" + s + ".2: valid=1;value=48.3;\n" + s +
               ".3: valid=1;value=;\n";
    };
    const std::string all =
        live("cellar") + live("garage") + "attic.1: valid=0\nattic.2: valid=0\nattic.3: valid=0\n";
    const TempDir& dir = service->dir;
    dir.write("twice.conf", configText(service->port,
                                       "listen = 0.0.0.0\nmetricport = 9100\n"
                                       "[sensors]\n/dev/a = cellar garage\n"
                                       "/dev/b = 'attic cellar'  ; comment\n"));
    dir.write("nosensors.conf", configText(service->port));
    dir.write("wrongport.conf", configText(freePort(), "[sensors]\n/dev/a = garage\n"));
    std::tuple<std::string, int, std::string> cases[] = {
        {"", 1, all},  // the daemon's file, found in the current directory like the daemon does
        // A name listed twice is asked for once; a misspelt key is no reason to refuse the file,
        // and the any-address is no host to ask.
        {"--config " + dir.file("twice.conf"), 1, all},
        {"--config nosensors.conf", 2, "sensomark.com1.1:\nsensomark.com1.2:\nsensomark.com1.3:\n"},
        {"--config wrongport.conf -p " + std::to_string(service->port), 1, live("garage")},
    };
    for (const auto& [args, code, out] : cases) {
        Outcome run = query("--all " + args);
        EXPECT_EQ(run.code, code) << args << ": " << run.err;
        EXPECT_EQ(run.out, out) << args;
    }
}

// The same names, labels, values and HELP and TYPE lines as the daemon's /metrics.
TEST_F(QueryTool, PrometheusMatchesTheDaemonsMetrics) {
    std::set<std::string> metrics = exposition(httpGet(service->metricsPort, "/metrics").body);
    Outcome run = query("--prometheus --all");
    EXPECT_EQ(run.code, 1) << run.err;
    std::set<std::string> tool = exposition(run.out);
    EXPECT_EQ(tool.size(), 19u) << run.out;  // 13 samples, HELP and TYPE of 3 families
    for (const std::string& line : tool) EXPECT_EQ(metrics.count(line), 1u) << line;
}

TEST_F(QueryTool, ForeignServerExitsThree) {
    std::string error;
    int port = freePort();
    UniqueFd listener = openListenSocket("127.0.0.1", port, 1, &error);
    ASSERT_TRUE(listener.valid()) << error;
    Process tool({QUERY, "-p", std::to_string(port), "-t", "5", "cellar.1"}, service->dir.path);
    ASSERT_EQ(waitReadable(listener.get(), 5000), 1);
    UniqueFd client(accept(listener.get(), nullptr, nullptr));
    const char foreign[] = "HTTP/1.0 400 Bad Request\r\n";
    ASSERT_EQ(send(client.get(), foreign, sizeof(foreign) - 1, 0), 26);
    EXPECT_EQ(tool.wait(), 3);
    EXPECT_EQ(tool.output(),
              "sensomark-query: unexpected reply 'HTTP/1.0 400 Bad Request' to "
              "'cellar.1' from 127.0.0.1:" +
                  std::to_string(port) + "\n");
}
