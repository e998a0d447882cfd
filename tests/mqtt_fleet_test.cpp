// Many sensor boards, one broker: twenty daemons, each with its own device and
// topic prefix, and one subscriber that sees them all.
#include <gtest/gtest.h>

#include "brokerutil.h"
#include "testutil.h"

TEST(MqttFleet, TwentyBoardsPublishIntoOneBroker) {
    std::string missing = mosquittoMissing();
    if (!missing.empty()) GTEST_SKIP() << "MQTT tests: " << missing;
    const int BOARDS = 20;
    TempDir base;
    Broker broker(base);
    Subscriber sub(base, broker.port(), "fleet/#");
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::unique_ptr<Pty>> devices;
    std::vector<std::unique_ptr<Process>> daemons;
    for (int i = 0; i < BOARDS; ++i) {
        dirs.push_back(std::make_unique<TempDir>());
        devices.push_back(std::make_unique<Pty>());
        daemons.push_back(startDaemon(
            *dirs.back(),
            configText(freePort(), "loglevel = critical\n[sensors]\n" + devices.back()->slavePath +
                                       " = probe\n" +
                                       mqttSection(broker.port(), "fleet/board" + std::to_string(i),
                                                   "discovery = no\n"))));
    }
    auto wanted = [](int i) {
        return std::vector<std::pair<std::string, std::string>>{
            {"available", "online"},
            {"temperature", std::to_string(10 + i) + ".5"},
            {"humidity", std::to_string(30 + i) + ".0"},
            {"dewpoint", std::to_string(i) + ".1"}};
    };
    for (int i = 0; i < BOARDS; ++i) {
        auto w = wanted(i);
        devices[i]->write("temperature=" + w[1].second + " humidity=" + w[2].second +
                          " dewpoint=" + w[3].second + "\n");
    }
    auto seen = [&] {
        int n = 0;
        std::vector<std::string> lines = sub.lines();
        std::set<std::string> got(lines.begin(), lines.end());
        for (int i = 0; i < BOARDS; ++i)
            for (const auto& [topic, payload] : wanted(i))
                n += got.count("fleet/board" + std::to_string(i) + "/probe/" + topic + " " +
                               payload);
        return n;
    };
    EXPECT_TRUE(eventually([&] { return seen() == BOARDS * 4; }, 10s))
        << seen() << " of " << BOARDS * 4 << " messages";
    for (auto& daemon : daemons) daemon->signal(SIGTERM);
    for (auto& daemon : daemons) EXPECT_EQ(daemon->wait(), 0);
}
