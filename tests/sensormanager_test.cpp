// Query name resolution and naming in the sensor registry.
#include "sensormanager.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {
struct Registry {
    Registry() {
        sensor = manager.newSensor("/dev/ttyUSB0");
        manager.nameSensor(sensor, "sensomark.com1");
    }
    void fresh() {
        sensor->storeLine("temperature=21.5 humidity=48.3 dewpoint=10.1", time(nullptr));
    }
    void stale() {
        sensor->storeLine("temperature=21.5 humidity=48.3 dewpoint=10.1", time(nullptr) - 60);
    }
    SensorManager manager;
    Sensor* sensor;
};
}  // namespace

TEST(QueryResolution, EveryQueryFormWithFreshAndStaleData) {
    struct Case {
        std::string query, fresh;
    } cases[] = {
        {"", ""},
        {"sensomark", ""},
        {"sensomark.com1", ""},
        {"sensomark.com1.1", "valid=1;value=21.5;"},
        {"sensomark.com1.2", "valid=1;value=48.3;"},
        {"sensomark.com1.3", "valid=1;value=10.1;"},
        {"sensomark.com1.02", "valid=1;value=48.3;"},
        {"sensomark.com1.+3", "valid=1;value=10.1;"},
        {"sensomark.com1.1xyz", "valid=1;value=21.5;"},
        {"sensomark.com1. 1", "valid=1;value=21.5;"},
        {"sensomark.com1.\t1", "valid=1;value=21.5;"},
        {"sensomark.com1.0", "valid=0"},
        {"sensomark.com1.4", "valid=0"},
        {"sensomark.com1.-1", "valid=0"},
        {"sensomark.com1.", "valid=0"},
        {"sensomark.com1.temperature", "valid=0"},
        {"sensomark.com1.1.1", ""},
        {"SENSOMARK.COM1.1", ""},
        {"sensomark.com2.1", ""},
        {".1", ""},
        // Selectors far beyond any integer type saturate and never wrap to 1..3.
        {"sensomark.com1.4294967297", "valid=0"},
        {"sensomark.com1.18446744073709551617", "valid=0"},
        {"sensomark.com1.-4294967295", "valid=0"},
        {"sensomark.com1.0000000000000000000000001", "valid=1;value=21.5;"},
        {std::string("sensomark.com1\0.1", 17), ""},
    };
    Registry fresh;
    fresh.fresh();
    Registry stale;
    stale.stale();
    for (const Case& c : cases) {
        EXPECT_EQ(fresh.manager.getReading(c.query), c.fresh) << "fresh: " << c.query;
        std::string staleReply = c.fresh.empty() ? "" : "valid=0";
        EXPECT_EQ(stale.manager.getReading(c.query), staleReply) << "stale: " << c.query;
    }
}

TEST(QueryResolution, NamesWithFullStopsAndSeveralNames) {
    SensorManager manager;
    Sensor* a = manager.newSensor("/dev/a");
    Sensor* b = manager.newSensor("/dev/a");  // the same path twice gives two sensors
    manager.nameSensor(a, "a.b.c");
    manager.nameSensor(a, "cellar");
    manager.nameSensor(b, "sensomark");
    manager.nameSensor(b, "");
    EXPECT_EQ(manager.sensorCount(), 2);
    a->storeLine("humidity=55", time(nullptr));
    b->storeLine("humidity=66", time(nullptr));
    EXPECT_EQ(manager.getReading("a.b.c.2"), "valid=1;value=55;");
    EXPECT_EQ(manager.getReading("cellar.2"), "valid=1;value=55;");
    EXPECT_EQ(manager.getReading("a.b.2"), "");
    EXPECT_EQ(manager.getReading("sensomark.com1"), "valid=0");
    EXPECT_EQ(manager.getReading(".2"), "valid=1;value=66;");
    // A name given twice answers with the later sensor.
    manager.nameSensor(b, "cellar");
    EXPECT_EQ(manager.getReading("cellar.2"), "valid=1;value=66;");
}

TEST(QueryResolution, SelectorSaturatesLikeStrtol) {
    EXPECT_EQ(SensorManager::parseSelector(""), 0);
    EXPECT_EQ(SensorManager::parseSelector("  +2x"), 2);
    EXPECT_EQ(SensorManager::parseSelector("99999999999999999999"), 2147483647);
    EXPECT_EQ(SensorManager::parseSelector("-99999999999999999999"), -2147483647 - 1);
}
