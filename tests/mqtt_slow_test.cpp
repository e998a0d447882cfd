// What takes a minute: availability after 30 s without a device line, and the
// memory of a daemon whose broker never acknowledges (labelled slow).
#include <gtest/gtest.h>

#include "brokerutil.h"
#include "mqtt.h"

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

TEST(MqttSlow, MemoryStaysFlatForAMinuteOfABrokerThatNeverAcknowledges) {
    FakeBroker broker(FakeBroker::SWALLOW);
    TempDir dir;
    Pty pty;
    std::string names;
    for (int i = 0; i < 200; ++i) names += " n" + std::to_string(i);
    int metricsPort = freePort();
    auto daemon =
        startDaemon(dir, configText(freePort(), "metricsport = " + std::to_string(metricsPort) +
                                                    "\n[sensors]\n" + pty.slavePath + " =" + names +
                                                    "\n" + mqttSection(broker.port, "t")));
    int line = 0;
    auto writeLine = [&] {
        ++line;
        pty.write("temperature=" + std::to_string(line % 1000) +
                  ".5 humidity=" + std::to_string(line % 90) + ".0 dewpoint=10.1\n");
    };
    ASSERT_TRUE(eventually(
        [&] {
            writeLine();
            return metricValue(scrape(metricsPort), "sensomark_mqtt_dropped_total") > 0;
        },
        10s));
    const long startKiB = atol(procStatus(daemon->pid(), "VmRSS").c_str());
    // Ten lines a second for a minute, each with new values for all 200 names.
    for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(100ms))
        writeLine();
    const long endKiB = atol(procStatus(daemon->pid(), "VmRSS").c_str());
    RecordProperty("rss_start_kib", std::to_string(startKiB));
    RecordProperty("rss_after_60s_kib", std::to_string(endKiB));
    EXPECT_LT(endKiB - startKiB, 1024) << startKiB << " KiB at the start, " << endKiB << " after";
    EXPECT_EQ(broker.publishes().size(), size_t{MqttPublisher::MAX_UNACKNOWLEDGED});
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(STOP_BOUND + 1s), 0);
}
