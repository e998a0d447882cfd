// The pure parts of MQTT publishing: the [mqtt] keys and their checks, the
// object ids and discovery messages, and the publishing schedule.
#include "mqttconfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>

#include "iniparser.h"
#include "mqttdiscovery.h"
#include "mqttplan.h"
#include "testutil.h"

namespace {
using Keys = std::map<std::string, std::string>;

// The error of parsing keys, or "" when they are fine.
std::string parseError(const Keys& keys, MqttConfig* config = nullptr) {
    MqttConfig local;
    std::string error;
    bool ok = parseMqttConfig(keys, "box", config ? config : &local, &error);
    return ok ? "" : error;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
}  // namespace

TEST(MqttConfigKeys, DefaultsFollowTheHostName) {
    MqttConfig c;
    ASSERT_EQ(parseError({{"host", "broker.lan"}}, &c), "");
    EXPECT_EQ(c.host, "broker.lan");
    EXPECT_EQ(c.port, 1883);
    EXPECT_FALSE(c.tls);
    EXPECT_EQ(c.clientId, "sensomark-box");
    EXPECT_EQ(c.prefix, "sensomark/box");
    EXPECT_EQ(c.qos, 1);
    EXPECT_EQ(c.intervalS, 60);
    EXPECT_TRUE(c.discovery);
    EXPECT_FALSE(c.retain);
}

TEST(MqttConfigKeys, EveryKeyIsRead) {
    MqttConfig c;
    ASSERT_EQ(parseError({{"host", "h"},
                          {"port", "1999"},
                          {"tls", "yes"},
                          {"cafile", "/ca"},
                          {"certfile", "/cert"},
                          {"keyfile", "/key"},
                          {"username", "u"},
                          {"passwordfile", "/pw"},
                          {"clientid", "c"},
                          {"topic", "site/board7/"},
                          {"qos", "0"},
                          {"interval", "15"},
                          {"discovery", "no"},
                          {"retain", "yes"}},
                         &c),
              "");
    EXPECT_EQ(c.port, 1999);
    EXPECT_TRUE(c.tls);
    EXPECT_EQ(c.caFile, "/ca");
    EXPECT_EQ(c.certFile, "/cert");
    EXPECT_EQ(c.keyFile, "/key");
    EXPECT_EQ(c.username, "u");
    EXPECT_EQ(c.passwordFile, "/pw");
    EXPECT_EQ(c.clientId, "c");
    EXPECT_EQ(c.prefix, "site/board7");
    EXPECT_EQ(c.qos, 0);
    EXPECT_EQ(c.intervalS, 15);
    EXPECT_FALSE(c.discovery);
    EXPECT_TRUE(c.retain);
}

TEST(MqttConfigKeys, TlsDefaultsToPort8883) {
    MqttConfig c;
    ASSERT_EQ(parseError({{"host", "h"}, {"tls", "YES"}, {"cafile", "/ca"}}, &c), "");
    EXPECT_EQ(c.port, 8883);
}

TEST(MqttConfigKeys, EachProblemIsNamed) {
    struct Case {
        Keys keys;
        const char* named;
    } cases[] = {
        {{}, "needs a host"},
        {{{"host", ""}}, "needs a host"},
        {{{"host", "h"}, {"qos", "2"}}, "qos '2' must be 0 or 1"},
        {{{"host", "h"}, {"qos", "one"}}, "qos 'one'"},
        {{{"host", "h"}, {"port", "0"}}, "port '0'"},
        {{{"host", "h"}, {"port", "65536"}}, "port '65536'"},
        {{{"host", "h"}, {"port", "18 83"}}, "port '18 83'"},
        {{{"host", "h"}, {"interval", "0"}}, "interval '0'"},
        {{{"host", "h"}, {"interval", "-5"}}, "interval '-5'"},
        {{{"host", "h"}, {"tls", "maybe"}}, "tls 'maybe'"},
        {{{"host", "h"}, {"tls", "yes"}}, "tls needs a cafile"},
        {{{"host", "h"}, {"cafile", "/ca"}}, "need tls = yes"},
        {{{"host", "h"}, {"tls", "yes"}, {"cafile", "/ca"}, {"certfile", "/c"}},
         "certfile and keyfile go together"},
        {{{"host", "h"}, {"passwordfile", "/pw"}}, "passwordfile needs a username"},
        {{{"host", "h"}, {"topic", "a/+/b"}}, "topic 'a/+/b'"},
        {{{"host", "h"}, {"topic", "/"}}, "topic '/'"},
        {{{"host", "h"}, {"clientid", ""}}, "clientid must not be empty"},
        {{{"host", "h"}, {"discovery", "sometimes"}}, "discovery 'sometimes'"},
        {{{"host", "h"}, {"retain", "2"}}, "retain '2'"},
        {{{"host", "h"}, {"pasword", "x"}}, "unknown key 'pasword'"},
    };
    for (const Case& c : cases) {
        std::string error = parseError(c.keys);
        EXPECT_TRUE(has(error, c.named)) << "wanted '" << c.named << "', got '" << error << "'";
        EXPECT_EQ(error.rfind("MQTT configuration: ", 0), 0u) << error;
    }
}

TEST(MqttConfigFiles, PasswordFileMustBeTheOwnersAlone) {
    TempDir dir;
    dir.write("pw", "s3cret\nsecond line\n");
    MqttConfig c;
    c.username = "u";
    c.passwordFile = dir.file("pw");
    std::string error;
    chmod(c.passwordFile.c_str(), 0600);
    ASSERT_TRUE(loadMqttFiles(&c, &error)) << error;
    EXPECT_EQ(c.password, "s3cret");

    chmod(c.passwordFile.c_str(), 0400);
    EXPECT_TRUE(loadMqttFiles(&c, &error)) << error;

    chmod(c.passwordFile.c_str(), 0640);
    EXPECT_FALSE(loadMqttFiles(&c, &error));
    EXPECT_TRUE(
        has(error, "password file '" + c.passwordFile + "' may be read by others (mode 0640)"))
        << error;

    chmod(c.passwordFile.c_str(), 0604);
    EXPECT_FALSE(loadMqttFiles(&c, &error));

    c.passwordFile = dir.file("absent");
    EXPECT_FALSE(loadMqttFiles(&c, &error));
    EXPECT_TRUE(has(error, "cannot read password file")) << error;

    c.passwordFile = dir.path;
    EXPECT_FALSE(loadMqttFiles(&c, &error));
    EXPECT_TRUE(has(error, "is not a regular file")) << error;
}

TEST(MqttConfigFiles, CertificateFilesMustBeReadable) {
    TempDir dir;
    dir.write("ca.crt", "x");
    MqttConfig c;
    c.tls = true;
    c.caFile = dir.file("ca.crt");
    std::string error;
    EXPECT_TRUE(loadMqttFiles(&c, &error)) << error;
    c.certFile = dir.file("missing.crt");
    c.keyFile = dir.file("ca.crt");
    EXPECT_FALSE(loadMqttFiles(&c, &error));
    EXPECT_TRUE(has(error, "cannot read certfile '" + c.certFile + "'")) << error;
}

TEST(MqttConfigSection, AbsentSectionMeansNoMqtt) {
    TempDir dir;
    dir.write("a.conf", "[main]\nport = 4000\n[MQTT]\nhost = x\n");
    dictionary* d = iniparser_load(dir.file("a.conf").c_str());
    std::string error = "stale";
    EXPECT_EQ(readMqttSection(d, "box", &error), nullptr);
    EXPECT_EQ(error, "");
    iniparser_freedict(d);
}

TEST(MqttConfigSection, EmptySectionLacksAHost) {
    TempDir dir;
    dir.write("a.conf", "[mqtt]\n[sensors]\n/dev/ttyUSB0 = a\n");
    dictionary* d = iniparser_load(dir.file("a.conf").c_str());
    std::string error;
    EXPECT_EQ(readMqttSection(d, "box", &error), nullptr);
    EXPECT_TRUE(has(error, "needs a host")) << error;
    iniparser_freedict(d);
}

TEST(MqttConfigSection, KeysOfTheSectionAreRead) {
    TempDir dir;
    dir.write("a.conf", "[mqtt]\nhost = 10.0.0.2 ; the broker\ninterval = 5\n");
    dictionary* d = iniparser_load(dir.file("a.conf").c_str());
    std::string error;
    auto config = readMqttSection(d, "box", &error);
    ASSERT_NE(config, nullptr) << error;
    EXPECT_EQ(config->host, "10.0.0.2");
    EXPECT_EQ(config->intervalS, 5);
    iniparser_freedict(d);
}

TEST(MqttObjectIds, OtherCharactersAreMapped) {
    EXPECT_EQ(objectId("cellar"), "cellar");
    EXPECT_EQ(objectId("sensomark.com1"), "sensomark_com1");
    EXPECT_EQ(objectId("Room-2_b"), "Room-2_b");
    EXPECT_EQ(objectId("küche/1 +#"), "k__che_1___");
    EXPECT_EQ(objectId(""), "_");
    EXPECT_EQ(uniqueObjectIds({"a.b", "a_b", "a-b", "a b"}),
              (std::vector<std::string>{"a_b", "a_b_2", "a-b", "a_b_3"}));
    EXPECT_EQ(topicLevel("a/b+c#d.e"), "a_b_c_d.e");
}

TEST(MqttTopics, NamesAndQuantities) {
    EXPECT_EQ(statusTopic("sensomark/box"), "sensomark/box/status");
    EXPECT_EQ(availableTopic("sensomark/box", "cellar"), "sensomark/box/cellar/available");
    EXPECT_EQ(valueTopic("p", "sensomark.com1", QUANTITIES[2]), "p/sensomark.com1/dewpoint");
}

TEST(MqttDiscovery, PayloadHoldsEveryField) {
    DiscoveryEntity e;
    e.hostName = "box";
    e.nodeId = objectId("sensomark-box");
    e.prefix = "sensomark/box";
    e.name = "sensomark.com1";
    e.objectId = objectId(e.name);
    e.device = "/dev/ttyUSB0";
    e.quantity = &QUANTITIES[2];
    e.qos = 1;
    e.expireAfterS = expireAfterS(60);
    EXPECT_EQ(discoveryTopic(e),
              "homeassistant/sensor/sensomark-box/sensomark_com1_dewpoint/config");
    auto j = nlohmann::json::parse(discoveryPayload(e));
    EXPECT_EQ(j["name"], "sensomark.com1 Dew point");
    EXPECT_EQ(j["device_class"], "temperature");
    EXPECT_EQ(j["unit_of_measurement"], "°C");
    EXPECT_EQ(j["state_class"], "measurement");
    EXPECT_EQ(j["state_topic"], "sensomark/box/sensomark.com1/dewpoint");
    EXPECT_EQ(j["availability_mode"], "all");
    ASSERT_EQ(j["availability"].size(), 2u);
    EXPECT_EQ(j["availability"][0]["topic"], "sensomark/box/status");
    EXPECT_EQ(j["availability"][1]["topic"], "sensomark/box/sensomark.com1/available");
    EXPECT_EQ(j["payload_available"], "online");
    EXPECT_EQ(j["payload_not_available"], "offline");
    EXPECT_EQ(j["expire_after"], 90);
    EXPECT_EQ(j["qos"], 1);
    EXPECT_EQ(j["unique_id"], "sensomark_box__dev_ttyUSB0_sensomark_com1_dewpoint");
    EXPECT_EQ(j["device"]["identifiers"], nlohmann::json::array({"sensomark_box__dev_ttyUSB0"}));
    EXPECT_EQ(j["device"]["name"], "box /dev/ttyUSB0");
    EXPECT_EQ(j["device"]["model"], "sensomarkUSB");
    EXPECT_EQ(j["device"]["manufacturer"], "sensomarkUSB");

    e.quantity = &QUANTITIES[1];
    j = nlohmann::json::parse(discoveryPayload(e));
    EXPECT_EQ(j["device_class"], "humidity");
    EXPECT_EQ(j["unit_of_measurement"], "%");
}

TEST(MqttDiscovery, BytesThatAreNoUtf8DoNotThrow) {
    DiscoveryEntity e;
    e.name = "caf\xe9";
    e.objectId = objectId(e.name);
    e.quantity = &QUANTITIES[0];
    std::string payload;
    ASSERT_NO_THROW(payload = discoveryPayload(e));
    nlohmann::json parsed;
    EXPECT_NO_THROW(parsed = nlohmann::json::parse(payload));
    EXPECT_EQ(parsed["name"], "caf\xef\xbf\xbd Temperature");  // U+FFFD
}

TEST(MqttDiscovery, ExpiryOutlastsTheRepeatOfAnUnchangedValue) {
    EXPECT_EQ(expireAfterS(1), 60);
    EXPECT_EQ(expireAfterS(30), 60);
    EXPECT_EQ(expireAfterS(60), 90);
    EXPECT_EQ(expireAfterS(300), 330);
}

namespace {
// A name whose data arrived ageS seconds ago with these values.
NameSnapshot snapshot(bool open, int64_t ageS, const std::string& t, const std::string& h = "48.0",
                      const std::string& d = "10.1") {
    NameSnapshot s;
    s.open = open;
    s.readings[0] = makeReading(t, ageS);
    s.readings[1] = makeReading(h, ageS);
    s.readings[2] = makeReading(d, ageS);
    return s;
}

std::vector<std::string> texts(const std::vector<MqttMessage>& messages) {
    std::vector<std::string> out;
    for (const MqttMessage& m : messages)
        out.push_back(m.topic + " " + m.payload + (m.retain ? " (retained)" : ""));
    return out;
}
}  // namespace

TEST(MqttPlan, FirstUpdateSendsAvailabilityAndValues) {
    PublishPlan plan("p", {"a"}, 60, false);
    int64_t next = PublishPlan::NEVER;
    auto sent = texts(plan.update({snapshot(true, 0, "21.5")}, 100000, &next));
    EXPECT_EQ(sent,
              (std::vector<std::string>{"p/a/available online (retained)", "p/a/temperature 21.5",
                                        "p/a/humidity 48.0", "p/a/dewpoint 10.1"}));
    // Next due: the data turns stale at second 100 + 31.
    EXPECT_EQ(next, 131000);
}

TEST(MqttPlan, ChangesGoOutAtMostOnceASecondAndUnchangedOncePerInterval) {
    PublishPlan plan("p", {"a"}, 60, true);
    int64_t next = PublishPlan::NEVER;
    plan.update({snapshot(true, 0, "21.5")}, 100000, &next);

    next = PublishPlan::NEVER;
    EXPECT_TRUE(plan.update({snapshot(true, 0, "21.6")}, 100400, &next).empty());
    EXPECT_EQ(next, 101000);  // held back until a second after the last change
    next = PublishPlan::NEVER;
    EXPECT_EQ(texts(plan.update({snapshot(true, 1, "21.6")}, 101000, &next)),
              (std::vector<std::string>{"p/a/temperature 21.6 (retained)"}));

    // Unchanged: nothing until the interval has passed since each value went out.
    next = PublishPlan::NEVER;
    EXPECT_TRUE(plan.update({snapshot(true, 0, "21.6")}, 130000, &next).empty());
    EXPECT_EQ(next, 160000);
    next = PublishPlan::NEVER;
    EXPECT_EQ(
        texts(plan.update({snapshot(true, 0, "21.6")}, 160000, &next)),
        (std::vector<std::string>{"p/a/humidity 48.0 (retained)", "p/a/dewpoint 10.1 (retained)"}));
}

TEST(MqttPlan, StaleOrClosedMeansOfflineAndNoValues) {
    PublishPlan plan("p", {"a", "b"}, 60, false);
    int64_t next = PublishPlan::NEVER;
    plan.update({snapshot(true, 0, "21.5"), snapshot(true, 0, "19")}, 100000, &next);

    next = PublishPlan::NEVER;
    auto sent =
        texts(plan.update({snapshot(true, 31, "21.5"), snapshot(false, 1, "19")}, 131000, &next));
    EXPECT_EQ(sent, (std::vector<std::string>{"p/a/available offline (retained)",
                                              "p/b/available offline (retained)"}));
    // Nothing is due for a until a line comes; b's unchanged values repeat at
    // 160 s, before its data turns stale at 161 s.
    EXPECT_EQ(next, 160000);
}

TEST(MqttPlan, NothingIsDueWhenNoDataIsFresh) {
    PublishPlan plan("p", {"a"}, 60, false);
    int64_t next = PublishPlan::NEVER;
    auto sent = texts(plan.update({snapshot(true, -1, "")}, 5000, &next));
    EXPECT_EQ(sent, (std::vector<std::string>{"p/a/available offline (retained)"}));
    EXPECT_EQ(next, PublishPlan::NEVER);
    next = PublishPlan::NEVER;
    EXPECT_TRUE(plan.update({snapshot(true, 40, "21.5")}, 50000, &next).empty());
    EXPECT_EQ(next, PublishPlan::NEVER);
}

TEST(MqttPlan, ResetSendsEverythingAgainAndOfflineCoversEveryName) {
    PublishPlan plan("p", {"a", "b"}, 60, false);
    int64_t next = PublishPlan::NEVER;
    auto first = plan.update({snapshot(true, 0, "1"), snapshot(true, 0, "2")}, 1000, &next);
    plan.reset();
    EXPECT_EQ(texts(plan.update({snapshot(true, 0, "1"), snapshot(true, 0, "2")}, 1200, &next)),
              texts(first));
    EXPECT_EQ(texts(plan.offline()),
              (std::vector<std::string>{"p/a/available offline (retained)",
                                        "p/b/available offline (retained)"}));
}
