// JSON documents built with nlohmann::json, so that escaping is never ours.
#include "jsonview.h"

#include <cmath>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {
std::string dump(const json& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json ageOf(int64_t ageS) {
    return ageS < 0 ? json(nullptr) : json(ageS);
}

// Buckets hold floats: 48.3 comes back as 48.29999923706055 unless rounded.
double rounded(double value) {
    return std::round(value * 1e4) / 1e4;
}
}  // namespace

std::string readingsJson(const std::vector<NamedSnapshot>& devices, int64_t wallNow) {
    json sensors = json::object();
    for (const NamedSnapshot& device : devices) {
        json readings = json::object();
        for (const Quantity& q : QUANTITIES) {
            const Reading r = device.snapshot.reading(q.type - 1);
            readings[q.key] = {{"value", r.hasNumber ? json(r.number) : json(nullptr)},
                               {"valid", r.fresh},
                               {"age", ageOf(r.ageS)},
                               {"unit", q.unit}};
            // What the device itself sent, for whoever calibrates it.
            const Value& raw = device.snapshot.raw[q.type - 1];
            if (r.fresh && device.snapshot.corrected[q.type - 1])
                readings[q.key]["raw"] = raw.hasNumber ? json(raw.number) : json(nullptr);
        }
        json entry = {{"device", device.snapshot.device},
                      {"open", device.snapshot.open},
                      {"reconnects", device.snapshot.reconnects},
                      {"age", ageOf(device.snapshot.ageS)},
                      {"readings", readings}};
        for (const std::string& name : device.names) sensors[name] = entry;
    }
    return dump({{"time", wallNow}, {"sensors", sensors}});
}

std::string historyJson(const std::string& name, const NamedSnapshot& device,
                        const HistorySeries& window, int64_t wallNow) {
    json buckets = json::object();
    for (const Quantity& q : QUANTITIES) {
        json list = json::array();
        const auto& series = window.buckets[q.type - 1];
        for (size_t i = 0; i < series.size(); ++i) {
            const HistoryBucket& b = series[i];
            if (b.count == 0) continue;
            int64_t minute = window.firstMinute + static_cast<int64_t>(i) * window.stepMinutes;
            list.push_back({{"time", minute * 60},
                            {"min", rounded(b.min)},
                            {"mean", rounded(b.mean())},
                            {"max", rounded(b.max)},
                            {"count", b.count}});
        }
        buckets[q.key] = std::move(list);
    }
    return dump({{"name", name},
                 {"device", device.snapshot.device},
                 {"time", wallNow},
                 {"bucketSeconds", 60 * window.stepMinutes},
                 {"minutes", static_cast<int64_t>(window.buckets[0].size()) * window.stepMinutes},
                 {"buckets", buckets}});
}
