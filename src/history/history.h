// history/: the readings of the past, per device and quantity. Filled by the
// reader threads as device lines are stored, read by the web thread.
//
// The last day of readings, in memory only: per device and quantity a ring of
// 1,440 one-minute buckets (min, sum, count, max). Reader threads fill it as
// device lines are stored; the web thread copies it out to draw and serve it.
//
// Minutes are keyed on Sensor::clockNow(), which never steps back, shifted
// once at start-up by the wall clock's offset so that buckets begin on the
// wall clock's minutes. A wall clock set back later (or forward) leaves the
// ring as it is; drawing maps keys to the wall clock as it reads then.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "mutex.h"
#include "protocol.h"
#include "sample.h"

class Sensor;
class SensorManager;

struct HistoryBucket {
    float min = 0;
    float max = 0;
    float sum = 0;
    uint32_t count = 0;  // values stored in the minute; 0: no valid reading (a gap)
    double mean() const { return count == 0 ? 0 : static_cast<double>(sum) / count; }
};

// The buckets of one device for the MINUTES minutes ending with lastMinute,
// oldest first: buckets[q][i] is quantity q (selector - 1) in minute
// lastMinute - MINUTES + 1 + i.
struct HistoryWindow {
    int64_t lastMinute = 0;
    std::vector<HistoryBucket> buckets[QUANTITY_COUNT];
};

// One device's ring. Its memory is taken at the first value and never grows.
class SensorHistory {
  public:
    static constexpr int MINUTES = 24 * 60;

    // Adds the value of quantity type (a ReadType) to minute; values of
    // minutes more than a day before the newest are dropped.
    void add(int64_t minute, ReadType type, double value) EXCLUDES(mutex);
    // Adds the numbers that sample (one device line) carries to minute.
    void record(const Sample& sample, int64_t minute) EXCLUDES(mutex);
    HistoryWindow window(int64_t lastMinute) EXCLUDES(mutex);
    // Bytes held for the ring: 0 before the first value, then bytesPerDevice().
    size_t bytesHeld() EXCLUDES(mutex);
    static size_t bytesPerDevice() { return sizeof(Slot) * MINUTES; }

  private:
    struct Slot {
        int32_t minute;  // the key whose buckets the slot holds
        HistoryBucket buckets[QUANTITY_COUNT];
    };
    Mutex mutex;
    std::unique_ptr<Slot[]> ring GUARDED_BY(mutex);
};

// Every device's history and the mapping between minute keys and the wall clock.
class History {
  public:
    // wallOffset: wall-clock seconds (Unix time) less Sensor::clockNow(); the
    // default takes it from both clocks now.
    History();
    explicit History(int64_t wallOffset) : wallOffset(wallOffset) {}
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Keeps a history for every sensor of the registry, filled by a store
    // listener; call before the reader threads start.
    void follow(SensorManager& sensors);
    // The history of sensor; null when it is not followed.
    SensorHistory* of(const Sensor* sensor) const;
    // Keeps a history for sensor without a listener (tests feed it); returns it.
    SensorHistory* track(const Sensor* sensor);
#ifdef SENSOMARK_BENCH
    // Fills the day up to time now (of Sensor::clockNow()) of every device
    // followed with noisy synthetic values: the benchmark's full day without
    // waiting one. Benchmark builds only; call before the reader threads start.
    void fillSyntheticDay(int64_t now);
#endif

    // The minute key of time now (of Sensor::clockNow()).
    int64_t minuteOf(int64_t now) const;
    // The Unix time at which the minute keyed minute began, by the wall clock
    // that reads wallNow at clock time now.
    int64_t wallTimeOf(int64_t minute, int64_t now, int64_t wallNow) const {
        return minute * 60 - wallOffset + (wallNow - now);
    }

  private:
    const int64_t wallOffset;
    // Filled before the reader threads start, only read afterwards.
    // Shared with the readers' sample listeners, which may outlive this object
    // at exit (the readers stop after the web port is gone).
    std::map<const Sensor*, std::shared_ptr<SensorHistory>> devices;
};
