// The readings and the history as JSON, for scripts: GET /readings.json and
// GET /history.json?name=NAME&range=RANGE. Texts from the configuration that are no valid
// UTF-8 have their bad bytes replaced (U+FFFD).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "history.h"
#include "sample.h"

// {"time": UNIX, "sensors": {NAME: {"device": PATH, "open": BOOL, "reconnects": N,
//   "age": SECONDS|null, "readings": {"temperature": {"value": NUMBER|null,
//   "valid": BOOL, "age": SECONDS|null, "unit": "°C"}, "humidity": ..., "dewpoint": ...}}}}
std::string readingsJson(const std::vector<SensorSnapshot>& devices, int64_t wallNow);

// {"name": NAME, "device": PATH, "range": "day", "time": UNIX, "bucketSeconds": 60,
//  "minutes": 1440, "from": UNIX, "to": UNIX,
//  "buckets": {"temperature": [{"time": UNIX, "min": X, "mean": X, "max": X, "count": N}, ...],
//  "humidity": [...], "dewpoint": [...]}}: the buckets of series with values, oldest first;
// "time" of a bucket is its start, "from" and "to" the start and end of the
// whole range ("minutes" long), "time" of the document wallNow.
std::string historyJson(const std::string& name, const SensorSnapshot& device,
                        const HistorySeries& series, HistoryRange range, int64_t wallNow);
