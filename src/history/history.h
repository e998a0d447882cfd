// history/: the readings of the past, per device and quantity. Filled by the
// reader threads as device lines are stored, read by the web thread, kept on
// disk by the history writer's thread.
//
// A year of readings per device in memory: per device and quantity three
// tiers of buckets (minimum, maximum, sum, count): one minute for the last
// day, ten minutes for the last 31 days, one hour for the last 366 days.
//
// Buckets are keyed on UTC minutes (Unix time / 60 by the wall clock), so a
// key means the same after a restart. The clock rule: a value whose minute is
// older than the newest minute the device has seen is refused and counted; it
// never lands in (or overwrites) a bucket, so a wall clock set back leaves the
// history as it was until it reaches its newest minute again. A clock set
// forward leaves a gap; one set forward by more than a day and then back
// has its buckets ahead of the clock set aside (after AHEAD_WAIT_MS of
// refused values, or at the next start), and recording resumes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "protocol.h"
#include "sample.h"

class Sensor;
class SensorManager;

enum class HistoryRange { DAY, WEEK, MONTH, YEAR };
// "day", "week", "month", "year" <-> HistoryRange; false for anything else.
bool parseHistoryRange(std::string_view text, HistoryRange* range);
const char* historyRangeName(HistoryRange range);

struct HistoryBucket {
    float min = 0, max = 0;
    double sum = 0;
    uint32_t count = 0;  // values in the bucket; 0: no value (a gap)
    double mean() const { return count == 0 ? 0 : sum / count; }
};

// The buckets of one device for a range, oldest first: buckets[q][i] covers the
// UTC minutes [firstMinute + i*stepMinutes, firstMinute + (i+1)*stepMinutes).
struct HistorySeries {
    int64_t firstMinute = 0;
    int stepMinutes = 1;  // DAY 1 (1440 buckets), WEEK 10 (1008), MONTH 10 (4464), YEAR 60 (8784)
    std::vector<HistoryBucket> buckets[QUANTITY_COUNT];
};

// One tier bucket of every quantity, as the history file carries it.
struct StoredBucket {
    int tier = 0;     // index into SensorHistory::TIERS
    int64_t key = 0;  // the UTC minute the bucket starts at, divisible by the tier's step
    HistoryBucket quantities[QUANTITY_COUNT];
};

// One device's tiers. Memory is taken at the first value and never grows.
class SensorHistory {
  public:
    struct Tier {
        int stepMinutes;
        int slots;
    };
    static constexpr int TIER_COUNT = 3;
    static constexpr Tier TIERS[TIER_COUNT] = {{1, 24 * 60}, {10, 31 * 24 * 6}, {60, 366 * 24}};

    // How far ahead of the clock the newest minute may lie, and for how long
    // values are refused for it, before the buckets ahead are set aside.
    static constexpr int64_t AHEAD_LIMIT_MINUTES = 24 * 60;
    static constexpr int64_t AHEAD_WAIT_MS = 15 * 60 * 1000;

    // Adds the value of quantity type (a ReadType) to UTC minute in every tier.
    // A minute older than the newest one seen is refused (and counted); so is,
    // without a count, a value that is not finite or does not fit a float.
    void add(int64_t minute, ReadType type, double value) EXCLUDES(mutex);
    // Adds to minute the numbers served for the quantities that line (the
    // snapshot after one device line) carried.
    void record(const SensorSnapshot& line, int64_t minute) EXCLUDES(mutex);
    // The range ending with the bucket that holds nowMinute.
    HistorySeries series(HistoryRange range, int64_t nowMinute) EXCLUDES(mutex);

    // Bytes held for the tiers: 0 before the first value, then bytesPerDevice().
    size_t bytesHeld() EXCLUDES(mutex);
    static size_t bytesPerDevice();
    // Values refused because their minute was older than the newest one seen.
    uint64_t refusedCount() const { return refused.load(std::memory_order_relaxed); }
    // The newest minute seen; INT64_MIN before the first value.
    int64_t newestMinute() EXCLUDES(mutex);
    // True once per run of refused values (an episode, ended by a value
    // taken), with the newest minute they wait for in *waitFor.
    bool takeRefusalNotice(int64_t* waitFor) EXCLUDES(mutex);
    // Whether the newest minute has lain more than AHEAD_LIMIT_MINUTES ahead of
    // nowMinute at every call for AHEAD_WAIT_MS of steadyMs (a monotonic clock).
    bool aheadTooLong(int64_t nowMinute, int64_t steadyMs) EXCLUDES(mutex);
    // Drops every bucket whose key lies after nowMinute; returns how many, the
    // first of their keys in *first. Counts a set-aside (see asideCount).
    int setAsideAhead(int64_t nowMinute, int64_t* first) EXCLUDES(mutex);
    // Set-asides so far: a writer that saw fewer rewrites the file.
    uint64_t asideCount() EXCLUDES(mutex);

    // What the writer has taken so far: per tier the key of the bucket that was
    // open then (it and later buckets may have changed since).
    struct Mark {
        int64_t openKey[TIER_COUNT] = {INT64_MIN, INT64_MIN, INT64_MIN};
        uint64_t changes = 0;
        uint64_t asides = 0;
    };
    // Appends to out (when not null) every bucket changed since mark (all
    // buckets held when all) and moves mark on. False, with nothing added,
    // when no value came since mark and all is not set.
    bool collect(Mark* mark, bool all, std::vector<StoredBucket>* out) EXCLUDES(mutex);
    // Whether a value came since mark.
    bool changedSince(const Mark& mark) EXCLUDES(mutex);
    // Puts the buckets read from disk in place, in order, each unless its slot
    // holds a newer key (or, with onlyMissing, the same key); a bucket with an
    // unknown tier, an unaligned key or a number that is not finite is left out.
    void restore(const std::vector<StoredBucket>& buckets, bool onlyMissing = false)
        EXCLUDES(mutex);

  private:
    // 64 bytes: a slot of every tier holds all quantities of one bucket.
    struct Slot {
        int32_t key;
        float min[QUANTITY_COUNT];
        float max[QUANTITY_COUNT];
        uint32_t count[QUANTITY_COUNT];
        double sum[QUANTITY_COUNT];
    };
    static constexpr int SLOT_COUNT = 24 * 60 + 31 * 24 * 6 + 366 * 24;
    Slot& slotOf(int tier, int64_t key) REQUIRES(mutex);
    void allocate() REQUIRES(mutex);

    Mutex mutex;
    std::unique_ptr<Slot[]> slots GUARDED_BY(mutex);
    int64_t newest GUARDED_BY(mutex) = INT64_MIN;
    uint64_t changes GUARDED_BY(mutex) = 0;
    // The clock rule's episodes: refusing since the last value taken, the
    // notice of it not yet taken, the steady time the newest minute was first
    // seen too far ahead (INT64_MIN: it is not), the set-asides and the newest
    // minute kept by the last one.
    bool refusing GUARDED_BY(mutex) = false;
    bool refusalNotice GUARDED_BY(mutex) = false;
    int64_t aheadSinceMs GUARDED_BY(mutex) = INT64_MIN;
    uint64_t asides GUARDED_BY(mutex) = 0;
    int64_t keptByAside GUARDED_BY(mutex) = INT64_MIN;
    std::atomic<uint64_t> refused{0};
};

// Every device's history.
class History {
  public:
    History() = default;
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Keeps a history for every sensor of the registry, filled by a store
    // listener; call before the reader threads start.
    void follow(SensorManager& sensors);
    // The history of sensor; null when it is not followed.
    SensorHistory* of(const Sensor* sensor) const;
    // Keeps a history for sensor without a listener (tests feed it); returns it.
    SensorHistory* track(const Sensor* sensor);
    // Calls visit with the device path and the history of every device followed.
    void visit(
        const std::function<void(const std::string& device,
                                 const std::shared_ptr<SensorHistory>& history)>& visit) const;
    // Benchmark builds, told by SENSOMARK_BENCH_FULL_DAY in the environment:
    // fills the day up to the current wall minute of every device followed
    // (the last SENSOMARK_BENCH_MINUTES minutes when that is set) with noisy
    // synthetic values (a full day without waiting one). Does nothing
    // otherwise; call before the reader threads start.
    void fillSyntheticDayWhenAsked();

    // The Prometheus families of the history: values refused per device.
    std::string families() const;

    static int64_t utcMinuteOf(int64_t unixTime) {
        return unixTime / 60 - (unixTime % 60 != 0 && unixTime < 0);
    }
    // The wall clock (Unix time) the history keys its buckets by: time()
    // plus the offset tests set to step the clock.
    static int64_t wallNow();
    static void setWallOffset(int64_t seconds) { wallOffset.store(seconds); }
    // "2024-03-05 22:00 UTC"
    static std::string utcMinuteText(int64_t minute);
    // A monotonic clock in milliseconds.
    static int64_t steadyMs();
    // After a value of device came at nowMinute (steadyMs): logs the start of
    // an episode of refused values, and sets aside the buckets ahead of a
    // clock that came back (see SensorHistory::aheadTooLong).
    static void watchClock(SensorHistory& history, const std::string& device, int64_t nowMinute,
                           int64_t steadyMs);

  private:
    static std::atomic<int64_t> wallOffset;
    // Filled before the reader threads start, only read afterwards. Shared
    // with the readers' sample listeners and the writer, which may outlive
    // this object at exit.
    std::map<const Sensor*, std::shared_ptr<SensorHistory>> devices;
};
