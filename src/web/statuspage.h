// The status page of the web port (GET /): one self-contained HTML document
// with every device's names, state and readings and, per quantity, a chart of
// the last 24 hours drawn as inline SVG. No script, no outside resource.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "history.h"
#include "sample.h"

// text with & < > " ' replaced by character references.
std::string htmlEscape(std::string_view text);

// A vertical grid line of the time axis: at bucket index (0 = 24 hours ago),
// labelled with the local time ("03:00", the weekday at midnight).
struct TimeTick {
    int index;
    std::string label;
    bool major;  // every six hours; the others are hidden on narrow screens
};
// The ticks of the window ending with minute lastMinute, every three local hours.
std::vector<TimeTick> timeTicks(int64_t lastMinute);

// One chart of buckets (one per minute, oldest first; buckets[0] is minute
// key firstMinute): a point per few minutes, the band from their lowest min
// to their highest max and the line of their mean, broken where a whole
// point's minutes have no value; the value axis fits the data.
std::string renderChart(const Quantity& quantity, const std::vector<HistoryBucket>& buckets,
                        const std::vector<TimeTick>& ticks, int64_t firstMinute = 0);

// The whole page at time now (of Sensor::clockNow()) and wall time wallNow;
// host names the machine in the title.
std::string renderStatusPage(const std::vector<NamedSnapshot>& devices, const History& history,
                             int64_t wallNow, const std::string& host);
