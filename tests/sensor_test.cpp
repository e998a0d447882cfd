// The device line protocol, readings aged on the sensor clock, query names and
// replies as the registry answers them, and a reader thread on a real
// pseudo-terminal (its reconnect pause is in serial_test).
#include "sensor.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "prometheus.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "testutil.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;
const int64_t T = 1000000;

std::string reply(Sensor& sensor, int type, int64_t now) {
    return sensor.getReadingAt(static_cast<ReadType>(type), now);
}
// Two sensors of one path; a name given twice answers with the later one.
struct Registry {
    explicit Registry(int64_t age) {
        Sensor* a = manager.newSensor("/dev/ttyUSB0");
        Sensor* b = manager.newSensor("/dev/ttyUSB0");
        for (const char* name : {"sensomark.com1", "a.b.c", "cellar"}) manager.nameSensor(a, name);
        for (const char* name : {"sensomark", "", "cellar"}) manager.nameSensor(b, name);
        a->storeLine("temperature=21.5 humidity=48.3 dewpoint=10.1", Sensor::clockNow() - age);
        b->storeLine("humidity=66", Sensor::clockNow() - age);
    }
    SensorManager manager;
};
}  // namespace

TEST(DeviceLine, ParsesPairsAsTheProtocolDefines) {
    struct Case {
        std::string line;
        Pairs pairs;
    } cases[] = {
        {"temperature=21.5 humidity=48.3% dewpoint=-1.0 status=ok",
         {{"temperature", "21.5"}, {"humidity", "48.3"}, {"dewpoint", "-1.0"}, {"status", ""}}},
        {"temperature=21.5C", {{"temperature", "21.5"}}},
        {"temperature=-.5x humidity=+4 dewpoint=- a=-- b=-x",
         {{"temperature", "-.5"}, {"humidity", ""}, {"dewpoint", ""}, {"a", ""}, {"b", ""}}},
        {"humidity=abc", {{"humidity", ""}}},
        {"temperature==21.5", {{"temperature", "21.5"}}},
        {"a=b=c =5 temperature= temperature", {}},
        {"temperature = 21.5", {}},
        {"temperature=21.5\thumidity=40", {}},
        {"  temperature=1   temperature=2  ", {{"temperature", "1"}, {"temperature", "2"}}},
        {"temperature=1.2.3x", {{"temperature", "1.2.3"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(parseLine(c.line), c.pairs) << c.line;
    size_t ignored = 0;
    parseLine("  a=1 b c=2=3 d=4 ", &ignored);
    EXPECT_EQ(ignored, 2u);
}

TEST(SensorReading, FreshThroughThirtySecondsNeverBeforeDataNorAtANegativeAge) {
    Sensor sensor(nullptr, "/dev/null");
    for (int64_t now : {int64_t(0), int64_t(30), T}) {
        EXPECT_EQ(reply(sensor, TEMPERATURE, now), "valid=0") << now;
        EXPECT_EQ(sensor.snapshot(now).ageS, -1) << now;
    }
    EXPECT_EQ(sensor.storeLine("temperature=21.5", T), 0u);
    struct Case {
        int64_t now;
        bool fresh;
    } cases[] = {{T, true}, {T + 30, true}, {T + 31, false}, {T + 1000, false}, {T - 5, false}};
    for (const Case& c : cases) {
        SensorSnapshot s = sensor.snapshot(c.now);
        EXPECT_EQ(s.fresh && s.served(TEMPERATURE - 1), c.fresh) << c.now - T;
        EXPECT_EQ(s.ageS, c.now - T);
        EXPECT_EQ(reply(sensor, TEMPERATURE, c.now), c.fresh ? "valid=1;value=21.5;" : "valid=0")
            << c.now - T;
    }
    for (int outside : {0, 4, -1, 1 << 30}) EXPECT_EQ(reply(sensor, outside, T), "valid=0");
    // Ages count on the boot clock: a wall clock set back or forward changes nothing.
    timespec boot;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    EXPECT_NEAR(Sensor::clockNow(), boot.tv_sec, 1);
}

TEST(SensorReading, LaterPairWinsAnyPairRefreshesTheTimeAndNewKeysAreBounded) {
    Sensor sensor(nullptr, "/dev/null");
    sensor.storeLine("temperature=1 temperature=2 dewpoint=-4 humidity=....", T);
    EXPECT_EQ(reply(sensor, TEMPERATURE, T), "valid=1;value=2;");
    EXPECT_EQ(reply(sensor, DEWPOINT, T), "valid=1;value=-4;");
    EXPECT_EQ(reply(sensor, HUMIDITY, T), "valid=1;value=....;");  // fresh text, but no number
    EXPECT_FALSE(sensor.snapshot(T).served(HUMIDITY - 1));
    sensor.storeLine("status=7", T + 25);
    EXPECT_EQ(reply(sensor, TEMPERATURE, T + 50), "valid=1;value=2;");
    EXPECT_EQ(sensor.storeLine("no pairs here", T + 60), 3u);
    EXPECT_EQ(reply(sensor, TEMPERATURE, T + 60), "valid=0");
    Sensor quiet(nullptr, "/dev/null");
    quiet.storeLine("temperature=20", T);
    EXPECT_EQ(reply(quiet, HUMIDITY, T), "valid=1;value=;");  // never sent
    // New keys beyond the bound are ignored while known ones update.
    Sensor keys(nullptr, "/dev/null");
    for (size_t i = 0; i < Sensor::MAX_EXTRA_KEYS; ++i)
        ASSERT_EQ(keys.storeLine("k" + std::to_string(i) + "=1", T), 0u) << i;
    EXPECT_EQ(keys.storeLine("k0=2 beyond=3 temperature=20.5 junk", T + 1), 2u);
    EXPECT_EQ(keys.storeLine("beyond=4", T + 2), 1u);  // it was not kept the first time
    std::string last = "k" + std::to_string(Sensor::MAX_EXTRA_KEYS - 1);
    EXPECT_EQ(keys.storeLine(last + "=5 humidity=40", T + 3), 0u);
    EXPECT_EQ(reply(keys, TEMPERATURE, T + 3), "valid=1;value=20.5;");
    EXPECT_EQ(reply(keys, HUMIDITY, T + 3), "valid=1;value=40;");
}

TEST(QueryResolution, EveryQueryFormAndNameWithFreshAndStaleData) {
    struct Case {
        std::string query, fresh;
    } cases[] = {
        {"", ""},
        {"sensomark", ""},
        {"sensomark.com1", "valid=0"},  // "sensomark", selector "com1"
        {"a.b.c.2", "valid=1;value=48.3;"},
        {"a.b.2", ""},
        {".2", "valid=1;value=66;"},
        {"cellar.2", "valid=1;value=66;"},
        {"sensomark.com1.1", "valid=1;value=21.5;"},
        {"sensomark.com1.2", "valid=1;value=48.3;"},
        {"sensomark.com1.3", "valid=1;value=10.1;"},
        {"sensomark.com1.0", "valid=0"},
        {"sensomark.com1.4", "valid=0"},
        {"sensomark.com1.0x1", "valid=0"},  // decimal only, not hexadecimal
        {"sensomark.com1.1.1", ""},
        {"SENSOMARK.COM1.1", ""},
        {"sensomark.com2.1", ""},
        {"sensomark.com1.4294967297", "valid=0"},  // saturates, never wraps to 1
        {std::string("sensomark.com1\0.1", 17), ""},
    };
    Registry fresh(0), stale(60);
    EXPECT_EQ(fresh.manager.sensorCount(), 2);
    for (const Case& c : cases) {
        EXPECT_EQ(fresh.manager.getReading(c.query), c.fresh) << "fresh: " << c.query;
        std::string staleReply = c.fresh.empty() ? "" : "valid=0";
        EXPECT_EQ(stale.manager.getReading(c.query), staleReply) << "stale: " << c.query;
    }
}

TEST(Reply, EveryReadingReadsBackAsItsKind) {
    struct Case {
        std::string value;
        int64_t age;
        std::string text;
        ReplyKind kind;
    } cases[] = {
        {"21.", 1, "valid=1;value=21.;", ReplyKind::VALUE},
        {"....", 5, "valid=1;value=....;", ReplyKind::NO_VALUE},
        {"1.2.3", 5, "valid=1;value=1.2.3;", ReplyKind::NO_VALUE},
        {"21.5", -1, "valid=0", ReplyKind::STALE},
    };
    for (const Case& c : cases) {
        Measurement m = measurementOf(c.value);
        EXPECT_EQ(m.hasNumber, c.kind != ReplyKind::NO_VALUE) << c.text;
        EXPECT_EQ(formatReply(isFresh(c.age), m.text), c.text);
        Reply reply;
        ASSERT_TRUE(parseReply(c.text, &reply)) << c.text;
        EXPECT_EQ(reply.kind, c.kind) << c.text;
        EXPECT_EQ(reply.value, c.kind == ReplyKind::VALUE ? m.number : 0) << c.text;
    }
    Reply reply;
    EXPECT_TRUE(parseReply(UNKNOWN_NAME_REPLY, &reply));
    EXPECT_EQ(reply.kind, ReplyKind::UNKNOWN_NAME);
    for (const char* line : {"valid=0;", "valid=1;value=2e3;", "valid=1;value=1;x"})
        EXPECT_FALSE(parseReply(line, &reply)) << line;
}

TEST(DeviceValue, ANumberBeyondTheFloatRangeIsRepliedAsSentAndCountedButServedAsNone) {
    const std::string floatMax = "340282346638528859811704183484516925440";
    // Beyond: halfway to the next float, which a float rounds up to infinity.
    for (auto [text, number] : {std::pair{floatMax, true},
                                {"-" + floatMax + ".0", true},
                                {"340282356779733661637539395458142568448", false},
                                {"-1" + std::string(40, '0'), false},
                                {std::string(400, '9'), false}}) {
        Sensor sensor(nullptr, "/dev/null");
        sensor.storeLine("temperature=" + text + " humidity=40", T);
        EXPECT_EQ(reply(sensor, TEMPERATURE, T), "valid=1;value=" + text + ";");
        SensorSnapshot s = sensor.snapshot(T);
        EXPECT_EQ(s.served(TEMPERATURE - 1), number) << text;
        EXPECT_EQ(s.refused[static_cast<int>(Refusal::RANGE)], number ? 0u : 1u) << text;
    }
}

// Leaves the shutdown event set: each test runs in a process of its own.
TEST(SensorReader, ReadsSplitLinesFromAPtyAndLeavesOnShutdown) {
    ASSERT_TRUE(initShutdownEvent());  // the reader then waits on the event alone
    Pty pty;
    auto* registry = new SensorManager;
    Sensor* sensor = registry->newSensor(pty.slavePath);
    registry->nameSensor(sensor, "probe");
    // Listeners hear each line's own quantities, parsed, on the reader thread.
    std::mutex heardMutex;
    std::vector<std::string> heard;
    std::atomic<int> deviceChanges{0};
    sensor->addLineListener([&](const SensorSnapshot& s, int64_t) {
        std::string line;
        for (const Quantity& q : QUANTITIES)
            if (s.carried[q.type - 1])
                line += std::string(q.key) + "=" + formatNumber(s.values[q.type - 1].number) + " ";
        std::lock_guard<std::mutex> lock(heardMutex);
        heard.push_back(line);
    });
    registry->setDeviceListener([&] { ++deviceChanges; });
    registry->createThreads();
    // A CR at the end of one write and the LF at the start of the next.
    pty.write("tempera");
    pty.write("ture=21.5 humidity=40\r");
    pty.write("\ndewpoint=7.5\n");
    EXPECT_TRUE(
        eventually([&] { return registry->getReading("probe.3") == "valid=1;value=7.5;"; }));
    EXPECT_EQ(registry->getReading("probe.1"), "valid=1;value=21.5;");
    EXPECT_EQ(registry->getReading("probe.2"), "valid=1;value=40;");
    std::vector<SensorSnapshot> all = registry->snapshots(Sensor::clockNow());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].open && all[0].lines == 2u);
    EXPECT_EQ(deviceChanges.load(), 1);  // opened
    {
        std::lock_guard<std::mutex> lock(heardMutex);
        EXPECT_EQ(heard,
                  (std::vector<std::string>{"temperature=21.5 humidity=40 ", "dewpoint=7.5 "}));
    }
    EXPECT_TRUE(registry->stopReaders());  // the reader leaves on the shutdown event
    delete registry;
    shouldShutdown.store(0);
}
