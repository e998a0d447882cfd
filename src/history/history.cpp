// Tiers of buckets per device and quantity, keyed on UTC minutes.
#include "history.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>

#include "logging.h"
#include "prometheus.h"
#include "sensor.h"
#include "sensormanager.h"

namespace {
const int32_t EMPTY_KEY = INT32_MIN;

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// The tier, bucket count and step of range.
struct RangeShape {
    int tier;
    int buckets;
};
RangeShape shapeOf(HistoryRange range) {
    switch (range) {
        case HistoryRange::DAY:
            return {0, 24 * 60};
        case HistoryRange::WEEK:
            return {1, 7 * 24 * 6};
        case HistoryRange::MONTH:
            return {1, 31 * 24 * 6};
        case HistoryRange::YEAR:
            break;
    }
    return {2, 366 * 24};
}

const char* const RANGE_NAMES[] = {"day", "week", "month", "year"};
}  // namespace

bool parseHistoryRange(std::string_view text, HistoryRange* range) {
    for (int i = 0; i < 4; ++i) {
        if (text == RANGE_NAMES[i]) {
            *range = static_cast<HistoryRange>(i);
            return true;
        }
    }
    return false;
}

const char* historyRangeName(HistoryRange range) {
    return RANGE_NAMES[static_cast<int>(range)];
}

constexpr SensorHistory::Tier SensorHistory::TIERS[];

size_t SensorHistory::bytesPerDevice() {
    static_assert(sizeof(Slot) == 64, "a slot is one cache line");
    return sizeof(Slot) * SLOT_COUNT;
}

void SensorHistory::allocate() {
    if (slots) return;
    slots.reset(new Slot[SLOT_COUNT]);  // not zeroed: every slot is set below
    for (int i = 0; i < SLOT_COUNT; ++i) slots[i] = Slot{EMPTY_KEY, {}, {}, {}, {}};
}

SensorHistory::Slot& SensorHistory::slotOf(int tier, int64_t key) {
    int offset = 0;
    for (int t = 0; t < tier; ++t) offset += TIERS[t].slots;
    int64_t n = TIERS[tier].slots;
    int64_t index = floorDiv(key, TIERS[tier].stepMinutes);
    return slots[offset + static_cast<int>(index - floorDiv(index, n) * n)];
}

void SensorHistory::add(int64_t minute, ReadType type, double value) {
    // The last line of defence: a bucket holds floats, and a value beyond
    // them would read back as inf, a bucket no file may hold.
    if (quantityOf(type) == nullptr || !std::isfinite(value) || std::fabs(value) > FLT_MAX) return;
    if (minute <= INT32_MIN || minute > INT32_MAX) return;
    MutexLock lock(mutex);
    if (minute < newest) {
        refused.fetch_add(1, std::memory_order_relaxed);
        if (!refusing) refusalNotice = true;
        refusing = true;
        return;
    }
    allocate();
    refusing = false;
    aheadSinceMs = INT64_MIN;
    newest = minute;
    ++changes;
    const int q = type - 1;
    const float v = static_cast<float>(value);
    for (int tier = 0; tier < TIER_COUNT; ++tier) {
        int64_t key = floorDiv(minute, TIERS[tier].stepMinutes) * TIERS[tier].stepMinutes;
        Slot& slot = slotOf(tier, key);
        // Keys only grow, so a different key in the slot is an older one.
        if (slot.key != key) slot = Slot{static_cast<int32_t>(key), {}, {}, {}, {}};
        if (slot.count[q] == 0) {
            slot.min[q] = slot.max[q] = v;
        } else {
            slot.min[q] = std::min(slot.min[q], v);
            slot.max[q] = std::max(slot.max[q], v);
        }
        slot.sum[q] += value;
        if (slot.count[q] < UINT32_MAX) ++slot.count[q];
    }
}

void SensorHistory::record(const SensorSnapshot& line, int64_t minute) {
    for (const Quantity& q : QUANTITIES) {
        const int i = q.type - 1;
        if (line.carried[i] && line.served(i)) add(minute, q.type, line.values[i].number);
    }
}

HistorySeries SensorHistory::series(HistoryRange range, int64_t nowMinute) {
    RangeShape shape = shapeOf(range);
    const int step = TIERS[shape.tier].stepMinutes;
    HistorySeries s;
    s.stepMinutes = step;
    s.firstMinute =
        floorDiv(nowMinute, step) * step - static_cast<int64_t>(shape.buckets - 1) * step;
    for (auto& buckets : s.buckets) buckets.resize(shape.buckets);
    MutexLock lock(mutex);
    if (!slots) return s;
    for (int i = 0; i < shape.buckets; ++i) {
        int64_t key = s.firstMinute + static_cast<int64_t>(i) * step;
        const Slot& slot = slotOf(shape.tier, key);
        if (slot.key != key) continue;
        for (int q = 0; q < QUANTITY_COUNT; ++q)
            s.buckets[q][i] = HistoryBucket{slot.min[q], slot.max[q], slot.sum[q], slot.count[q]};
    }
    return s;
}

size_t SensorHistory::bytesHeld() {
    MutexLock lock(mutex);
    return slots ? bytesPerDevice() : 0;
}

int64_t SensorHistory::newestMinute() {
    MutexLock lock(mutex);
    return newest;
}

bool SensorHistory::takeRefusalNotice(int64_t* waitFor) {
    MutexLock lock(mutex);
    bool notice = refusalNotice;
    refusalNotice = false;
    *waitFor = newest;
    return notice;
}

bool SensorHistory::aheadTooLong(int64_t nowMinute, int64_t steadyMs) {
    MutexLock lock(mutex);
    if (newest == INT64_MIN || newest - nowMinute <= AHEAD_LIMIT_MINUTES) {
        aheadSinceMs = INT64_MIN;
        return false;
    }
    if (aheadSinceMs == INT64_MIN) aheadSinceMs = steadyMs;
    return steadyMs - aheadSinceMs >= AHEAD_WAIT_MS;
}

int SensorHistory::setAsideAhead(int64_t nowMinute, int64_t* first) {
    MutexLock lock(mutex);
    int count = 0;
    *first = INT64_MAX;
    if (!slots) return 0;
    newest = INT64_MIN;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        Slot& slot = slots[i];
        if (slot.key == EMPTY_KEY) continue;
        if (slot.key <= nowMinute) {
            newest = std::max<int64_t>(newest, slot.key);
            continue;
        }
        *first = std::min<int64_t>(*first, slot.key);
        slot = Slot{EMPTY_KEY, {}, {}, {}, {}};
        ++count;
    }
    refusing = refusalNotice = false;
    aheadSinceMs = INT64_MIN;
    keptByAside = newest;
    ++asides;
    ++changes;
    return count;
}

uint64_t SensorHistory::asideCount() {
    MutexLock lock(mutex);
    return asides;
}

bool SensorHistory::collect(Mark* mark, bool all, std::vector<StoredBucket>* out) {
    MutexLock lock(mutex);
    if (!all && mark->changes == changes) return false;
    mark->changes = changes;
    // After a set-aside the mark's keys may lie ahead: what came since lies
    // after the newest minute kept.
    if (mark->asides != asides && !all)
        for (int tier = 0; tier < TIER_COUNT; ++tier)
            mark->openKey[tier] =
                std::min(mark->openKey[tier], keptByAside == INT64_MIN
                                                  ? INT64_MIN
                                                  : floorDiv(keptByAside, TIERS[tier].stepMinutes) *
                                                        TIERS[tier].stepMinutes);
    mark->asides = asides;
    if (!slots || newest == INT64_MIN) return true;
    for (int tier = 0; tier < TIER_COUNT; ++tier) {
        const int64_t step = TIERS[tier].stepMinutes;
        const int64_t open = floorDiv(newest, step) * step;
        // Older keys than a ring's length have left the ring.
        int64_t from =
            std::max(open - (TIERS[tier].slots - 1) * step, all ? INT64_MIN : mark->openKey[tier]);
        mark->openKey[tier] = open;
        if (out == nullptr) continue;
        for (int64_t key = from; key <= open; key += step) {
            const Slot& slot = slotOf(tier, key);
            if (slot.key != key) continue;
            StoredBucket b;
            b.tier = tier;
            b.key = key;
            for (int q = 0; q < QUANTITY_COUNT; ++q)
                b.quantities[q] =
                    HistoryBucket{slot.min[q], slot.max[q], slot.sum[q], slot.count[q]};
            out->push_back(b);
        }
    }
    return true;
}

bool SensorHistory::changedSince(const Mark& mark) {
    MutexLock lock(mutex);
    return mark.changes != changes;
}

void SensorHistory::restore(const std::vector<StoredBucket>& buckets, bool onlyMissing) {
    MutexLock lock(mutex);
    for (const StoredBucket& b : buckets) {
        if (b.tier < 0 || b.tier >= TIER_COUNT || b.key <= INT32_MIN || b.key > INT32_MAX) continue;
        const int step = TIERS[b.tier].stepMinutes;
        if (floorDiv(b.key, step) * step != b.key) continue;
        bool finite = true;
        for (const HistoryBucket& q : b.quantities)
            finite = finite && std::isfinite(q.min) && std::isfinite(q.max) && std::isfinite(q.sum);
        if (!finite) continue;
        allocate();
        Slot& slot = slotOf(b.tier, b.key);
        if (slot.key != EMPTY_KEY && slot.key > b.key) continue;
        if (onlyMissing && slot.key == b.key) continue;
        slot.key = static_cast<int32_t>(b.key);
        for (int q = 0; q < QUANTITY_COUNT; ++q) {
            slot.min[q] = b.quantities[q].min;
            slot.max[q] = b.quantities[q].max;
            slot.sum[q] = b.quantities[q].sum;
            slot.count[q] = b.quantities[q].count;
        }
        // A bucket's key is a minute it holds or follows: no later value may be older.
        newest = std::max(newest, b.key);
    }
}

std::atomic<int64_t> History::wallOffset{0};

int64_t History::wallNow() {
    return static_cast<int64_t>(time(nullptr)) + wallOffset.load();
}

void History::follow(SensorManager& sensors) {
    std::vector<Sensor*> all;
    sensors.forEachSensor([&](Sensor* s) { all.push_back(s); });
    for (Sensor* sensor : all) {
        track(sensor);
        std::shared_ptr<SensorHistory> history = devices[sensor];
        std::string device = sensor->getDeviceName();
        sensor->addLineListener([history, device](const SensorSnapshot& line, int64_t) {
            int64_t now = utcMinuteOf(wallNow());
            history->record(line, now);
            watchClock(*history, device, now, steadyMs());
        });
    }
}

void History::watchClock(SensorHistory& history, const std::string& device, int64_t nowMinute,
                         int64_t steadyMs) {
    int64_t newest;
    if (history.takeRefusalNotice(&newest))
        logEvent(LOG_CRITICAL, "history of '" + device +
                                   "': the clock is behind its newest minute, values are refused "
                                   "until " +
                                   utcMinuteText(newest));
    if (!history.aheadTooLong(nowMinute, steadyMs)) return;
    int64_t first;
    int count = history.setAsideAhead(nowMinute, &first);
    logEvent(LOG_CRITICAL, "history of '" + device + "': " + std::to_string(count) +
                               " buckets from " + utcMinuteText(first) +
                               " on lie ahead of the clock, set aside; recording resumes");
}

std::string History::utcMinuteText(int64_t minute) {
    time_t t = static_cast<time_t>(minute * 60);
    struct tm utc = {};
    char text[32] = "?";
    if (minute > INT32_MIN && minute <= INT32_MAX && gmtime_r(&t, &utc) != nullptr)
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

int64_t History::steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string History::families() const {
    const char* name = "sensomark_history_refused_total";
    PrometheusText out;
    out.family(name, "counter",
               "Values the history refused because the clock was behind the newest minute it "
               "holds for the device.");
    std::set<std::string> seen;  // a path configured twice is one device
    for (const auto& [sensor, history] : devices)
        if (seen.insert(sensor->getDeviceName()).second)
            out.sample(name, {{"device", sensor->getDeviceName()}}, history->refusedCount());
    return out.text();
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

void History::visit(
    const std::function<void(const std::string& device,
                             const std::shared_ptr<SensorHistory>& history)>& visit) const {
    for (const auto& [sensor, history] : devices) visit(sensor->getDeviceName(), history);
}

void History::fillSyntheticDayWhenAsked() {
#ifdef SENSOMARK_BENCH
    if (getenv("SENSOMARK_BENCH_FULL_DAY") == nullptr) return;
    const int VALUES_PER_MINUTE = 6;
    const int GAP_MINUTES = 20;  // one gap per device, as after an unplugged adapter
    const char* minutes = getenv("SENSOMARK_BENCH_MINUTES");
    const int MINUTES = minutes != nullptr ? atoi(minutes) : 24 * 60;
    if (MINUTES <= 0) return;
    int64_t last = utcMinuteOf(wallNow());
    unsigned seed = 1;
    for (auto& [sensor, ring] : devices) {
        std::minstd_rand random(seed++);
        std::uniform_real_distribution<double> noise(-0.3, 0.3);
        // No gap in a short fill: every device has values to write.
        int64_t gap = MINUTES < 10 * GAP_MINUTES ? INT64_MAX
                                                 : last - static_cast<int64_t>(random() % MINUTES);
        for (int64_t minute = last - MINUTES + 1; minute <= last; ++minute) {
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
#endif
}
