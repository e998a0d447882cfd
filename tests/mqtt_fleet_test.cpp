// Twenty boards, each with its own device and prefix, into one broker.
#include <gtest/gtest.h>

#include <set>

#include "brokerutil.h"

TEST(MqttFleet, TwentyBoardsPublishIntoOneBroker) {
    SKIP_WITHOUT_MOSQUITTO();
    const int BOARDS = 20;
    TempDir base;
    Broker broker(base);
    Subscriber sub(base, broker.port);
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::unique_ptr<Pty>> devices;
    std::vector<std::unique_ptr<Process>> daemons;
    std::set<std::string> wanted;
    for (int i = 0; i < BOARDS; ++i) {
        dirs.push_back(std::make_unique<TempDir>());
        devices.push_back(std::make_unique<Pty>());
        std::string prefix = "fleet/board" + std::to_string(i);
        daemons.push_back(startDaemon(
            *dirs.back(),
            configText(freePort(), "loglevel = critical\n[sensors]\n" + devices.back()->slavePath +
                                       " = probe\n" +
                                       mqttSection(broker.port, prefix, "discovery = no\n"))));
        devices.back()->write(LINE);
        for (const char* line :
             {"available online", "temperature 21.5", "humidity 48.0", "dewpoint 10.1"})
            wanted.insert(prefix + "/probe/" + line);
    }
    auto missing = [&] {
        std::set<std::string> left = wanted;
        for (const std::string& line : sub.lines()) left.erase(line);
        return left.size();
    };
    EXPECT_TRUE(eventually([&] { return missing() == 0; }, 10s)) << missing() << " missing";
    for (const std::string& line : sub.lines())
        EXPECT_EQ(line.find("homeassistant"), std::string::npos);
    for (auto& daemon : daemons) daemon->signal(SIGTERM);
    for (auto& daemon : daemons) EXPECT_EQ(daemon->wait(), 0);
}
