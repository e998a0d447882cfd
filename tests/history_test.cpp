// The history ring: its buckets, its memory and what it records.
#include "history.h"

#include <gtest/gtest.h>

#include <tuple>

#include "sensor.h"

namespace {
// Tue 2024-03-05 22:00:00 UTC; the clock (Sensor::clockNow()) reads CLOCK_AT then.
const int64_t WALL_AT = 1709676000, CLOCK_AT = 5000;
}  // namespace

TEST(HistoryRing, KeepsMinMeanMaxAndCountPerMinuteWithGaps) {
    History history(WALL_AT - CLOCK_AT);
    SensorHistory ring;
    int64_t minute = history.minuteOf(CLOCK_AT);
    EXPECT_EQ(minute * 60, WALL_AT);  // buckets begin on the wall clock's minutes
    EXPECT_EQ(history.minuteOf(CLOCK_AT + 59), minute);
    for (double v : {21.0, 23.0, 22.0}) ring.add(minute, TEMPERATURE, v);
    ring.add(minute, HUMIDITY, 48.5);
    ring.add(history.minuteOf(CLOCK_AT + 60), TEMPERATURE, -1.5);
    HistoryWindow w = ring.window(minute + 1);
    ASSERT_EQ(w.buckets[0].size(), 1440u);
    const HistoryBucket &first = w.buckets[0][1438], &second = w.buckets[0][1439];
    EXPECT_EQ(first.count, 3u);
    EXPECT_EQ(std::tuple(first.min, first.max, first.mean()), std::tuple(21.0f, 23.0f, 22.0));
    EXPECT_EQ(std::tuple(second.count, second.min), std::tuple(1u, -1.5f));
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1438].count, 1u);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);  // a gap
    EXPECT_EQ(w.buckets[DEWPOINT - 1][1438].count, 0u);
    EXPECT_EQ(ring.window(minute + 2).buckets[0][1437].count, 3u);  // a minute later
}

TEST(HistoryRing, ADayLaterASlotHoldsOnlyItsNewMinute) {
    SensorHistory ring;
    const int64_t minute = 28500000;
    ring.add(minute, TEMPERATURE, 10);
    ring.add(minute + 1440, TEMPERATURE, 30);  // the same slot, one day on
    ring.add(minute, TEMPERATURE, 99);         // older than the ring: dropped
    HistoryWindow w = ring.window(minute + 1440);
    EXPECT_EQ(std::tuple(w.buckets[0][1439].count, w.buckets[0][1439].max), std::tuple(1u, 30.0f));
    for (int i = 0; i < 1439; ++i) EXPECT_EQ(w.buckets[0][i].count, 0u) << i;
    EXPECT_EQ(ring.window(minute + 2 * 1440).buckets[0][0].count, 0u);
}

TEST(HistoryRing, MemoryIsTakenAtTheFirstValueAndStaysBounded) {
    SensorHistory ring;
    EXPECT_EQ(ring.bytesHeld(), 0u);
    EXPECT_EQ(SensorHistory::bytesPerDevice(), 1440u * (4 + 3 * 16));
    for (int64_t minute = 0; minute < 3 * 1440; ++minute)
        for (int q = 1; q <= 3; ++q) ring.add(minute, static_cast<ReadType>(q), minute % 50);
    EXPECT_EQ(ring.bytesHeld(), SensorHistory::bytesPerDevice());
    HistoryWindow w = ring.window(3 * 1440 - 1);
    for (int i = 0; i < 1440; ++i) ASSERT_EQ(w.buckets[2][i].count, 1u);
}

TEST(HistoryRing, RecordsTheNumbersOfTheStoredLine) {
    History history(WALL_AT - CLOCK_AT);
    Sensor sensor(nullptr, "/dev/null");
    SensorHistory* ring = history.track(&sensor);
    ASSERT_EQ(history.of(&sensor), ring);
    ring->record(parseSample("temperature=21.5 humidity=abc dewpoint=-1.5"),
                 history.minuteOf(CLOCK_AT));
    HistoryWindow w = ring->window(history.minuteOf(CLOCK_AT));
    EXPECT_EQ(w.buckets[TEMPERATURE - 1][1439].mean(), 21.5);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);  // no number
    EXPECT_EQ(w.buckets[DEWPOINT - 1][1439].min, -1.5f);
}
