// Availability after 30 s without a device line (labelled slow: it waits out
// the silence).
#include <gtest/gtest.h>

#include <chrono>

#include "brokerutil.h"
#include "testutil.h"

TEST(MqttSlow, AvailabilityGoesOfflineAfter30SecondsOfSilenceAndComesBack) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/#");
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                                        mqttSection(broker.port(), "t")));
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline"));
    pty.write(LINE);
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "online"));
    auto online = std::chrono::steady_clock::now();

    // The device stays open but silent: offline once its data is 31 s old.
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline", 2, 40s));
    auto silent = std::chrono::steady_clock::now() - online;
    EXPECT_GE(silent, 29s);
    EXPECT_EQ(Client(port).query("cellar.1"), "valid=0");
    EXPECT_EQ(sub.count("t/cellar/temperature"), 1);

    // The next line: online, and the values (unchanged) go out again.
    pty.write(LINE);
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online", 2));
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "21.5", 2));
}
