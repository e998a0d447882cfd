// One daemon against a real broker, from its first value to its will:
// values, discovery, availability, an alert's binary sensor, metrics, an
// orderly stop and SIGKILL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "brokerutil.h"

namespace {
using json = nlohmann::json;

// The six discovery messages of the names cellar and sensomark.com1 on link, whole.
void checkDiscovery(Subscriber& sub, const std::string& link) {
    char host[256] = "";
    gethostname(host, sizeof(host));
    const json common = json::parse(R"({"state_class": "measurement", "availability_mode": "all",
        "payload_available": "online", "payload_not_available": "offline", "expire_after": 90,
        "qos": 1, "device": {"model": "sensomarkUSB", "manufacturer": "sensomarkUSB"}})");
    struct Kind {
        const char *key, *title, *deviceClass, *unit;
    } kinds[] = {{"temperature", "Temperature", "temperature", "°C"},
                 {"humidity", "Humidity", "humidity", "%"},
                 {"dewpoint", "Dew point", "temperature", "°C"}};
    for (auto [name, id] : {std::pair{"cellar", "cellar"}, {"sensomark.com1", "sensomark_com1"}})
        for (const Kind& k : kinds) {
            std::string topic = "homeassistant/sensor/t/" + std::string(id) + "_" + k.key;
            std::string payload = sub.waitForTopic(topic + "/config");
            ASSERT_NE(payload, "<none>") << topic;
            json j = json::parse(payload), want = common;
            std::string named = "t/" + std::string(name) + "/",
                        deviceId = j["device"]["identifiers"][0];
            EXPECT_TRUE(std::regex_match(deviceId, std::regex("sensomark_[\\w-]+"))) << deviceId;
            want.update(
                {{"name", std::string(name) + " " + k.title},
                 {"device_class", k.deviceClass},
                 {"unit_of_measurement", k.unit},
                 {"state_topic", named + k.key},
                 {"availability", {{{"topic", "t/status"}}, {{"topic", named + "available"}}}},
                 {"unique_id", deviceId + "_" + id + "_" + k.key}});
            want["device"].update({{"identifiers", {deviceId}}, {"name", host + (" " + link)}});
            EXPECT_EQ(j, want);
        }
}
}  // namespace

TEST(MqttPublishing, FromFirstValueToTheWill) {
    SKIP_WITHOUT_MOSQUITTO();
    Rig r;
    Subscriber& sub = *r.sub;
    r.startDaemon("cellar sensomark.com1", "[alerts]\ncellar.humidity = above 90\n");
    ASSERT_TRUE(sub.waitFor("t/status", "online"));
    ASSERT_TRUE(sub.waitFor("t/cellar/available", "offline"));  // no data yet
    checkDiscovery(sub, r.link);
    EXPECT_EQ(sub.count("t/cellar/temperature"), 0);
    // The alert: a binary sensor on the device's Home Assistant device, OFF.
    const std::string alert = "t/alert/cellar_humidity_above_90";
    auto j = json::parse(
        sub.waitForTopic("homeassistant/binary_sensor/t/cellar_humidity_above_90/config"));
    auto sensor = json::parse(sub.waitForTopic("homeassistant/sensor/t/cellar_humidity/config"));
    EXPECT_EQ(j["name"], "cellar humidity above 90");
    EXPECT_EQ(j["device_class"], "problem");
    EXPECT_EQ(j["state_topic"], alert);
    EXPECT_EQ(j["availability_topic"], "t/status");
    EXPECT_EQ(j["device"], sensor["device"]);
    EXPECT_EQ(j["unique_id"], sensor["device"]["identifiers"][0].get<std::string>() +
                                  "_alert_cellar_humidity_above_90");
    EXPECT_TRUE(sub.waitFor(alert, "OFF"));

    r.pty->write(LINE);
    EXPECT_TRUE(sub.waitFor("t/sensomark.com1/available", "online"));
    EXPECT_TRUE(sub.waitFor("t/sensomark.com1/temperature", "21.5"));
    EXPECT_TRUE(sub.waitFor("t/sensomark.com1/humidity", "48.0"));
    EXPECT_TRUE(sub.waitFor("t/sensomark.com1/dewpoint", "10.1"));
    r.pty->write("temperature=-2.5 humidity=91.0 dewpoint=-3.6\n");  // changed: out at once
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "-2.5"));
    EXPECT_TRUE(sub.waitFor("t/cellar/dewpoint", "-3.6"));
    EXPECT_TRUE(sub.waitFor(alert, "ON"));
    EXPECT_TRUE(Subscriber(r.dir, r.broker.port, alert).waitFor(alert, "ON"));  // retained
    EXPECT_EQ(Client(r.port).query("cellar.1"), "valid=1;value=-2.5;");

    std::string m = scrape(r.metricsPort);
    EXPECT_EQ(metricValue(m, "sensomark_mqtt_connected"), 1) << m;
    EXPECT_EQ(metricValue(m, "sensomark_mqtt_reconnects_total"), 0) << m;
    // The status, discovery, names and values at least.
    EXPECT_GE(metricValue(m, "sensomark_mqtt_publishes_total"), 1 + 6 + 2 + 2 + 6) << m;

    // Home Assistant restarted: discovery again.
    Process publish({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p",
                     std::to_string(r.broker.port), "-t", "homeassistant/status", "-m", "online"},
                    r.dir.path);
    ASSERT_EQ(publish.wait(), 0) << publish.output();
    EXPECT_TRUE(sub.waitFor("homeassistant/sensor/t/sensomark_com1_dewpoint/config",
                            sub.last("homeassistant/sensor/t/sensomark_com1_dewpoint/config"), 2));

    // Unplugged: offline at once; plugged in again: online with the next line.
    r.pty->hangUp();
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "offline", 2));
    EXPECT_EQ(Client(r.port).query("cellar.1"), "valid=1;value=-2.5;");
    r.replug();
    ASSERT_TRUE(
        eventually([&] { return r.daemon->count("start sensing on '" + r.link + "'") == 2; }, 8s));
    r.pty->write(LINE);
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online", 2));
    EXPECT_TRUE(sub.waitFor(alert, "OFF", 2));

    // An orderly stop: offline everywhere, and a disconnect rather than the will.
    r.daemon->signal(SIGTERM);
    EXPECT_EQ(r.daemon->wait(STOP_BOUND + 1s), 0) << r.daemon->output();
    EXPECT_TRUE(sub.waitFor("t/status", "offline"));
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "offline", 3));
    EXPECT_TRUE(sub.waitFor("t/sensomark.com1/available", "offline", 3));
    EXPECT_TRUE(eventually([&] { return r.broker.count("Client t disconnected.") == 1; }));

    // Killed: the broker sends the will, retained.
    r.startDaemon("cellar", "qos = 0\n");
    ASSERT_TRUE(sub.waitFor("t/status", "online", 2));
    r.daemon->signal(SIGKILL);
    EXPECT_TRUE(sub.waitFor("t/status", "offline", 2));
    EXPECT_TRUE(Subscriber(r.dir, r.broker.port, "t/status").waitFor("t/status", "offline"));
}
