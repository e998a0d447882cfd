// The rules that take real time, checked once each end to end (unit tests
// check them on the sensor's clock seam); label "slow": make test-all, not make test.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "testutil.h"

TEST(SlowWholeDaemon, DataTurnsStaleAfter30SilentSecondsAndAnUnpluggedDeviceReturnsAfter5) {
    TempDir dir;
    auto first = std::make_unique<Pty>();
    std::string link = dir.file("ttySIM0");
    ASSERT_EQ(symlink(first->slavePath.c_str(), link.c_str()), 0);
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + link + " = probe\n"));
    first->write("humidity=45.5\n");
    Client client(port);
    ASSERT_TRUE(eventually([&] { return client.query("probe.2") == "valid=1;value=45.5;"; }));
    auto fresh = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return client.query("probe.2") == "valid=0"; }, 40s));
    auto age = std::chrono::steady_clock::now() - fresh;
    EXPECT_GT(age, 29s);
    EXPECT_LT(age, 33s);

    first->write("temperature=20.0\n");
    EXPECT_TRUE(eventually([&] { return client.query("probe.1") == "valid=1;value=20.0;"; }));
    first->hangUp();
    EXPECT_TRUE(daemon->waitFor("lost sensor connection on '" + link + "'"));
    auto lost = std::chrono::steady_clock::now();
    Pty second;
    remove(link.c_str());
    ASSERT_EQ(symlink(second.slavePath.c_str(), link.c_str()), 0);
    // The old value stays served while it is fresh; the new one follows the reconnect.
    EXPECT_EQ(client.query("probe.1"), "valid=1;value=20.0;");
    EXPECT_TRUE(
        eventually([&] { return daemon->count("start sensing on '" + link + "'") == 2; }, 10s));
    EXPECT_GT(std::chrono::steady_clock::now() - lost, 4s);
    second.write("temperature=22.0\n");
    EXPECT_TRUE(eventually([&] { return client.query("probe.1") == "valid=1;value=22.0;"; }));
}

TEST(SlowWholeDaemon, ABusyDeviceStaysFreshBehindALogPipeNobodyReads) {
    TempDir dir;
    std::string link = dir.file("ttySIM");
    Process device({SENSOMARK_SIM, "--link", link, "--interval", "5", "--quiet"}, dir.path);
    ASSERT_TRUE(eventually([&] { return access(link.c_str(), F_OK) == 0; }));
    int port = freePort();
    dir.write("sensomarkUSB.conf",
              configText(port, "loglevel = debug\n[sensors]\n" + link + " = probe\n"));
    // 200 debug lines a second fill the pipe within seconds.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    UniqueFd unread(fds[0]), logEnd(fds[1]);
    Process daemon({SENSOMARK_BIN}, dir.path, false, logEnd.get());
    logEnd.reset();
    auto fresh = [](const std::string& reply) { return reply.rfind("valid=1;value=", 0) == 0; };
    ASSERT_TRUE(eventually([&] { return fresh(Client(port).query("probe.1")); }, 10s));
    Client client(port);
    for (auto end = std::chrono::steady_clock::now() + 40s;
         std::chrono::steady_clock::now() < end;) {
        std::string reply = client.query("probe.1");
        ASSERT_TRUE(fresh(reply)) << reply;
        std::this_thread::sleep_for(1s);
    }
    auto stop = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stop, STOP_BOUND);
}
