// The tiers of one device's history: buckets per minute, ten minutes and hour,
// a year fed through them, and the clock rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "history.h"
#include "sample.h"

namespace {
// Tue 2024-03-05 22:00 UTC as a UTC minute.
const int64_t MINUTE_AT = 1709676000 / 60;

// The value fed at minute m of the year test: exact in float and double, so
// sums and means come out exact too.
double valueAt(int64_t m, int q) {
    return static_cast<double>((m * 7 + q * 13) % 801) * 0.25 - 100;
}

// The bucket of minutes [from, from + n) of quantity q as the test computes it.
HistoryBucket expected(int64_t from, int n, int q) {
    HistoryBucket b;
    for (int64_t m = from; m < from + n; ++m) {
        float v = static_cast<float>(valueAt(m, q));
        b.min = b.count == 0 ? v : std::min(b.min, v);
        b.max = b.count == 0 ? v : std::max(b.max, v);
        b.sum += valueAt(m, q);
        ++b.count;
    }
    return b;
}

bool same(const HistoryBucket& a, const HistoryBucket& b) {
    return a.count == b.count && a.min == b.min && a.max == b.max && a.sum == b.sum;
}
}  // namespace

TEST(HistoryTiers, AYearOfMinutesFillsEveryTierExactlyWithinTheMemoryBound) {
    SensorHistory h;
    EXPECT_EQ(h.bytesHeld(), 0u);  // nothing before the first value
    // 367 days, so that the oldest day has left even the hour tier.
    const int64_t first = MINUTE_AT - 367LL * 1440 + 1, last = MINUTE_AT + 59;
    for (int64_t m = first; m <= last; ++m)
        for (int q = 1; q <= 3; ++q) h.add(m, static_cast<ReadType>(q), valueAt(m, q));
    EXPECT_EQ(h.bytesHeld(), SensorHistory::bytesPerDevice());
    EXPECT_LE(SensorHistory::bytesPerDevice(), 1024u * 1024);
    EXPECT_EQ(h.refusedCount(), 0u);

    struct Check {
        HistoryRange range;
        int step;
    };
    for (Check c : {Check{HistoryRange::DAY, 1}, Check{HistoryRange::WEEK, 10},
                    Check{HistoryRange::MONTH, 10}, Check{HistoryRange::YEAR, 60}}) {
        HistorySeries s = h.series(c.range, last);
        for (int q = 1; q <= 3; ++q) {
            const auto& buckets = s.buckets[q - 1];
            for (size_t i = 0; i < buckets.size(); ++i) {
                int64_t from = s.firstMinute + static_cast<int64_t>(i) * c.step;
                ASSERT_TRUE(same(buckets[i], expected(from, c.step, q)))
                    << historyRangeName(c.range) << " q" << q << " bucket " << i;
            }
        }
    }
    HistorySeries year = h.series(HistoryRange::YEAR, last);
    EXPECT_EQ(year.buckets[0][0].count, 60u);
    EXPECT_EQ(year.buckets[0][0].mean(), expected(year.firstMinute, 60, 1).sum / 60);
    // A year later (no value since) every tier has aged out.
    HistorySeries later = h.series(HistoryRange::YEAR, last + 367 * 1440);
    EXPECT_TRUE(std::all_of(later.buckets[0].begin(), later.buckets[0].end(),
                            [](const HistoryBucket& b) { return b.count == 0; }));
}

TEST(HistoryTiers, AClockSteppedBackIsRefusedAndOneSteppedForwardLeavesAGap) {
    SensorHistory h;
    const int64_t now = MINUTE_AT + 30;
    for (int64_t m = now - 120; m <= now; ++m) h.add(m, TEMPERATURE, 20);
    HistorySeries before = h.series(HistoryRange::YEAR, now);
    // Back by an hour and by a year: nothing lands, nothing is overwritten.
    h.add(now - 60, TEMPERATURE, 99);
    h.add(now - 365 * 1440, TEMPERATURE, 99);
    h.add(now - 1, HUMIDITY, 50);
    EXPECT_EQ(h.refusedCount(), 3u);
    HistorySeries day = h.series(HistoryRange::DAY, now);
    EXPECT_EQ(day.buckets[0][1439 - 60].max, 20.0f);
    EXPECT_EQ(day.buckets[1][1438].count, 0u);
    HistorySeries after = h.series(HistoryRange::YEAR, now);
    for (size_t i = 0; i < after.buckets[0].size(); ++i)
        ASSERT_TRUE(same(after.buckets[0][i], before.buckets[0][i])) << i;
    // The same minute still takes values.
    h.add(now, TEMPERATURE, 22);
    EXPECT_EQ(h.series(HistoryRange::DAY, now).buckets[0][1439].count, 2u);

    // Forward by an hour: a gap, the hour before kept.
    h.add(now + 60, TEMPERATURE, 25);
    day = h.series(HistoryRange::DAY, now + 60);
    EXPECT_EQ(day.buckets[0][1439].max, 25.0f);
    EXPECT_EQ(day.buckets[0][1438].count, 0u);
    EXPECT_EQ(day.buckets[0][1439 - 60].count, 2u);
    // Forward by a year: the day and month have aged out, the year tier holds
    // the old hours still.
    const int64_t yearOn = now + 60 + 365 * 1440;
    h.add(yearOn, TEMPERATURE, 30);
    HistorySeries year = h.series(HistoryRange::YEAR, yearOn);
    int64_t oldHour = (now / 60) * 60;
    size_t oldIndex = static_cast<size_t>((oldHour - year.firstMinute) / 60);
    EXPECT_EQ(year.buckets[0][oldIndex].count, 32u);  // 31 minutes of 20 plus the 22
    EXPECT_EQ(year.buckets[0].back().max, 30.0f);
    // And stepping back to the old time now is refused.
    h.add(now + 61, TEMPERATURE, 1);
    EXPECT_EQ(h.refusedCount(), 4u);
    EXPECT_EQ(h.newestMinute(), yearOn);
}

TEST(HistoryTiers, AClockBackFromMoreThanADayAheadResumesAfterFifteenMinutesOfRefusals) {
    SensorHistory h;
    const int64_t now = MINUTE_AT;
    for (int64_t m = now - 90; m <= now; ++m) h.add(m, TEMPERATURE, 20);
    SensorHistory::Mark mark;
    h.collect(&mark, true, nullptr);
    const int64_t ahead = now + 3 * 1440 + 7;  // forward three days...
    h.add(ahead, TEMPERATURE, 30);
    h.collect(&mark, false, nullptr);
    int64_t waitFor = 0;
    EXPECT_FALSE(h.takeRefusalNotice(&waitFor));
    // ...and back: refused, one notice per episode naming the minute awaited.
    const int64_t t0 = 5000000;
    for (int i = 0; i < 3; ++i) h.add(now + 1, TEMPERATURE, 21);
    EXPECT_TRUE(h.takeRefusalNotice(&waitFor));
    EXPECT_EQ(waitFor, ahead);
    EXPECT_FALSE(h.takeRefusalNotice(&waitFor));
    EXPECT_FALSE(h.aheadTooLong(now + 1, t0));
    EXPECT_FALSE(h.aheadTooLong(now + 5, t0 + SensorHistory::AHEAD_WAIT_MS - 1));
    ASSERT_TRUE(h.aheadTooLong(now + 16, t0 + SensorHistory::AHEAD_WAIT_MS));
    int64_t first = 0;
    EXPECT_EQ(h.setAsideAhead(now + 16, &first), 3);  // its minute, ten minutes and hour
    EXPECT_EQ(first, (ahead / 60) * 60);
    EXPECT_EQ(h.asideCount(), 1u);
    // Recording resumes; what came before the step stays; the writer's next
    // collect takes what came since the newest minute kept.
    h.add(now + 16, TEMPERATURE, 22);
    HistorySeries day = h.series(HistoryRange::DAY, now + 16);
    EXPECT_EQ(day.buckets[0][1439].max, 22.0f);
    EXPECT_EQ(day.buckets[0][1439 - 16 - 90].count, 1u);
    std::vector<StoredBucket> since;
    ASSERT_TRUE(h.collect(&mark, false, &since));
    EXPECT_EQ(std::tuple(since.front().tier, since.front().key), std::tuple(0, now));
    EXPECT_EQ(std::tuple(since[1].tier, since[1].key), std::tuple(0, now + 16));
    EXPECT_EQ(h.refusedCount(), 3u);
    // A value that is not finite or beyond a float never lands, nor does a
    // quantity the line did not carry (its dew point is an older one).
    for (double v : {1e39, -1e39, std::nan(""), HUGE_VAL}) h.add(now + 16, TEMPERATURE, v);
    SensorSnapshot line;
    line.fresh = line.carried[0] = line.carried[1] = true;
    for (int q = 0; q < QUANTITY_COUNT; ++q)
        line.values[q] = measurementOf(q == HUMIDITY - 1 ? "1" + std::string(39, '0') : "21.5");
    h.record(line, now + 16);
    day = h.series(HistoryRange::DAY, now + 16);
    EXPECT_EQ(std::tuple(day.buckets[0][1439].count, day.buckets[0][1439].sum),
              std::tuple(2u, 43.5));
    EXPECT_EQ(day.buckets[1][1439].count + day.buckets[2][1439].count, 0u);
}

TEST(HistoryTiers, CollectTakesWhatChangedSinceTheMarkAndNothingWhenNothingCame) {
    SensorHistory h;
    SensorHistory::Mark mark;
    std::vector<StoredBucket> out;
    EXPECT_FALSE(h.collect(&mark, false, &out));  // never a value
    const int64_t m = MINUTE_AT + 5;
    h.add(m, TEMPERATURE, 1);
    h.add(m + 1, TEMPERATURE, 2);
    ASSERT_TRUE(h.collect(&mark, false, &out));
    EXPECT_EQ(out.size(), 4u);  // two minutes, their ten minutes, their hour
    out.clear();
    EXPECT_FALSE(h.collect(&mark, false, &out));
    EXPECT_FALSE(h.changedSince(mark));
    h.add(m + 1, TEMPERATURE, 3);  // the open minute again
    h.add(m + 2, TEMPERATURE, 4);
    ASSERT_TRUE(h.collect(&mark, false, &out));
    ASSERT_EQ(out.size(), 4u);  // minutes m+1 and m+2, the ten minutes and the hour
    EXPECT_EQ(std::tuple(out[0].tier, out[0].key, out[0].quantities[0].count),
              std::tuple(0, m + 1, 2u));
    EXPECT_EQ(std::tuple(out[3].tier, out[3].quantities[0].count), std::tuple(2, 4u));
    out.clear();
    h.collect(&mark, true, &out);
    EXPECT_EQ(out.size(), 5u);  // everything held

    // Restored buckets come back as they were; a newer key is kept.
    SensorHistory copy;
    copy.restore(out);
    StoredBucket old = out[0];
    old.key -= 1440;  // a day older: the same minute slot
    StoredBucket inf = out[0];
    inf.key += 1440;  // a day newer, but holding a number no bucket holds
    inf.quantities[1].sum = HUGE_VAL;
    copy.restore({old, inf});
    EXPECT_EQ(copy.newestMinute(), m + 2);
    HistorySeries a = h.series(HistoryRange::DAY, m + 2), b = copy.series(HistoryRange::DAY, m + 2);
    for (size_t i = 0; i < a.buckets[0].size(); ++i)
        ASSERT_TRUE(same(a.buckets[0][i], b.buckets[0][i])) << i;
}
