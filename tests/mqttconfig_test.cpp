// MQTT publishing without a broker: the [mqtt] keys (their refusals are in
// config_test), object ids, topic text, discovery payloads, the publishing
// schedule and the outbox.
#include "mqttconfig.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "mqttdiscovery.h"
#include "mqttplan.h"
#include "testutil.h"

TEST(MqttConfig, EveryKeyIsReadAndTheDefaultsFollowTheHostNameAndTls) {
    std::map<std::string, std::string> keys;
    for (std::string key :
         {"host=h", "port=1999", "tls=on", "cafile=/ca", "certfile=/cert", "keyfile=/key",
          "username=u", "passwordfile=/pw", "clientid=c", "topic=site/board7/", "qos=0",
          "interval=15", "discovery=no", "retain=true"})
        keys[key.substr(0, key.find('='))] = key.substr(key.find('=') + 1);
    MqttConfig c;
    std::string error;
    ASSERT_TRUE(parseMqttConfig(keys, "box", &c, &error)) << error;
    EXPECT_EQ(
        std::tie(c.host, c.port, c.tls, c.caFile, c.certFile, c.keyFile, c.username, c.passwordFile,
                 c.clientId, c.prefix, c.qos, c.intervalS, c.discovery, c.retain),
        std::make_tuple("h", 1999, true, "/ca", "/cert", "/key", "u", "/pw", "c", "site/board7", 0,
                        15, false, true));
    ASSERT_TRUE(parseMqttConfig({{"host", "broker.lan"}}, "box", &c, &error)) << error;
    EXPECT_EQ(std::tie(c.port, c.clientId, c.prefix),
              std::make_tuple(1883, "sensomark-box", "sensomark/box"));
    ASSERT_TRUE(
        parseMqttConfig({{"host", "h"}, {"tls", "YES"}, {"cafile", "/ca"}}, "b", &c, &error));
    EXPECT_EQ(c.port, 8883);
}

TEST(MqttDiscovery, TopicTextIsRefusedExactlyWhenTheLibraryRefusesIt) {
    for (std::string text : {"cellar", "k\xc3\xbc", "\xf0\x9f\x98\x80", "\xef\xbf\xbd", "\xc2\xa0",
                             "a\x01", "a\x1f", "a\x7f", "\xc2\x80", "\xc2\x9f", "\xef\xb7\x90",
                             "\xef\xbf\xbe", "\xf0\x9f\xbf\xbf", "caf\xe9", "\xe2\x82", "\xc0\xaf",
                             "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80"})
        EXPECT_EQ(
            topicTextProblem(text).empty(),
            mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS)
            << escapeText(text);
    EXPECT_EQ(topicTextProblem("ok\xc2\x85"), "\\xc2\\x85 is a control character");
    EXPECT_EQ(topicTextProblem("\xef\xbf\xbf"), "\\xef\\xbf\\xbf is a noncharacter");
    EXPECT_EQ(escapeText("k\xc3\xbc\x1b[2J\xe9"), "k\xc3\xbc\\x1b[2J\\xe9");
}

TEST(MqttDiscovery, ObjectIdsExpiryAndBytesThatAreNoUtf8) {
    EXPECT_EQ(objectId("Room-2_b"), "Room-2_b");
    EXPECT_EQ(objectId("küche/1 +#"), "k__che_1___");
    EXPECT_EQ(objectId(""), "_");
    EXPECT_EQ(uniqueObjectIds({"a.b", "a_b", "a-b", "a b"}),
              (std::vector<std::string>{"a_b", "a_b_2", "a-b", "a_b_3"}));
    EXPECT_EQ(topicLevel("a/b+c#d.e"), "a_b_c_d.e");
    for (auto [interval, expiry] : {std::pair{1, 60}, {30, 60}, {60, 90}, {300, 330}})
        EXPECT_EQ(expireAfterS(interval), expiry) << interval;
    DiscoveryEntity e;
    e.name = "caf\xe9";
    e.quantity = &QUANTITIES[0];
    EXPECT_EQ(nlohmann::json::parse(discoveryPayload(e))["name"], "caf\xef\xbf\xbd Temperature");
}

namespace {
using Texts = std::vector<std::string>;

// A name whose data arrived ageS seconds ago (never when negative).
SensorSnapshot name(bool open, int64_t ageS, const std::string& t) {
    SensorSnapshot s;
    s.open = open;
    s.ageS = ageS;
    s.fresh = isFresh(ageS);
    s.values[0] = measurementOf(t);
    s.values[1] = measurementOf("48.0");
    s.values[2] = measurementOf("10.1");
    return s;
}

Texts texts(const std::vector<MqttMessage>& messages) {
    Texts out;
    for (const MqttMessage& m : messages)
        out.push_back(m.topic + " " + m.payload + (m.retain ? " (retained)" : ""));
    return out;
}

// What plan sends at nowMs; *next: when something is due next.
Texts step(PublishPlan& plan, const std::vector<SensorSnapshot>& names, int64_t nowMs,
           int64_t* next = nullptr) {
    int64_t due = PublishPlan::NEVER;
    Texts out = texts(plan.update(names, nowMs, &due));
    if (next) *next = due;
    return out;
}
}  // namespace

TEST(MqttPlan, ChangesGoOutAtMostOnceASecondAndUnchangedOncePerInterval) {
    PublishPlan plan("p", {"a"}, 60, true);
    int64_t next;
    EXPECT_EQ(step(plan, {name(true, 0, "21.5")}, 100000, &next),
              (Texts{"p/a/available online (retained)", "p/a/temperature 21.5 (retained)",
                     "p/a/humidity 48.0 (retained)", "p/a/dewpoint 10.1 (retained)"}));
    EXPECT_EQ(next, 131000);  // when the data turns stale
    EXPECT_EQ(step(plan, {name(true, 0, "21.6")}, 100400, &next), Texts{});
    EXPECT_EQ(next, 101000);
    EXPECT_EQ(step(plan, {name(true, 1, "21.6")}, 101000),
              Texts{"p/a/temperature 21.6 (retained)"});
    EXPECT_EQ(step(plan, {name(true, 0, "21.6")}, 130000, &next), Texts{});
    EXPECT_EQ(next, 160000);
    EXPECT_EQ(step(plan, {name(true, 0, "21.6")}, 160000),
              (Texts{"p/a/humidity 48.0 (retained)", "p/a/dewpoint 10.1 (retained)"}));
}

TEST(MqttPlan, StaleOrClosedMeansOfflineAndNoValues) {
    PublishPlan plan("p", {"a", "b"}, 60, false);
    int64_t next;
    step(plan, {name(true, 0, "21.5"), name(true, 0, "19")}, 100000);
    EXPECT_EQ(step(plan, {name(true, 31, "21.5"), name(false, 1, "19")}, 131000, &next),
              (Texts{"p/a/available offline (retained)", "p/b/available offline (retained)"}));
    EXPECT_EQ(next, 160000);  // b's unchanged values repeat before its data turns stale

    PublishPlan empty("p", {"a"}, 60, false);
    EXPECT_EQ(step(empty, {name(true, -1, "")}, 5000, &next),
              Texts{"p/a/available offline (retained)"});
    EXPECT_EQ(next, PublishPlan::NEVER);
    EXPECT_EQ(step(empty, {name(true, 40, "21.5")}, 50000, &next), Texts{});
    EXPECT_EQ(next, PublishPlan::NEVER);
    EXPECT_EQ(step(empty, {name(true, 0, "21.5")}, 60000),
              (Texts{"p/a/available online (retained)", "p/a/temperature 21.5", "p/a/humidity 48.0",
                     "p/a/dewpoint 10.1"}));
}

TEST(MqttPlan, ResetSendsEverythingAgainAndOfflineCoversEveryName) {
    PublishPlan plan("p", {"a", "b"}, 60, false);
    Texts first = step(plan, {name(true, 0, "1"), name(true, 0, "2")}, 1000);
    plan.reset();
    EXPECT_EQ(step(plan, {name(true, 0, "1"), name(true, 0, "2")}, 1200), first);
    EXPECT_EQ(texts(plan.offline()),
              (Texts{"p/a/available offline (retained)", "p/b/available offline (retained)"}));
}

TEST(MqttPlan, OutboxKeepsTheNewestMessageOfEachTopicInTheOrderTheyFellDue) {
    Outbox box;
    EXPECT_FALSE(box.put({"a", "1", false}));
    EXPECT_FALSE(box.put({"b", "1", false}));
    EXPECT_TRUE(box.put({"a", "2", true}));  // replaces, keeps its place
    EXPECT_FALSE(box.put({"c", "1", false}));
    Texts out;
    while (!box.empty()) out.push_back(texts({box.take()})[0]);
    EXPECT_EQ(out, (Texts{"a 2 (retained)", "b 1", "c 1"}));
    EXPECT_FALSE(box.put({"a", "3", false}));  // taken: a new message again
    box.clear();
    EXPECT_TRUE(box.empty());
}
