// One-minute buckets per device and quantity, and their keys.
#include "history.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <random>

#include "sensor.h"
#include "sensormanager.h"

namespace {
const int32_t EMPTY_SLOT = INT32_MIN;

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// The ring index of minute.
size_t slotOf(int64_t minute) {
    return static_cast<size_t>(minute -
                               floorDiv(minute, SensorHistory::MINUTES) * SensorHistory::MINUTES);
}
}  // namespace

void SensorHistory::add(int64_t minute, ReadType type, double value) {
    const Quantity* quantity = quantityOf(type);
    if (quantity == nullptr) return;
    MutexLock lock(mutex);
    if (!ring) {
        ring = std::make_unique<Slot[]>(MINUTES);
        for (int i = 0; i < MINUTES; ++i) ring[i] = Slot{EMPTY_SLOT, {}};
    }
    Slot& slot = ring[slotOf(minute)];
    if (minute < slot.minute) return;  // older than the ring
    if (minute > slot.minute) slot = Slot{static_cast<int32_t>(minute), {}};
    HistoryBucket& b = slot.buckets[type - 1];
    float v = static_cast<float>(value);
    if (b.count == 0) {
        b.min = b.max = v;
    } else {
        b.min = std::min(b.min, v);
        b.max = std::max(b.max, v);
    }
    b.sum += v;
    if (b.count < UINT32_MAX) ++b.count;
}

void SensorHistory::record(const Sample& sample, int64_t minute) {
    for (const Quantity& q : QUANTITIES) {
        const Value& value = sample.values[q.type - 1];
        if (sample.has[q.type - 1] && value.hasNumber) add(minute, q.type, value.number);
    }
}

HistoryWindow SensorHistory::window(int64_t lastMinute) {
    HistoryWindow w;
    w.lastMinute = lastMinute;
    for (auto& buckets : w.buckets) buckets.resize(MINUTES);
    MutexLock lock(mutex);
    if (!ring) return w;
    for (int i = 0; i < MINUTES; ++i) {
        int64_t minute = lastMinute - MINUTES + 1 + i;
        const Slot& slot = ring[slotOf(minute)];
        if (slot.minute != minute) continue;
        for (int q = 0; q < QUANTITY_COUNT; ++q) w.buckets[q][i] = slot.buckets[q];
    }
    return w;
}

size_t SensorHistory::bytesHeld() {
    MutexLock lock(mutex);
    return ring ? bytesPerDevice() : 0;
}

History::History() : History(static_cast<int64_t>(time(nullptr)) - Sensor::clockNow()) {}

void History::follow(SensorManager& sensors) {
    std::vector<Sensor*> all;
    sensors.visit([](const std::string&, Sensor*) {}, [&](Sensor* s) { all.push_back(s); });
    for (Sensor* sensor : all) {
        track(sensor);
        std::shared_ptr<SensorHistory> history = devices[sensor];
        int64_t offset = wallOffset;
        sensor->addSampleListener([history, offset](const Sample& sample, int64_t now) {
            history->record(sample, floorDiv(now + offset, 60));
        });
    }
}

SensorHistory* History::track(const Sensor* sensor) {
    auto& history = devices[sensor];
    if (!history) history = std::make_shared<SensorHistory>();
    return history.get();
}

SensorHistory* History::of(const Sensor* sensor) const {
    auto it = devices.find(sensor);
    return it == devices.end() ? nullptr : it->second.get();
}

int64_t History::minuteOf(int64_t now) const {
    return floorDiv(now + wallOffset, 60);
}

#ifdef SENSOMARK_BENCH
void History::fillSyntheticDay(int64_t now) {
    const int VALUES_PER_MINUTE = 6;
    const int GAP_MINUTES = 20;  // one gap per device, as after an unplugged adapter
    int64_t last = minuteOf(now);
    unsigned seed = 1;
    for (auto& [sensor, ring] : devices) {
        std::minstd_rand random(seed++);
        std::uniform_real_distribution<double> noise(-0.3, 0.3);
        int64_t gap = last - static_cast<int64_t>(random() % SensorHistory::MINUTES);
        for (int64_t minute = last - SensorHistory::MINUTES + 1; minute <= last; ++minute) {
            if (minute >= gap && minute < gap + GAP_MINUTES) continue;
            double day = std::sin(2 * M_PI * static_cast<double>(minute % 1440) / 1440 + seed);
            for (int i = 0; i < VALUES_PER_MINUTE; ++i) {
                double t = 20 + 4 * day + noise(random), h = 50 - 10 * day + 3 * noise(random);
                ring->add(minute, TEMPERATURE, std::round(t * 10) / 10);
                ring->add(minute, HUMIDITY, std::round(h * 10) / 10);
                ring->add(minute, DEWPOINT, std::round((t - (100 - h) / 5) * 10) / 10);
            }
        }
    }
}
#endif
