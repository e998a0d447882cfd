// The daemon publishing to a real mosquitto broker on 127.0.0.1: values,
// availability, Home Assistant discovery, its will, an orderly stop,
// configuration errors and the metrics.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <set>

#include "brokerutil.h"
#include "testutil.h"

namespace {

std::string http(int port, const std::string& path) {
    Client client(port);
    if (!client.connected()) return "<no connection>";
    client.send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string reply;
    char buffer[4096];
    while (true) {
        pollfd p = {client.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = recv(client.fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    return reply;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(MqttPublishing, ValuesGoOutAsTheDeviceSendsThem) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/#");
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                                        mqttSection(broker.port(), "t")));
    ASSERT_TRUE(daemon->waitFor(connectedLine(broker))) << daemon->output();
    ASSERT_TRUE(sub.waitFor("t/status", "online"));
    // No data yet: the name is offline and no value goes out.
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline"));
    EXPECT_EQ(sub.count("t/cellar/temperature"), 0);

    pty.write(LINE);
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online"));
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "21.5"));
    EXPECT_TRUE(sub.waitFor("t/cellar/humidity", "48.0"));
    EXPECT_TRUE(sub.waitFor("t/cellar/dewpoint", "10.1"));

    // A changed value goes out without waiting for the interval; frost points
    // keep their sign.
    pty.write("temperature=-2.5 humidity=91.0 dewpoint=-3.6\n");
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "-2.5"));
    EXPECT_TRUE(sub.waitFor("t/cellar/dewpoint", "-3.6"));
    Client client(port);
    EXPECT_EQ(client.query("cellar.1"), "valid=1;value=-2.5;");
    EXPECT_EQ(sub.count("t/status"), 1);

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
}

TEST(MqttPublishing, DiscoveryDescribesEveryNameAndQuantity) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "homeassistant/#");
    Pty first, second;
    int port = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "[sensors]\n" + first.slavePath + " = cellar garage\n" +
                                  second.slavePath + " = sensomark.com1\n" +
                                  mqttSection(broker.port(), "site/board", "interval = 10\n")));
    ASSERT_TRUE(daemon->waitFor(connectedLine(broker))) << daemon->output();

    struct Expected {
        std::string name, objectId, device;
    } names[] = {{"cellar", "cellar", first.slavePath},
                 {"garage", "garage", first.slavePath},
                 {"sensomark.com1", "sensomark_com1", second.slavePath}};
    struct Kind {
        const char* key;
        const char* deviceClass;
        const char* unit;
    } kinds[] = {{"temperature", "temperature", "°C"},
                 {"humidity", "humidity", "%"},
                 {"dewpoint", "temperature", "°C"}};
    std::set<std::string> uniqueIds;
    for (const Expected& n : names) {
        for (const Kind& k : kinds) {
            std::string topic =
                "homeassistant/sensor/site-board/" + n.objectId + "_" + k.key + "/config";
            std::string payload = sub.waitForTopic(topic);
            ASSERT_NE(payload, "<none>") << topic;
            nlohmann::json j = nlohmann::json::parse(payload);
            EXPECT_EQ(j["device_class"], k.deviceClass);
            EXPECT_EQ(j["unit_of_measurement"], k.unit);
            EXPECT_EQ(j["state_class"], "measurement");
            EXPECT_EQ(j["state_topic"], "site/board/" + n.name + "/" + k.key);
            EXPECT_EQ(j["availability_mode"], "all");
            ASSERT_EQ(j["availability"].size(), 2u);
            EXPECT_EQ(j["availability"][0]["topic"], "site/board/status");
            EXPECT_EQ(j["availability"][1]["topic"], "site/board/" + n.name + "/available");
            EXPECT_EQ(j["expire_after"], 60);
            std::string uniqueId = j["unique_id"];
            EXPECT_TRUE(has(uniqueId, k.key)) << uniqueId;
            EXPECT_EQ(uniqueId.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"),
                      std::string::npos)
                << uniqueId;
            uniqueIds.insert(uniqueId);
            EXPECT_EQ(j["device"]["model"], "sensomarkUSB");
            EXPECT_EQ(j["device"]["manufacturer"], "sensomarkUSB");
            EXPECT_TRUE(has(j["device"]["name"], n.device)) << j["device"];
            EXPECT_EQ(j["device"]["identifiers"].size(), 1u);
        }
    }
    EXPECT_EQ(uniqueIds.size(), 9u);
    // Retained: a subscriber that comes later gets them too.
    Subscriber late(dir, broker.port(), "homeassistant/sensor/#");
    EXPECT_TRUE(eventually([&] { return late.lines().size() == 9; }));

    // Home Assistant announces itself after its own restart: everything again.
    ASSERT_EQ(publishMessage(dir, broker.port(), "homeassistant/status", "online"), 0);
    EXPECT_TRUE(eventually([&] {
        return sub.count("homeassistant/sensor/site-board/cellar_temperature/config") == 2 &&
               sub.count("homeassistant/sensor/site-board/sensomark_com1_dewpoint/config") == 2;
    }));
}

TEST(MqttPublishing, NoDiscoveryWhenTurnedOff) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port());
    Pty pty;
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                              mqttSection(broker.port(), "t", "discovery = no\n")));
    pty.write(LINE);
    // Discovery would have gone out before the first value.
    ASSERT_TRUE(sub.waitFor("t/cellar/dewpoint", "10.1"));
    for (const std::string& line : sub.lines()) EXPECT_FALSE(has(line, "homeassistant")) << line;
}

TEST(MqttPublishing, AvailabilityFollowsTheDevice) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/#");
    auto pty = std::make_unique<Pty>();
    std::string link = dir.file("ttySENSOR");
    ASSERT_EQ(symlink(pty->slavePath.c_str(), link.c_str()), 0);
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + link + " = cellar\n" +
                                                        mqttSection(broker.port(), "t")));
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline"));  // no data yet
    pty->write(LINE);
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "online"));

    // Unplugged: offline at once, though the data is still fresh.
    pty->hangUp();
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline", 2));
    EXPECT_EQ(sub.last("t/cellar/available"), "offline");
    EXPECT_EQ(Client(port).query("cellar.1"), "valid=1;value=21.5;");

    // Plugged in again (the reader retries every 5 s): online with the next line.
    pty = std::make_unique<Pty>();
    unlink(link.c_str());
    ASSERT_EQ(symlink(pty->slavePath.c_str(), link.c_str()), 0);
    ASSERT_TRUE(
        eventually([&] { return daemon->count("start sensing on '" + link + "'") == 2; }, 8s));
    pty->write(LINE);
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online", 2));
    EXPECT_EQ(sub.count("t/cellar/available"), 4);
}

TEST(MqttPublishing, BrokerShowsAKilledDaemonOffline) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/status");
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "[sensors]\n/nonexistent/tty = x\n" +
                                              mqttSection(broker.port(), "t", "qos = 0\n")));
    ASSERT_TRUE(sub.waitFor("t/status", "online"));
    daemon->signal(SIGKILL);
    EXPECT_EQ(daemon->wait(), 128 + SIGKILL);
    // The will, retained.
    EXPECT_TRUE(sub.waitFor("t/status", "offline"));
    Subscriber late(dir, broker.port(), "t/status");
    EXPECT_TRUE(late.waitFor("t/status", "offline"));
}

TEST(MqttPublishing, OrderlyStopSaysOfflineAndDisconnects) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/#");
    Pty pty;
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar garage\n" +
                                              mqttSection(broker.port(), "t")));
    pty.write(LINE);
    ASSERT_TRUE(sub.waitFor("t/garage/available", "online"));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(3s), 0) << daemon->output();
    EXPECT_TRUE(sub.waitFor("t/status", "offline"));
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "offline"));
    EXPECT_TRUE(sub.waitFor("t/garage/available", "offline"));
    // A disconnect, not a lost connection (which would send the will).
    EXPECT_TRUE(eventually([&] { return broker.count("Client t disconnected.") == 1; }))
        << broker.output();
}

TEST(MqttPublishing, StopIsBoundedWhenTheBrokerHangs) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                                        mqttSection(broker.port(), "t")));
    ASSERT_TRUE(daemon->waitFor(connectedLine(broker))) << daemon->output();
    broker.signal(SIGSTOP);
    pty.write(LINE);  // a publish that the broker will not acknowledge
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(3s), 0) << daemon->output();
    broker.signal(SIGCONT);
}

TEST(MqttPublishing, ConfigurationErrorsEndTheDaemonWithCode4) {
    TempDir dir;
    dir.write("loose", "secret\n");
    chmod(dir.file("loose").c_str(), 0644);
    struct Case {
        std::string section;
        std::string line;
    } cases[] = {
        {"[mqtt]\nport = 1883\n", "MQTT configuration: section [mqtt] needs a host"},
        {"[mqtt]\nhost = 127.0.0.1\nqos = 2\n", "MQTT configuration: qos '2' must be 0 or 1"},
        {"[mqtt]\nhost = 127.0.0.1\ntls = yes\n",
         "MQTT configuration: tls needs a cafile to verify the broker's certificate"},
        {"[mqtt]\nhost = 127.0.0.1\nusername = u\npasswordfile = " + dir.file("loose") + "\n",
         "MQTT configuration: password file '" + dir.file("loose") +
             "' may be read by others (mode 0644); allow its owner only (chmod 600)"},
        {"[mqtt]\nhost = 127.0.0.1\nusername = u\npasswordfile = " + dir.file("absent") + "\n",
         "MQTT configuration: cannot read password file '" + dir.file("absent") +
             "': No such file or directory"},
        {"[mqtt]\nhost = 127.0.0.1\nintervall = 5\n",
         "MQTT configuration: unknown key 'intervall' in section [mqtt]"},
    };
    for (const Case& c : cases) {
        dir.write("sensomarkUSB.conf",
                  configText(freePort(), "[sensors]\n/nonexistent/tty = x\n" + c.section));
        Process daemon({SENSOMARK_BIN}, dir.path);
        EXPECT_EQ(daemon.wait(), 4) << c.section;
        std::string out = daemon.output();
        EXPECT_TRUE(has(out, " - " + c.line + "\n")) << out;
        EXPECT_EQ(daemon.count("MQTT configuration"), 1) << out;
        EXPECT_TRUE(has(out, "ending daemon\n")) << out;
        EXPECT_FALSE(has(out, "starting sensomarkUSB")) << out;
    }
}

TEST(MqttPublishing, MetricsShowTheConnection) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Subscriber sub(dir, broker.port(), "t/#");
    Pty pty;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(metricsPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar\n" + mqttSection(broker.port(), "t")));
    pty.write(LINE);
    ASSERT_TRUE(sub.waitFor("t/cellar/dewpoint", "10.1"));
    std::string metrics = http(metricsPort, "/metrics");
    EXPECT_TRUE(has(metrics, "# TYPE sensomark_mqtt_connected gauge\nsensomark_mqtt_connected 1\n"))
        << metrics;
    EXPECT_TRUE(has(metrics, "# TYPE sensomark_mqtt_publishes_total counter\n")) << metrics;
    EXPECT_TRUE(has(metrics,
                    "# TYPE sensomark_mqtt_reconnects_total counter\n"
                    "sensomark_mqtt_reconnects_total 0\n"))
        << metrics;
    size_t at = metrics.find("\nsensomark_mqtt_publishes_total ");
    ASSERT_NE(at, std::string::npos);
    // Status, 3 discovery messages, availability and 3 values at least.
    EXPECT_GE(atoi(metrics.c_str() + at + 32), 8) << metrics;
}

TEST(MqttPublishing, WithoutTheSectionThereIsNoMqtt) {
    TempDir dir;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(dir, configText(port, "metricsport = " + std::to_string(metricsPort) +
                                                        "\n[sensors]\n/nonexistent/tty = x\n"));
    std::string metrics = http(metricsPort, "/metrics");
    EXPECT_TRUE(has(metrics, "sensomark_requests_total")) << metrics;
    EXPECT_FALSE(has(metrics, "sensomark_mqtt")) << metrics;
    EXPECT_FALSE(has(daemon->output(), "MQTT")) << daemon->output();
}
