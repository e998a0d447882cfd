// The daemon as a service: exit codes, -d, a stalled log, descriptors under pressure.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            close_range(3, ~0U, 0);
            if (chdir(dir.path.c_str()) == 0) execl(SENSOMARK_BIN, SENSOMARK_BIN, nullptr);
            _exit(127);
        }
        close(out[1]);
    }
    ~PipedDaemon() {
        if (status < 0) kill(pid, SIGKILL);
        if (status < 0) waitpid(pid, nullptr, 0);
        close(out[0]);
    }
    // SIGTERM; the exit code, or -1 when the daemon has not ended within timeout.
    int stop(std::chrono::milliseconds timeout) {
        kill(pid, SIGTERM);
        int raw = 0;
        if (!eventually([&] { return waitpid(pid, &raw, WNOHANG) == pid; }, timeout)) return -1;
        return status = WEXITSTATUS(raw);
    }
    int out[2] = {-1, -1};
    pid_t pid = -1;
    int status = -1;
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
    PipedDaemon daemon(dir);
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
    EXPECT_LT(atol(procStatus(daemon.pid, "VmRSS").c_str()), 16 * 1024) << "resident KiB";
#endif
    flooding = false;
    for (auto& t : clients) t.join();

    // Draining the output brings the count of what it missed.
    std::string drained;
    char buffer[65536];
    EXPECT_TRUE(eventually(
        [&] {
            ssize_t n =
                waitReadable(daemon.out[0], 100) > 0 ? read(daemon.out[0], buffer, 65536) : 0;
            if (n > 0) drained.append(buffer, n);
            return drained.find(" log lines dropped\n") != std::string::npos;
        },
        10s));
    // Stalled once more: the stop still ends the daemon at once.
    Client c(port);
    c.send(burst + burst + burst + burst);
    c.replies(2000, 1s);
    EXPECT_EQ(daemon.stop(5s), 0) << "SIGTERM must end the daemon behind a full log pipe";
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
