// The history ring, without a daemon.
#include "history.h"

#include <gtest/gtest.h>

#include "sensor.h"

namespace {
// Tue 2024-03-05 22:00:00 UTC; the clock (Sensor::clockNow()) reads CLOCK_AT then.
const int64_t WALL_AT = 1709676000;
const int64_t CLOCK_AT = 5000;
const int64_t OFFSET = WALL_AT - CLOCK_AT;
}  // namespace

TEST(HistoryRing, KeepsMinMeanMaxAndCountPerMinuteAndRollsOverToTheNext) {
    History history(OFFSET);
    SensorHistory ring;
    int64_t minute = history.minuteOf(CLOCK_AT);
    EXPECT_EQ(minute * 60, WALL_AT);  // buckets begin on the wall clock's minutes
    EXPECT_EQ(history.minuteOf(CLOCK_AT + 59), minute);
    EXPECT_EQ(history.minuteOf(CLOCK_AT + 60), minute + 1);

    for (double v : {21.0, 23.0, 22.0}) ring.add(minute, TEMPERATURE, v);
    ring.add(minute, HUMIDITY, 48.5);
    ring.add(minute + 1, TEMPERATURE, -1.5);

    HistoryWindow w = ring.window(minute + 1);
    ASSERT_EQ(w.buckets[0].size(), 1440u);
    const HistoryBucket& first = w.buckets[TEMPERATURE - 1][1438];
    EXPECT_EQ(first.count, 3u);
    EXPECT_FLOAT_EQ(first.min, 21.0f);
    EXPECT_FLOAT_EQ(first.max, 23.0f);
    EXPECT_DOUBLE_EQ(first.mean(), 22.0);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1438].count, 1u);
    EXPECT_EQ(w.buckets[DEWPOINT - 1][1438].count, 0u);  // never sent: a gap
    const HistoryBucket& second = w.buckets[TEMPERATURE - 1][1439];
    EXPECT_EQ(second.count, 1u);
    EXPECT_FLOAT_EQ(second.min, -1.5f);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);

    // Seen from a minute later, everything moves one bucket to the left.
    HistoryWindow later = ring.window(minute + 2);
    EXPECT_EQ(later.buckets[TEMPERATURE - 1][1437].count, 3u);
    EXPECT_EQ(later.buckets[TEMPERATURE - 1][1439].count, 0u);
}

TEST(HistoryRing, ADayLaterASlotHoldsOnlyItsNewMinute) {
    SensorHistory ring;
    const int64_t minute = 28500000;
    ring.add(minute, TEMPERATURE, 10);
    ring.add(minute + 1440, TEMPERATURE, 30);  // the same slot, one day on
    ring.add(minute, TEMPERATURE, 99);         // older than the ring: dropped
    HistoryWindow w = ring.window(minute + 1440);
    EXPECT_EQ(w.buckets[0][1439].count, 1u);
    EXPECT_FLOAT_EQ(w.buckets[0][1439].max, 30.0f);
    for (int i = 0; i < 1439; ++i) EXPECT_EQ(w.buckets[0][i].count, 0u) << i;
    // A window that has moved on past a minute no longer shows it.
    EXPECT_EQ(ring.window(minute + 2 * 1440).buckets[0][0].count, 0u);
}

TEST(HistoryRing, MemoryIsTakenAtTheFirstValueAndStaysBounded) {
    SensorHistory ring;
    EXPECT_EQ(ring.bytesHeld(), 0u);
    EXPECT_EQ(SensorHistory::bytesPerDevice(), 1440u * (4 + 3 * 16));  // 74,880 bytes
    for (int64_t minute = 0; minute < 3 * 1440; ++minute)
        for (int q = 1; q <= 3; ++q) ring.add(minute, static_cast<ReadType>(q), minute % 50);
    EXPECT_EQ(ring.bytesHeld(), SensorHistory::bytesPerDevice());
    HistoryWindow w = ring.window(3 * 1440 - 1);
    for (int i = 0; i < 1440; ++i) ASSERT_EQ(w.buckets[2][i].count, 1u);
}

TEST(HistoryRing, RecordsTheNumbersOfTheStoredLine) {
    History history(OFFSET);
    Sensor sensor(nullptr, "/dev/null");
    SensorHistory* ring = history.track(&sensor);
    ASSERT_EQ(history.of(&sensor), ring);
    EXPECT_EQ(history.of(nullptr), nullptr);
    sensor.storeLine("temperature=21.5 humidity=abc dewpoint=-1.5", CLOCK_AT);
    ring->record(sensor, history.minuteOf(CLOCK_AT), CLOCK_AT);
    HistoryWindow w = ring->window(history.minuteOf(CLOCK_AT));
    EXPECT_FLOAT_EQ(w.buckets[TEMPERATURE - 1][1439].mean(), 21.5f);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);  // no number
    EXPECT_FLOAT_EQ(w.buckets[DEWPOINT - 1][1439].min, -1.5f);
}

TEST(HistoryRing, AWallClockSetBackMovesTheAxisButKeepsTheBuckets) {
    History history(OFFSET);
    SensorHistory ring;
    // One value a minute for ten minutes; the wall clock is set back an hour
    // after the fifth. Keys follow the clock that never steps back.
    for (int i = 0; i < 10; ++i) ring.add(history.minuteOf(CLOCK_AT + 60 * i), TEMPERATURE, i);
    int64_t last = history.minuteOf(CLOCK_AT + 60 * 9);
    HistoryWindow w = ring.window(last);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(w.buckets[0][1430 + i].count, 1u) << i;
    int64_t now = CLOCK_AT + 60 * 9;
    EXPECT_EQ(history.wallTimeOf(last, now, WALL_AT + 60 * 9), WALL_AT + 60 * 9);
    EXPECT_EQ(history.wallTimeOf(last, now, WALL_AT + 60 * 9 - 3600), WALL_AT + 60 * 9 - 3600);
}
