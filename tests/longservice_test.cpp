// Years of service on a small board: times after 19 January 2038, when a 32-bit
// time_t runs out, and counters past 2^32, where a 32-bit long wraps. Both only
// fail on a 32-bit build (armhf), which runs them under emulation.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>

#include "connectionmanager.h"
#include "history.h"
#include "jsonview.h"
#include "sensor.h"
#include "sensormanager.h"
#include "statuspage.h"
#include "webport.h"

using nlohmann::json;

static_assert(sizeof(time_t) == 8, "32-bit builds need -D_TIME_BITS=64");
static_assert(sizeof(off_t) == 8, "32-bit builds need -D_FILE_OFFSET_BITS=64");
// The counters of the exposition and the status page.
static_assert(std::is_same_v<decltype(std::declval<Sensor&>().lineCount()), uint64_t>);
static_assert(std::is_same_v<decltype(std::declval<Sensor&>().reconnectCount()), uint64_t>);
static_assert(std::is_same_v<decltype(std::declval<Sensor&>().ignoredFieldCount()), uint64_t>);
static_assert(std::is_same_v<decltype(DeviceView::reconnects), uint64_t>);

namespace {
// Sun 2040-01-01 00:00:00 UTC, past the signed 32-bit limit (2^31 - 1 is
// 2038-01-19 03:14:07); the clock (Sensor::clockNow()) reads CLOCK_AT then,
// itself past 2^32 seconds.
const int64_t WALL_AT = 2208988800, CLOCK_AT = (int64_t{1} << 32) + 5000;
}  // namespace

TEST(After2038, AgesHistoryKeysWallTimesAndTheTimeAxisHold) {
    Sensor sensor(nullptr, "/dev/ttyUSB0");
    sensor.storeLine("temperature=21.5", CLOCK_AT - 7);
    Reading reading = sensor.getReadingAt(TEMPERATURE, CLOCK_AT);
    EXPECT_TRUE(reading.fresh && reading.hasNumber);
    EXPECT_EQ(reading.ageS, 7);
    EXPECT_FALSE(sensor.getReadingAt(TEMPERATURE, CLOCK_AT + 60).fresh);

    History history(WALL_AT - CLOCK_AT);
    int64_t minute = history.minuteOf(CLOCK_AT);
    EXPECT_EQ(history.wallTimeOf(minute, CLOCK_AT, WALL_AT), WALL_AT);
    SensorHistory ring;
    ring.add(minute - 1, HUMIDITY, 48.5);
    ring.add(minute, TEMPERATURE, 21.5);
    ring.add(minute - SensorHistory::MINUTES, TEMPERATURE, 99);  // a day old: dropped
    DeviceView device;
    device.device = "/dev/ttyUSB0";
    device.readings[0] = reading;
    json doc = json::parse(
        historyJson("cellar", device, ring.window(minute), history, CLOCK_AT + 30, WALL_AT + 30));
    EXPECT_EQ(doc["time"], WALL_AT + 30);
    EXPECT_EQ(doc["buckets"]["temperature"],
              json::parse(R"([{"time":2208988800,"min":21.5,"mean":21.5,"max":21.5,"count":1}])"));
    EXPECT_EQ(doc["buckets"]["humidity"][0]["time"], WALL_AT - 60);

    device.names = {"cellar"};
    doc = json::parse(readingsJson({device}, WALL_AT));
    EXPECT_EQ(doc["time"], WALL_AT);
    EXPECT_EQ(doc["sensors"]["cellar"]["readings"]["temperature"]["age"], 7);

    // The time axis reads the wall clock through localtime: 2040 starts on a Sunday.
    setenv("TZ", "UTC", 1);
    tzset();
    std::vector<TimeTick> ticks = timeTicks(history, minute, CLOCK_AT, WALL_AT);
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(std::tie(ticks.back().index, ticks.back().label, ticks.back().major),
              std::tuple(SensorHistory::MINUTES - 1, "Sun", true));
    unsetenv("TZ");
    tzset();
}

TEST(Counters, RequestsPastTwoToTheThirtyTwoReachTheExpositionWhole) {
    SensorManager sensors;
    ConnectionManager connections{&sensors};
    WebPort metrics{&sensors, &connections};
    connections.countRequest(UINT32_MAX);  // years of queries at thousands a second
    connections.countRequest();
    connections.countRequest();
    EXPECT_EQ(connections.requestCount(), (uint64_t{1} << 32) + 1);
    EXPECT_NE(metrics.render(CLOCK_AT).find("\nsensomark_requests_total 4294967297\n"),
              std::string::npos);
}
