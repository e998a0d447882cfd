// The daemon as a service: exit codes, -d, a stalled log, descriptors under pressure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "net.h"
#include "testutil.h"

namespace {

// The daemon in dir with its standard output (and error) on a pipe that the
// test reads, or leaves unread.
struct PipedDaemon {
    explicit PipedDaemon(const TempDir& dir) {
        int fds[2];
        if (pipe(fds) != 0) return;
        out.reset(fds[0]);
        UniqueFd in(fds[1]);
        daemon = std::make_unique<Process>(std::vector<std::string>{SENSOMARK_BIN}, dir.path, false,
                                           in.get());
    }
    // Whether the pipe is within two pages of what it can hold.
    bool nearlyFull() const {
        int unread = 0;
        ioctl(out.get(), FIONREAD, &unread);
        return unread + 8192 >= fcntl(out.get(), F_GETPIPE_SZ);
    }
    UniqueFd out;
    std::unique_ptr<Process> daemon;
};

}  // namespace

TEST(ExitCodes, TellFailuresFromARequestedStop) {
    std::string error;
    UniqueFd occupied = openListenSocket("", 0, 1, &error);  // a port no other test can take
    int busyPort = portOf(occupied);
    ASSERT_TRUE(occupied.valid()) << error;
    struct Case {
        std::string config;
        int code;
        std::string line;
    } cases[] = {
        {"[sensors]\n/dev/x = ''\n", 4, "no names specified for sensor '/dev/x'"},
        {"[main]\nlisten = 127.0.0.1 1.2.3\n", 4, "invalid listen address '1.2.3'"},
        {"[main]\nallow = 127.0.0.0/8 10.0.0.0/33\n", 4, "invalid allow entry '10.0.0.0/33'"},
        {"[main]\nuser = no-such-user-here\n", 4, "unknown user 'no-such-user-here'"},
        {configText(busyPort), 5, "failed to bind socket (Address already in use)"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        dir.write("sensomarkUSB.conf",
                  c.config + "[main]\nport = " + std::to_string(busyPort) + "\n");
        std::string out;
        EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), c.code) << c.config << out;
        EXPECT_NE(out.find(" - " + c.line + "\n"), std::string::npos) << out;
        EXPECT_EQ(out.substr(out.size() - 14), "ending daemon\n") << out;
    }
}

TEST(ExitCodes, DaemonModeStarterTellsAFailedStart) {
    TempDir dir;
    std::string error;
    UniqueFd occupied = openListenSocket("", 0, 1, &error);
    int port = portOf(occupied);
    dir.write("bad.conf", configText(port, "logfile = " + dir.file("bad.log") + "\n"));
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-d", dir.file("bad.conf")}, dir.path, nullptr), 5);
    EXPECT_NE(readFile(dir.file("bad.log")).find("failed to bind socket"), std::string::npos);
}

// ---------------------------------------------------------------- pressure

TEST(StalledLog, NeitherGrowsMemoryNorHoldsTheStop) {
    TempDir dir;
    int port = freePort();
    dir.write("sensomarkUSB.conf", configText(port, "loglevel = debug\n"));
    PipedDaemon piped(dir);
    Process& daemon = *piped.daemon;
    ASSERT_TRUE(eventually([&] { return Client(port).connected(); }));
    std::string burst;
    for (int q = 0; q < 500; ++q) burst += "sensomark.com1.1\n";
    // Six clients pipeline queries while nobody reads the log.
    std::atomic<bool> flooding{true};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&] {
            Client c(port);
            while (flooding) {
                c.send(burst);
                c.replies(500, 1s);
            }
        });
    }
    std::this_thread::sleep_for(3s);
#ifndef SENSOMARK_SANITIZED  // the sanitizers' own bookkeeping grows any process
    EXPECT_LT(atol(procStatus(daemon.pid(), "VmRSS").c_str()), 16 * 1024) << "resident KiB";
#endif
    flooding = false;
    for (auto& t : clients) t.join();

    // Draining the output brings the count of what it missed.
    std::string drained;
    char buffer[65536];
    EXPECT_TRUE(eventually(
        [&] {
            ssize_t n =
                waitReadable(piped.out.get(), 100) > 0 ? read(piped.out.get(), buffer, 65536) : 0;
            if (n > 0) drained.append(buffer, n);
            return drained.find(" log lines dropped\n") != std::string::npos;
        },
        10s));
    // Stalled once more: the stop still ends the daemon at once.
    Client c(port);
    c.send(burst + burst + burst + burst);
    c.replies(2000, 1s);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(5s), 0) << "SIGTERM must end the daemon behind a full log pipe";
}

TEST(StalledLog, DevicesAndClientsAreServedBehindAFullPipe) {
    TempDir dir;
    Pty device;
    fcntl(device.master, F_SETFL, O_NONBLOCK);  // a daemon that stopped reading must not stall us
    auto feed = [&](const std::string& line) {
        ssize_t ignored = write(device.master, line.data(), line.size());
        (void)ignored;
    };
    int port = freePort();
    dir.write("sensomarkUSB.conf",
              configText(port, "loglevel = debug\n[sensors]\n" + device.slavePath + " = probe\n"));
    PipedDaemon piped(dir);
    // Each device line is logged: they fill the pipe nobody reads, and then
    // 200 more are more than it could take.
    std::string lines;
    for (int i = 0; i < 20; ++i) lines += "temperature=20.0\n";
    ASSERT_TRUE(eventually(
        [&] {
            feed(lines);
            return piped.nearlyFull();
        },
        10s));
    for (int i = 0; i < 10; ++i) feed(lines);
    EXPECT_TRUE(eventually(
        [&] {
            feed("temperature=25.5\n");
            return Client(port).query("probe.1") == "valid=1;value=25.5;";
        },
        10s))
        << "the device's reader, the accept loop or the client waits for the log";
    auto stop = std::chrono::steady_clock::now();
    piped.daemon->signal(SIGTERM);
    EXPECT_EQ(piped.daemon->wait(5s), 0);
    // Half a second for the stalled output, the rest for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 2s);
}

TEST(StalledLog, ABurstOfClientsIsAcceptedWhileATerminalTakesTheLogSlowly) {
#ifdef SENSOMARK_SANITIZED
    const int clients = 500;  // instrumented threads are slow
#else
    const int clients = 1500;
#endif
    // The daemon inherits the limit.
    if (raiseDescriptorLimit(8192) < 2 * clients + 100) GTEST_SKIP() << "descriptor limit too low";
    TempDir dir;
    Pty terminal;
    int port = freePort();
    dir.write("sensomarkUSB.conf", configText(port, "backlog = 2048\n"));
    Process daemon({SENSOMARK_BIN}, dir.path, false, terminal.slave);
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buffer[64];
        while (reading) {  // about 600 bytes a second
            if (waitReadable(terminal.master, 100) > 0 &&
                read(terminal.master, buffer, sizeof(buffer)) < 0)
                break;
            std::this_thread::sleep_for(100ms);
        }
    });
    ASSERT_TRUE(eventually([&] { return Client(port).connected(); }));
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < clients; ++i) burst.push_back(std::make_unique<Client>(port));
    auto start = std::chrono::steady_clock::now();
    for (auto& client : burst) client->send("x.1\n");
    int answered = 0;
    for (auto& client : burst) {
        auto left = 10s - (std::chrono::steady_clock::now() - start);
        answered +=
            client->replies(1, std::chrono::duration_cast<std::chrono::milliseconds>(left)) ==
            std::vector<std::string>{""};
    }
    EXPECT_EQ(answered, clients);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
    reading = false;
    reader.join();
}

TEST(Descriptors, ClientsLeaveRoomForDevicesAndMetrics) {
    TempDir dir;
    Pty pty;
    int port = freePort(), metricsPort = freePort();
    std::string device = dir.file("ttyLINK");
    ASSERT_EQ(symlink(pty.slavePath.c_str(), device.c_str()), 0);
    dir.write("sensomarkUSB.conf", configText(port, "metricsport = " + std::to_string(metricsPort) +
                                                        "\n[sensors]\n" + device + " = cellar\n"));
    // 100 descriptors: room for 100 - 16 - 64 (web port) - 1 (sensor) = 19 clients.
    Process daemon({"/bin/sh", "-c", std::string("ulimit -n 100 && exec ") + SENSOMARK_BIN},
                   dir.path);
    ASSERT_TRUE(daemon.waitFor("waiting for incoming connections"));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 30; ++i) clients.push_back(std::make_unique<Client>(port));
    EXPECT_TRUE(eventually([&] { return daemon.count("too many clients") == 11; }))
        << daemon.output();

    // The device is unplugged and comes back as another pty behind the link.
    Pty replugged;
    pty.hangUp();
    std::string fresh = dir.file("ttyNEW");
    ASSERT_EQ(symlink(replugged.slavePath.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), device.c_str()), 0);
    ASSERT_TRUE(daemon.waitFor("lost sensor connection"));
    EXPECT_TRUE(eventually(
        [&] {
            replugged.write("temperature=19.5\n");
            return clients[0]->query("cellar.1") == "valid=1;value=19.5;";
        },
        10s))
        << daemon.output();
    Client scrape(metricsPort);
    scrape.send("GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(scrape.closedByPeer()) << "the metrics endpoint did not answer";
    EXPECT_EQ(daemon.count("failed to accept connection"), 0);
}

TEST(Descriptors, ALowLimitStillLeavesClientsAFairShare) {
    TempDir dir;
    int port = freePort(), metricsPort = freePort();
    dir.write("sensomarkUSB.conf",
              configText(port, "metricsport = " + std::to_string(metricsPort) +
                                   "\n[sensors]\n/nonexistent/tty = cellar\n"));
    // The web port alone would reserve more than the 64 descriptors there are.
    Process daemon({"/bin/sh", "-c", std::string("ulimit -n 64 && exec ") + SENSOMARK_BIN},
                   dir.path);
    ASSERT_TRUE(daemon.waitFor("waiting for incoming connections"));
    EXPECT_EQ(daemon.count("descriptor limit 64 is low: serving at most 16 clients at once"), 1)
        << daemon.output();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<Client>(port));
    for (auto& client : clients) EXPECT_EQ(client->query("cellar.1"), "valid=0");
    EXPECT_EQ(daemon.count("too many clients"), 0);
}

TEST(Descriptors, AShortageDelaysTheLogFileButNeverEndsTheDaemon) {
    TempDir dir;
    int port = freePort(), metricsPort = freePort();
    std::string log = dir.file("d.log"), config = dir.file("d.conf");
    dir.write("d.conf",
              configText(port, "metricsport = " + std::to_string(metricsPort) +
                                   "\nlogfile = " + log +
                                   "\nbacklog = 128\n[sensors]\n/nonexistent/tty = x\n"));
    std::string command = std::string("ulimit -n 64 && exec ") + SENSOMARK_BIN + " -d " + config;
    ASSERT_EQ(runProgram({"/bin/sh", "-c", command}, dir.path, nullptr), 0);
    pid_t pid = processRunning({SENSOMARK_BIN, "-d", config});
    ASSERT_GT(pid, 0);
    // Detached from the test, it cannot die with it: end it whatever happens below.
    std::shared_ptr<void> ender(nullptr, [pid](void*) { kill(pid, SIGKILL); });
    // Idle clients of the web port take every descriptor there is, so the log
    // file cannot be opened for the lines that say so, until the web port
    // drops them for sending no request. The listen queue holds all of them at
    // once, so none waits for a retried SYN on a busy machine and they all
    // arrive within the web port's head time-out.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<Client>(metricsPort));
    Client late(port);
    EXPECT_TRUE(eventually(
        [&] { return readFile(log).find("(Too many open files)") != std::string::npos; }, 10s))
        << readFile(log);
    EXPECT_EQ(late.query("x.1"), "valid=0");
    kill(pid, SIGTERM);
    EXPECT_TRUE(
        eventually([&] { return readFile(log).find("ending daemon") != std::string::npos; }));
}
