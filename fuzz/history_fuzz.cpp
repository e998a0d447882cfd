// Fuzz target: arbitrary bytes read as a history file (a file on a card that
// a power cut, a bad sector or a user left behind). What loads must be what
// this code would write: buckets of known tiers with finite, ordered
// numbers, which written again read back the same, and restored into a
// device's tiers without a fault; damage is counted, never loaded.
#include <cmath>
#include <string>

#include "fuzzutil.h"
#include "history.h"
#include "historyfile.h"

namespace {
bool same(const HistoryBucket& a, const HistoryBucket& b) {
    return a.count == b.count && a.min == b.min && a.max == b.max &&
           (a.sum == b.sum || (std::isnan(a.sum) && std::isnan(b.sum)));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    HistoryFileContent content = readHistoryFile(bytes);
    if (!content.headerOk) {
        FUZZ_CHECK(content.buckets.empty(), "buckets without a header");
        return 0;
    }
    FUZZ_CHECK(content.damagedBytes <= size - 16, "damage beyond the file");
    FUZZ_CHECK((content.damagedBytes == 0) == (content.damagedPlaces == 0), "damage not counted");
    for (const StoredBucket& b : content.buckets) {
        FUZZ_CHECK(b.tier >= 0 && b.tier < SensorHistory::TIER_COUNT, "tier");
        for (const HistoryBucket& q : b.quantities)
            FUZZ_CHECK(std::isfinite(q.min) && std::isfinite(q.max) && std::isfinite(q.sum) &&
                           (q.count == 0 || q.min <= q.max),
                       "a number no bucket holds");
    }
    HistoryFileContent again =
        readHistoryFile(historyFileHeader(16) + historyRecords(content.buckets));
    FUZZ_CHECK(again.buckets.size() == content.buckets.size(), "buckets lost written again");
    for (size_t i = 0; i < again.buckets.size(); ++i) {
        FUZZ_CHECK(again.buckets[i].key == content.buckets[i].key, "key changed");
        for (int q = 0; q < QUANTITY_COUNT; ++q)
            FUZZ_CHECK(same(again.buckets[i].quantities[q], content.buckets[i].quantities[q]),
                       "value changed");
    }
    SensorHistory history;
    history.restore(content.buckets);
    int64_t newest = history.newestMinute();
    if (newest != INT64_MIN) history.series(HistoryRange::YEAR, newest);
    return 0;
}
