// The status page of the web port (GET /?range=day|week|month|year): one
// self-contained HTML document with the raised alerts, every device's names,
// state and readings and, per quantity, a chart of the range drawn as inline
// SVG, with plain links between the ranges. No script, no outside resource.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "alertengine.h"
#include "history.h"
#include "sample.h"

// text with & < > " ' replaced by character references.
std::string htmlEscape(std::string_view text);

// A vertical grid line of the time axis: at bucket index (0 = the oldest),
// labelled with the local time ("03:00", "Tue 08", "Mar").
struct TimeTick {
    int index;
    std::string label;
    bool major;  // the others are hidden on narrow screens
};
// The ticks of count buckets of stepMinutes from the UTC minute firstMinute
// on, in local time: every third hour for a day, every day for a week, every
// Monday for a month, every month for a year.
std::vector<TimeTick> timeTicks(HistoryRange range, int64_t firstMinute, int stepMinutes,
                                int count);
// "last 24 hours", "last 7 days", "last 31 days", "last year".
const char* spanOf(HistoryRange range);

// One chart of buckets (oldest first; buckets[0] starts at the UTC minute
// firstMinute, each covers stepMinutes): a point per few buckets (a few
// hundred in all), the band from their lowest min to their highest max and
// the line of their mean, broken where a whole point's buckets have no value;
// the value axis fits the data. span names the time covered.
std::string renderChart(const Quantity& quantity, const std::vector<HistoryBucket>& buckets,
                        const std::vector<TimeTick>& ticks, int64_t firstMinute = 0,
                        int stepMinutes = 1, const char* span = "last 24 hours");

// The history of a device for the page's range (every series of one page
// has the same first minute, step and size).
using SeriesOf = std::function<HistorySeries(const SensorSnapshot&)>;

// The whole page with the charts of range at Unix time wallNow, drawn from
// seriesOf each device; host names the machine in the title. alerts: those of
// [alerts] (none without the section); the raised ones are listed at the top
// and mark the cards of their devices.
std::string renderStatusPage(const std::vector<SensorSnapshot>& devices, const SeriesOf& seriesOf,
                             HistoryRange range, int64_t wallNow, const std::string& host,
                             const std::vector<AlertStatus>& alerts = {});
