// What takes half a minute: availability after 30 s without a device line
// (labelled slow). Memory is bench/mqtt.sh's; the bound on what a broker that
// never acknowledges is handed is mqtt_fault_test's.
#include <gtest/gtest.h>

#include "brokerutil.h"

TEST(MqttSlow, AvailabilityGoesOfflineAfter30SecondsOfSilenceAndComesBack) {
    SKIP_WITHOUT_MOSQUITTO();
    Rig r;
    r.startDaemon();
    ASSERT_TRUE(r.sub->waitFor("t/cellar/available", "offline"));  // no data yet
    r.pty->write(LINE);
    ASSERT_TRUE(r.sub->waitFor("t/cellar/available", "online"));
    auto online = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.sub->waitFor("t/cellar/available", "offline", 2, 40s));  // open but silent
    EXPECT_GE(std::chrono::steady_clock::now() - online, 29s);
    EXPECT_EQ(Client(r.port).query("cellar.1"), "valid=0");
    EXPECT_EQ(r.sub->count("t/cellar/temperature"), 1);
    r.pty->write(LINE);
    EXPECT_TRUE(r.sub->waitFor("t/cellar/available", "online", 2));
    EXPECT_TRUE(r.sub->waitFor("t/cellar/temperature", "21.5", 2));
}
