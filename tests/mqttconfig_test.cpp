// MQTT publishing without a broker: the [mqtt] keys and their errors, object
// ids, topic text, discovery payloads, the publishing schedule and the outbox.
#include "mqttconfig.h"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "mqttdiscovery.h"
#include "mqttplan.h"
#include "testutil.h"

TEST(MqttConfig, DefaultsFollowTheHostName) {
    MqttConfig c;
    std::string error;
    ASSERT_TRUE(parseMqttConfig({{"host", "broker.lan"}}, "box", &c, &error)) << error;
    EXPECT_EQ(c.port, 1883);
    EXPECT_FALSE(c.tls);
    EXPECT_EQ(c.clientId, "sensomark-box");
    EXPECT_EQ(c.prefix, "sensomark/box");
    EXPECT_EQ(c.qos, 1);
    EXPECT_EQ(c.intervalS, 60);
    EXPECT_TRUE(c.discovery);
    EXPECT_FALSE(c.retain);
    ASSERT_TRUE(
        parseMqttConfig({{"host", "h"}, {"tls", "YES"}, {"cafile", "/ca"}}, "b", &c, &error));
    EXPECT_EQ(c.port, 8883);
}

TEST(MqttConfig, EveryKeyIsRead) {
    MqttConfig c;
    std::string error;
    ASSERT_TRUE(parseMqttConfig({{"host", "h"},
                                 {"port", "1999"},
                                 {"tls", "on"},
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
                                 {"retain", "true"}},
                                "box", &c, &error))
        << error;
    EXPECT_EQ(
        std::tie(c.host, c.port, c.tls, c.caFile, c.certFile, c.keyFile, c.username, c.passwordFile,
                 c.clientId, c.prefix, c.qos, c.intervalS, c.discovery, c.retain),
        std::make_tuple("h", 1999, true, "/ca", "/cert", "/key", "u", "/pw", "c", "site/board7", 0,
                        15, false, true));
}

namespace {
// The daemon with sensors and section ends with code 4 and line as its one MQTT line.
void expectConfigError(const TempDir& dir, const std::string& sensors, const std::string& section,
                       const std::string& line) {
    dir.write("sensomarkUSB.conf",
              configText(freePort(), "[sensors]\n" + sensors + "\n[mqtt]\n" + section + "\n"));
    Process daemon({SENSOMARK_BIN}, dir.path);
    EXPECT_EQ(daemon.wait(), 4) << section;
    std::vector<std::string> lines = logLines(daemon.output());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "MQTT configuration: " + line), 1)
        << daemon.output();
    EXPECT_EQ(daemon.count("MQTT"), 1) << daemon.output();
}
}  // namespace

TEST(MqttConfig, EachErrorEndsTheDaemonWithCode4AndOneCriticalLine) {
    TempDir dir;
    for (auto [name, mode] : {std::pair{"0640", 0640}, {"0604", 0604}, {"ok", 0600}}) {
        dir.write(name, "secret\n");
        chmod(dir.file(name).c_str(), mode);
    }
    dir.write("large", "secret\n" + std::string(MAX_PASSWORD_FILE_BYTES, 'x'));
    chmod(dir.file("large").c_str(), 0600);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);  // no writer: an open would wait
    std::string pw = "host = h\nusername = u\npasswordfile = ", tls = "host = h\ntls = yes\n";
    std::pair<std::string, std::string> cases[] = {
        {"port = 1883", "section [mqtt] needs a host"},
        {"host = \"\"", "section [mqtt] needs a host"},
        {"host = h\nqos = 2", "qos '2' must be 0 or 1"},
        {"host = h\nqos = one", "qos 'one' must be 0 or 1"},
        {"host = h\nport = 0", "port '0' is not a port number"},
        {"host = h\nport = 65536", "port '65536' is not a port number"},
        {"host = h\nport = 18 83", "port '18 83' is not a port number"},
        {"host = h\ninterval = 0", "interval '0' must be whole seconds from 1 to 86400"},
        {"host = h\ninterval = -5", "interval '-5' must be whole seconds from 1 to 86400"},
        {"host = h\ntls = maybe", "tls 'maybe' is neither yes nor no"},
        {tls, "tls needs a cafile to verify the broker's certificate"},
        {"host = h\ncafile = /ca", "cafile, certfile and keyfile need tls = yes"},
        {tls + "cafile = /ca\ncertfile = /c", "certfile and keyfile go together"},
        {"host = h\npasswordfile = /pw", "passwordfile needs a username"},
        {"host = h\ntopic = a/+/b", "topic 'a/+/b' must be a topic prefix without + or #"},
        {"host = h\ntopic = /", "topic '/' must be a topic prefix without + or #"},
        {"host = h\nclientid = \"\"", "clientid must not be empty"},
        {"host = h\ndiscovery = sometimes", "discovery 'sometimes' is neither yes nor no"},
        {"host = h\nretain = 2", "retain '2' is neither yes nor no"},
        {"host = h\nintervall = 5", "unknown key 'intervall' in section [mqtt]"},
        {pw + dir.file("0640"),
         "password file '" + dir.file("0640") +
             "' may be read by others (mode 0640); allow its owner only (chmod 600)"},
        {pw + dir.file("0604"),
         "password file '" + dir.file("0604") +
             "' may be read by others (mode 0604); allow its owner only (chmod 600)"},
        {pw + dir.file("absent"),
         "cannot read password file '" + dir.file("absent") + "': No such file or directory"},
        {pw + dir.path, "password file '" + dir.path + "' is not a regular file"},
        {pw + dir.file("fifo"), "password file '" + dir.file("fifo") + "' is not a regular file"},
        {pw + dir.file("large"), "password file '" + dir.file("large") + "' is larger than 64 KiB"},
        {tls + "cafile = " + dir.file("fifo"),
         "cafile '" + dir.file("fifo") + "' is not a regular file"},
        {"host = h\ntopic = caf\xe9",
         "topic 'caf\\xe9' cannot be a topic prefix: \\xe9 is not valid UTF-8"},
        {tls + "cafile = " + dir.file("ok") + "\ncertfile = /absent\nkeyfile = " + dir.file("ok"),
         "cannot read certfile '/absent': No such file or directory"},
    };
    for (const auto& [section, line] : cases)
        expectConfigError(dir, "/nonexistent/tty = x", section, line);
}

TEST(MqttConfig, NamesWithoutTopicsOfTheirOwnEndTheDaemonWithCode4) {
    TempDir dir;
    std::pair<std::string, std::string> cases[] = {
        {"/dev/a = x/y x+y", "sensor names 'x+y' and 'x/y' both become the topic level 'x_y'"},
        {"/dev/a = \"a#b\"\n/dev/b = a_b",
         "sensor names 'a#b' and 'a_b' both become the topic level 'a_b'"},
        {"/dev/a = ok caf\xe9",
         "sensor name 'caf\\xe9' of '/dev/a' cannot be part of a topic: \\xe9 is not valid UTF-8"},
        {"/dev/a = k\xc3\xbc\x01",
         "sensor name 'k\xc3\xbc\\x01' of '/dev/a' cannot be part of a topic: \\x01 is a control "
         "character"},
    };
    for (const auto& [sensors, line] : cases)
        expectConfigError(dir, sensors, "host = 127.0.0.1", line);
}

TEST(MqttConfig, WithoutTheSectionThereIsNoMqtt) {
    TempDir dir;
    int metricsPort = freePort();
    auto daemon = startDaemon(
        dir, configText(freePort(), "metricsport = " + std::to_string(metricsPort) +
                                        "\n[sensors]\n/nonexistent/tty = x\n[MQTT]\nhost = h\n"));
    Client client(metricsPort);
    client.send("GET /metrics HTTP/1.0\r\n\r\n");
    client.closedByPeer();
    EXPECT_NE(client.pending.find("sensomark_requests_total"), std::string::npos) << client.pending;
    EXPECT_EQ(client.pending.find("sensomark_mqtt"), std::string::npos) << client.pending;
    EXPECT_EQ(daemon->count("MQTT"), 0) << daemon->output();
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
