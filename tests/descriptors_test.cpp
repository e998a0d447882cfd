// Descriptors under pressure: the query clients leave room for the devices and
// the web port, a low limit still serves clients, and a shortage only delays
// the log file and pauses the web port's accepts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

#include "testutil.h"

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
    EXPECT_EQ(httpGet(metricsPort, "/metrics").status, 200);
    EXPECT_EQ(daemon.count("failed to accept connection"), 0);
}

TEST(Descriptors, ALowLimitLeavesClientsAFairShareAndAShortageOnlyDelaysTheLogFile) {
    TempDir dir;
    int port = freePort(), metricsPort = freePort();
    std::string log = dir.file("d.log"), config = dir.file("d.conf");
    dir.write("d.conf", configText(port, "metricsport = " + std::to_string(metricsPort) +
                                             "\nlogfile = " + log +
                                             "\nbacklog = 128\n[sensors]\n/nonexistent/tty = x\n"));
    std::string command = std::string("ulimit -n 64 && exec ") + SENSOMARK_BIN + " -d " + config;
    ASSERT_EQ(runProgram({"/bin/sh", "-c", command}, dir.path, nullptr), 0);
    pid_t pid = processRunning({SENSOMARK_BIN, "-d", config});
    ASSERT_GT(pid, 0);
    // Detached from the test, it cannot die with it: end it whatever happens below.
    std::shared_ptr<void> ender(nullptr, [pid](void*) { kill(pid, SIGKILL); });
    // The web port alone would reserve more than the 64 descriptors there are.
    const std::string low = "descriptor limit 64 is low: serving at most 16 clients at once";
    EXPECT_TRUE(eventually([&] { return has(readFile(log), low); })) << readFile(log);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<Client>(port));
    for (auto& client : clients) EXPECT_EQ(client->query("x.1"), "valid=0");
    EXPECT_FALSE(has(readFile(log), "too many clients"));
    clients.clear();
    // qemu-user keeps descriptors of its own under the process's limit (fd 10 and
    // a pipe near the top), so the emulated daemon's arithmetic of 64 is not the
    // test's below.
    if (!EMULATED) {
        // Idle clients of the web port (all in its listen queue at once, so none waits
        // for a retried SYN) take every descriptor there is, so the log file cannot be
        // opened for the lines that say so until the web port drops them.
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<Client>(metricsPort));
        Client late(port);
        // Meanwhile the web port pauses its accepts instead of spinning on them.
        std::string schedstat = threadFolder(pid, "web") + "schedstat";  // CPU time in ns first
        long before = atol(readFile(schedstat).c_str());
        std::this_thread::sleep_for(1s);
        EXPECT_LT(atol(readFile(schedstat).c_str()) - before, 250000000);  // spinning takes a core
        EXPECT_TRUE(eventually(
            [&] {
                return has(readFile(log),
                           "web server: failed to accept (Too many open files), pausing");
            },
            10s))
            << readFile(log);
        EXPECT_EQ(late.query("x.1"), "valid=0");
    }
    kill(pid, SIGTERM);
    EXPECT_TRUE(eventually([&] { return has(readFile(log), "ending daemon"); }));
}
