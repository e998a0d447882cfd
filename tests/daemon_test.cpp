// The whole daemon end to end: its start-up log, configured and default
// sensors, daemon mode, and orderly shutdown under load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <sstream>

#include "testutil.h"

using Lines = std::vector<std::string>;
namespace {
// The log lines of text without those of sensor readers and clients, which
// other threads write at any time.
Lines mainThreadLines(const std::string& text) {
    Lines lines;
    for (const std::string& line : logLines(text))
        if (line.rfind("start sensing ", 0) && line.rfind("cannot open ", 0) &&
            line.rfind("lost ", 0) && line.rfind("incoming ", 0))
            lines.push_back(line);
    return lines;
}

// Field n (counted from 1) of /proc/pid/stat; empty when the process is gone.
std::string statField(pid_t pid, int n) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat"), field;
    std::istringstream fields(stat.empty() ? "" : stat.substr(stat.rfind(')') + 2));
    for (int i = 3; i <= n; ++i) fields >> field;
    return field;
}

std::string procLink(pid_t pid, const std::string& what) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/" + what, error);
}
}  // namespace

TEST(WholeDaemon, LogsItsStartUpExactlyAndAnswersEveryNameOfTwoDevices) {
    TempDir dir;
    Pty cellar, attic;
    int port = freePort();
    dir.write("sensomarkUSB.conf",
              configText(port, "[sensors]\n" + cellar.slavePath + " = cellar  garage shed\n" +
                                   attic.slavePath + " = attic\n"));
    Process daemon({SENSOMARK_BIN}, dir.path);
    const std::string listening =
        "waiting for incoming connections on port " + std::to_string(port);
    auto sensing = [&](const Pty& pty) {
        Lines lines = logLines(daemon.output());
        return std::count(lines.begin(), lines.end(), "start sensing on '" + pty.slavePath + "'");
    };
    ASSERT_TRUE(eventually([&] {
        return sensing(cellar) == 1 && sensing(attic) == 1 && daemon.count(listening) == 1;
    })) << daemon.output();
    std::string out = daemon.output();
    EXPECT_EQ(mainThreadLines(out),
              (Lines{"using config file './sensomarkUSB.conf'",
                     "adding sensor '" + cellar.slavePath + "'", "   --> naming sensor 'cellar'",
                     "   --> naming sensor 'garage'", "   --> naming sensor 'shed'",
                     "adding sensor '" + attic.slavePath + "'", "   --> naming sensor 'attic'",
                     "starting sensomarkUSB", listening}));
    EXPECT_EQ(out.rfind("sensomarkUSB 0.8.1\n\n", 0), 0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + 11);  // nothing else

    cellar.write("temperature=12.5 humidity=80.1 dewpoint=9.1\r\n");
    attic.write("temperature=25.0 humidity=30.0 dewpoint=6.2\r\n");
    Client client(port);
    EXPECT_TRUE(eventually([&] { return client.query("attic.1") == "valid=1;value=25.0;"; }));
    EXPECT_TRUE(eventually([&] { return client.query("shed.2") == "valid=1;value=80.1;"; }));
    EXPECT_EQ(client.query("garage.3"), "valid=1;value=9.1;");
    EXPECT_EQ(client.query("cellar.1"), "valid=1;value=12.5;");
    EXPECT_TRUE(daemon.waitFor("sensed 'temperature=25.0 humidity=30.0 dewpoint=6.2' on '" +
                               attic.slavePath + "'"));
}

TEST(WholeDaemon, DefaultSensorWithoutConfiguration) {
    if (access("/etc/sensomarkUSB.conf", F_OK) == 0)
        GTEST_SKIP() << "/etc/sensomarkUSB.conf exists";
    if (Client(4000).connected()) GTEST_SKIP() << "port 4000 is taken";
    TempDir dir;
    Process daemon({SENSOMARK_BIN, "missing.conf"}, dir.path);
    ASSERT_TRUE(daemon.waitFor("waiting for incoming connections on port 4000"));
    // A missing file named on the command line falls back to /etc, then to the defaults.
    EXPECT_EQ(logLines(daemon.output())[0], "no config file found, using defaults");
    EXPECT_TRUE(daemon.waitFor("start sensing on '/dev/ttyUSB0'"));
    Client client(4000);
    EXPECT_EQ(client.query("sensomark.com1.1").rfind("valid=", 0), 0u);
    EXPECT_EQ(client.query("sensomark.com2.1"), "");
}

TEST(WholeDaemon, DaemonModeDetachesIntoANewSession) {
    TempDir dir;
    int port = freePort();
    // The log file takes every line, also those of the keys before it.
    dir.write("d.conf", configText(port, "metricsport = 99999\nlogfile = " + dir.file("d.log") +
                                             "\n[sensors]\n/nonexistent/tty = x\n"));
    std::string out;
    std::vector<std::string> argv = {SENSOMARK_BIN, "-d", dir.file("d.conf")};
    ASSERT_EQ(runProgram(argv, dir.path, &out), 0);
    EXPECT_EQ(out, "sensomarkUSB 0.8.1\n\n");
    EXPECT_TRUE(Client(port).connected()) << "the starter leaves once the daemon listens";
    pid_t pid = processRunning(argv);
    ASSERT_GT(pid, 0);
    // Detached from the test, it cannot die with it: end it whatever happens below.
    std::shared_ptr<void> ender(nullptr, [pid](void*) { kill(pid, SIGKILL); });

    EXPECT_EQ(procLink(pid, "cwd"), "/");
    for (int fd : {0, 1, 2}) EXPECT_EQ(procLink(pid, "fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_NE(getsid(pid), pid);  // not the session leader, so it can never get a terminal
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_EQ(statField(pid, 7), "0");  // no controlling terminal
    kill(pid, SIGTERM);                 // gone, or a zombie until whoever adopted it reaps it
    EXPECT_TRUE(eventually([&] { return statField(pid, 3) == "" || statField(pid, 3) == "Z"; }));
    EXPECT_EQ(mainThreadLines(readFile(dir.file("d.log"))),
              (Lines{"configured metrics port '99999' is invalid, serving no metrics",
                     "adding sensor '/nonexistent/tty'", "   --> naming sensor 'x'",
                     "starting sensomarkUSB as daemon", "daemonized process",
                     "waiting for incoming connections on port " + std::to_string(port),
                     "ending daemon"}));
}

TEST(WholeDaemon, SignalsEndItInOrderUnderLoad) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        Pty pty;
        int port = freePort();
        auto daemon =
            startDaemon(dir, configText(port, "loglevel = stat\nbacklog = 64\n[sensors]\n" +
                                                  pty.slavePath + " = probe\n"));
        pty.write("temperature=21.5\n");
        std::vector<std::unique_ptr<Client>> idle;  // blocked in their reads at shutdown
        for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<Client>(port));
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::vector<std::thread> load;
        for (int i = 0; i < 20; ++i) {
            load.emplace_back([&] {
                Client client(port);
                while (!stop && client.connected()) {
                    if (client.query("probe.1").rfind("valid=", 0) != 0) break;
                    ++answered;
                }
            });
        }
        ASSERT_TRUE(eventually([&] { return answered > 500; }, 10s));
        auto signalled = std::chrono::steady_clock::now();
        daemon->signal(sig);
        daemon->signal(sig);  // a second signal during shutdown changes nothing
        EXPECT_EQ(daemon->wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, STOP_BOUND);
        stop = true;
        for (auto& t : load) t.join();
        for (auto& client : idle) EXPECT_TRUE(client->closedByPeer());
        EXPECT_EQ(logLines(daemon->output()).back(), "ending daemon");
    }
}

// Unusable configuration values are fatal notes (config_test), names missing
// cli_test's; here an address and a port the daemon cannot bind, also in
// daemon mode.
TEST(ExitCodes, TellFailuresFromARequestedStop) {
    std::string error;
    UniqueFd occupied = openListenSocket("", 0, 1, &error);  // a port no other test can take
    ASSERT_TRUE(occupied.valid()) << error;
    int busyPort = portOf(occupied);
    TempDir dir;
    for (auto [keys, code, line] :
         {std::tuple{"listen = 127.0.0.1 1.2.3\n", 4, "invalid listen address '1.2.3'"},
          {"", 5, "failed to bind socket (Address already in use)"}}) {
        dir.write("sensomarkUSB.conf", configText(busyPort, keys));
        std::string out;
        EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), code) << out;
        EXPECT_TRUE(has(out, std::string(" - ") + line + "\n")) << out;
        EXPECT_EQ(out.substr(out.size() - 14), "ending daemon\n") << out;
    }
    // The starter of daemon mode tells the same.
    dir.write("bad.conf", configText(busyPort, "logfile = " + dir.file("bad.log") + "\n"));
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-d", dir.file("bad.conf")}, dir.path, nullptr), 5);
    EXPECT_TRUE(has(readFile(dir.file("bad.log")), "failed to bind socket"));
}
