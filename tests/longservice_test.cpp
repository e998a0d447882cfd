// Years of service on a small board: times after 19 January 2038, when a 32-bit
// time_t runs out, and counters past 2^32, where a 32-bit long wraps. Both only
// fail on a 32-bit build (armhf), which runs them under emulation.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <type_traits>

#include "connectionmanager.h"
#include "exposition.h"
#include "history.h"
#include "sample.h"
#include "sensor.h"
#include "sensormanager.h"

static_assert(sizeof(time_t) == 8, "32-bit builds need -D_TIME_BITS=64");
static_assert(sizeof(off_t) == 8, "32-bit builds need -D_FILE_OFFSET_BITS=64");
// The counters of the exposition and the status page.
static_assert(std::is_same_v<decltype(SensorSnapshot::lines), uint64_t>);
static_assert(std::is_same_v<decltype(SensorSnapshot::reconnects), uint64_t>);
static_assert(std::is_same_v<decltype(SensorSnapshot::ignoredFields), uint64_t>);

namespace {
// Sun 2040-01-01 00:00:00 UTC, past the signed 32-bit limit (2^31 - 1 is
// 2038-01-19 03:14:07); the clock (Sensor::clockNow()) reads CLOCK_AT then,
// itself past 2^32 seconds.
const int64_t WALL_AT = 2208988800, CLOCK_AT = (int64_t{1} << 32) + 5000;
}  // namespace

TEST(After2038, AgesHistoryKeysAndTheWallClockHold) {
    Sensor sensor(nullptr, "/dev/ttyUSB0");
    sensor.storeLine("temperature=21.5", CLOCK_AT - 7);
    EXPECT_EQ(sensor.getReadingAt(TEMPERATURE, CLOCK_AT), "valid=1;value=21.5;");
    EXPECT_EQ(sensor.snapshot(CLOCK_AT).ageS, 7);
    EXPECT_EQ(sensor.getReadingAt(TEMPERATURE, CLOCK_AT + 60), "valid=0");

    // History keys are UTC minutes of the wall clock, stepped past 2038 by its seam.
    History::setWallOffset(WALL_AT - static_cast<int64_t>(time(nullptr)));
    int64_t minute = History::utcMinuteOf(History::wallNow());
    History::setWallOffset(0);
    EXPECT_GE(minute, WALL_AT / 60);
    EXPECT_LT(minute, WALL_AT / 60 + 5);
    SensorHistory ring;
    ring.add(minute - 1, HUMIDITY, 48.5);
    ring.add(minute, TEMPERATURE, 21.5);
    ring.add(minute - 24 * 60, TEMPERATURE, 99);  // a day old: out of the day's range
    HistorySeries day = ring.series(HistoryRange::DAY, minute);
    ASSERT_EQ(day.buckets[0].size(), 1440u);
    EXPECT_EQ(day.firstMinute + 1439, minute);
    EXPECT_EQ(day.buckets[0][1439].count, 1u);
    EXPECT_EQ(day.buckets[0][1439].mean(), 21.5);
    EXPECT_EQ(day.buckets[1][1438].mean(), 48.5);
    EXPECT_EQ(ring.newestMinute(), minute);
}

TEST(Counters, RequestsPastTwoToTheThirtyTwoReachTheExpositionWhole) {
    SensorManager sensors;
    ConnectionManager connections{&sensors};
    connections.countRequest(UINT32_MAX);  // years of queries at thousands a second
    connections.countRequest();
    connections.countRequest();
    EXPECT_EQ(connections.requestCount(), (uint64_t{1} << 32) + 1);
    ServiceCounters service{[] { return 0; }, [&] { return connections.requestCount(); }};
    EXPECT_NE(exposition({}, service).find("\nsensomark_requests_total 4294967297\n"),
              std::string::npos);
}
