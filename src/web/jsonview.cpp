// JSON documents built with nlohmann::json, so that escaping is never ours;
// only the history's bucket lists, numbers alone, are written by hand.
#include "jsonview.h"

#include <nlohmann/json.hpp>

#include "csvview.h"

using nlohmann::json;

namespace {
std::string dump(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json ageOf(int64_t ageS) {
    return ageS < 0 ? json(nullptr) : json(ageS);
}
}  // namespace

std::string readingsJson(const std::vector<SensorSnapshot>& devices, int64_t wallNow) {
    json sensors = json::object();
    for (const SensorSnapshot& device : devices) {
        json readings = json::object();
        for (const Quantity& q : QUANTITIES) {
            const int i = q.type - 1;
            readings[q.key] = {
                {"value", device.served(i) ? json(device.values[i].number) : json(nullptr)},
                {"valid", device.fresh},
                {"age", ageOf(device.ageS)},
                {"unit", q.unit}};
            // What the device itself sent, for whoever calibrates it.
            const Measurement& raw = device.raw[i];
            if (device.fresh && device.corrected[i])
                readings[q.key]["raw"] = raw.hasNumber ? json(raw.number) : json(nullptr);
        }
        json entry = {{"device", device.device},
                      {"open", device.open},
                      {"reconnects", device.reconnects},
                      {"age", ageOf(device.ageS)},
                      {"readings", readings}};
        for (const std::string& name : device.names) sensors[name] = entry;
    }
    return dump({{"time", wallNow}, {"sensors", sensors}});
}

std::string historyJson(const std::string& name, const SensorSnapshot& device,
                        const HistorySeries& series, HistoryRange range, int64_t wallNow) {
    const int64_t step = series.stepMinutes;
    const int64_t count = static_cast<int64_t>(series.buckets[0].size());
    // A year is some 26,000 buckets: they are written here, numbers only,
    // the rest by the library.
    std::string lists = "{";
    lists.reserve(QUANTITY_COUNT * series.buckets[0].size() * 72);
    for (const char* key : {"dewpoint", "humidity", "temperature"}) {  // in the library's order
        const Quantity* q = nullptr;
        for (const Quantity& each : QUANTITIES)
            if (std::string(each.key) == key) q = &each;
        lists += lists.size() > 1 ? ",\"" : "\"";
        lists.append(key).append("\":[");
        const auto& of = series.buckets[q->type - 1];
        bool first = true;
        for (size_t i = 0; i < of.size(); ++i) {
            const HistoryBucket& b = of[i];
            if (!shownBucket(b)) continue;
            lists += first ? "{\"count\":" : ",{\"count\":";
            first = false;
            appendInteger(lists, b.count);
            lists += ",\"max\":";
            appendNumber(lists, b.max);
            lists += ",\"mean\":";
            appendNumber(lists, b.mean());
            lists += ",\"min\":";
            appendNumber(lists, b.min);
            lists += ",\"time\":";
            appendInteger(lists, (series.firstMinute + static_cast<int64_t>(i) * step) * 60);
            lists += '}';
        }
        lists += ']';
    }
    lists += '}';
    std::string text = dump({{"name", name},
                             {"device", device.device},
                             {"range", historyRangeName(range)},
                             {"time", wallNow},
                             {"bucketSeconds", step * 60},
                             {"minutes", count * step},
                             {"from", series.firstMinute * 60},
                             {"to", (series.firstMinute + count * step) * 60},
                             {"buckets", nullptr}});
    // Keys come in order: "buckets" is the second, before any configured text.
    const std::string slot = "\"buckets\":null";
    return text.replace(text.find(slot), slot.size(), "\"buckets\":" + lists);
}
