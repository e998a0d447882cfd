// The rules that take real time, checked once each end to end (unit tests
// check them on the sensor's clock seam); label "slow": make test-all, not make test.
#include <gtest/gtest.h>
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
