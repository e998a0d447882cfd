// HTML and SVG of the status page. Charts are drawn at one unit per bucket
// (1,439 x 140 for a day) in a view box stretched to the chart's width, with
// a point per few buckets (about one per pixel); strokes keep their width
// (non-scaling-stroke) and labels sit outside that view box, so the page
// reads the same on a phone and on a desktop.
#include "statuspage.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "csvview.h"
#include "http.h"

namespace {

const int PLOT_HEIGHT = 140;  // view box units of the value axis: one per pixel
const int CHART_PX = 176;     // the chart's height on the page
const int PLOT_TOP_PX = 14;
const int PLOT_PX = 140;
const int XLABEL_PX = 170;
const int GUTTER_PERCENT = 8;  // left of the plot: the value axis labels
// Points a chart aims at: about as many as it has pixels across on a
// desktop or a phone. A day is a point per four minutes (360), a week one per
// half hour (336), a month one per two hours (372), a year one per day (366).
const int POINTS_PER_CHART = 360;

const char STYLE[] = R"(
:root{color-scheme:light dark;--bg:#f3f5f7;--card:#fff;--fg:#1b2330;--muted:#5b6676;--grid:#e2e6eb;--ok:#2b8a3e;--bad:#c92a2a;--t:#e8590c;--h:#1c7ed6;--d:#0b8a8a}
@media (prefers-color-scheme:dark){:root{--bg:#0f1318;--card:#181e26;--fg:#e3e8ee;--muted:#98a3b2;--grid:#2b333e;--ok:#69db7c;--bad:#ff8787;--t:#ff922b;--h:#4dabf7;--d:#38d9c9}}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--fg);font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif}
header,main,footer{max-width:1240px;margin:0 auto;padding:12px 14px}
h1{font-size:1.35rem;margin:0}
.sub,footer{color:var(--muted);font-size:.85rem}
.sub{margin:2px 0 0}
.card{background:var(--card);border:1px solid var(--grid);border-radius:10px;padding:12px 14px;margin:0 0 14px}
h2{font-size:1.2rem;margin:0;overflow-wrap:anywhere}
.meta{color:var(--muted);font-size:.85rem;margin:2px 0 10px;display:flex;flex-wrap:wrap;gap:2px 14px}
.meta code{overflow-wrap:anywhere}
.open{color:var(--ok)}.closed{color:var(--bad)}
.now{display:grid;grid-template-columns:repeat(3,1fr);gap:8px;margin:0 0 10px}
.reading{border-left:4px solid var(--c);padding:0 8px}
.label,.age{display:block;font-size:.8rem;color:var(--muted)}
.value{font-size:1.7rem;font-weight:600;white-space:nowrap}
.unit{font-size:1rem;font-weight:400;color:var(--muted)}
.stale .value{color:var(--muted)}
.charts{display:grid;grid-template-columns:repeat(auto-fit,minmax(300px,1fr));gap:10px 16px}
figure{margin:0}
figcaption{font-size:.85rem}
figcaption span{color:var(--muted)}
svg.chart{display:block;width:100%;overflow:visible}
svg.chart svg{overflow:visible}
.grid,.line,.dot,.whisker{fill:none;vector-effect:non-scaling-stroke}
.grid{stroke:var(--grid);stroke-width:1}
.line{stroke:var(--c);stroke-width:1.6;stroke-linejoin:round;stroke-linecap:round}
.band{fill:var(--c);opacity:.28}
.dot{stroke:var(--c);stroke-width:5;stroke-linecap:round}
.whisker{stroke:var(--c);stroke-width:3;opacity:.35}
text{fill:var(--muted);font-size:11px}
.q-temperature{--c:var(--t)}.q-humidity{--c:var(--h)}.q-dewpoint{--c:var(--d)}
a{color:var(--h)}
nav.ranges{display:flex;gap:6px;margin:8px 0 0}
nav.ranges a{padding:2px 12px;border:1px solid var(--grid);border-radius:14px;text-decoration:none}
nav.ranges a[aria-current]{background:var(--h);border-color:var(--h);color:var(--card);font-weight:600}
.alerts{border-left:6px solid var(--bad)}
.alerts h2{color:var(--bad)}
.alerts ul{margin:6px 0 0;padding-left:20px}
.alerts li{margin:2px 0;overflow-wrap:anywhere}
.alerts .since{color:var(--muted);font-size:.85rem}
.card.alerting{border-color:var(--bad);box-shadow:inset 4px 0 0 var(--bad)}
.badge{background:var(--bad);color:var(--card);border-radius:9px;padding:0 8px;margin-left:8px;font-size:.8rem;font-weight:600;vertical-align:middle}
.reading.alerting{border-left-color:var(--bad)}.reading.alerting .value{color:var(--bad)}
@media (max-width:620px){.minor{display:none}.value{font-size:1.3rem}.now{gap:4px}.reading{padding:0 5px}}
)";

std::string ageText(int64_t seconds) {
    if (seconds < 120) return std::to_string(seconds) + " s";
    if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " days";
}

// wall (Unix time) in local time as format says.
std::string localText(int64_t wall, const char* format) {
    time_t t = static_cast<time_t>(wall);
    struct tm local = {};
    localtime_r(&t, &local);
    char text[64];
    strftime(text, sizeof(text), format, &local);
    return text;
}

// The raised alerts as a list: what is past which limit since when.
std::string alertList(const std::vector<AlertStatus>& alerts) {
    std::ostringstream out;
    size_t raised = 0;
    for (const AlertStatus& a : alerts) {
        if (!a.active) continue;
        out << "<li><strong class=\"name\">" << htmlEscape(a.name) << "</strong> &middot; ";
        const Quantity* q = quantityOfKey(a.quantity);
        if (q == nullptr) {
            out << "no valid reading for " << htmlEscape(a.limit);
        } else {
            out << q->title << (a.value.empty() ? "" : " " + htmlEscape(a.value) + " " + q->unit)
                << ": <span class=\"rule\">" << htmlEscape(a.alert) << "</span>";
        }
        out << " <span class=\"since\">since " << localText(a.since, "%a %d %b %H:%M")
            << "</span></li>\n";
        ++raised;
    }
    if (raised == 0) return "";
    return "<section class=\"card alerts\" role=\"alert\"><h2>" + std::to_string(raised) +
           (raised == 1 ? " alert" : " alerts") + " raised</h2>\n<ul>\n" + out.str() +
           "</ul></section>\n";
}

std::string fixed(double value, int decimals) {
    char text[32];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// The value axis: from lo to hi in steps of 1, 2 or 5 times a power of ten,
// at least one unit high, with the data in between.
struct Scale {
    double lo, hi, step;
    int decimals;
};

Scale scaleFor(double min, double max) {
    const double minSpan = 1;
    double span = std::max(max - min, minSpan);
    double raw = span / 4;
    double magnitude = std::pow(10, std::floor(std::log10(raw)));
    double f = raw / magnitude;
    double step = magnitude * (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10);
    double lo = std::floor(min / step) * step, hi = std::ceil(max / step) * step;
    if (hi - lo < minSpan) {
        double middle = (min + max) / 2;
        lo = std::floor((middle - minSpan / 2) / step) * step;
        hi = std::ceil((middle + minSpan / 2) / step) * step;
    }
    int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return {lo, hi, step, decimals};
}

// Buckets of a chart merged: the lowest min, the highest max, the mean of
// all their values.
struct Point {
    int x;  // the series' bucket index
    double min, max, mean;
};

// The points of buckets (buckets[0] is bucket number first, counted from
// the epoch) in runs of perPoint buckets, a new run after a group none of
// which has a value. Groups follow the bucket numbers, so a chart drawn a
// bucket later keeps its points. A run begins at its first bucket with a value
// and ends at its last; a run of one point is a lone bucket.
std::vector<std::vector<Point>> runsOf(const std::vector<HistoryBucket>& buckets, int64_t first,
                                       int perPoint) {
    std::vector<std::vector<Point>> runs;
    std::vector<Point> run;
    int runEnd = 0;  // the last bucket with a value of run
    auto endRun = [&] {
        if (run.empty()) return;
        if (run.size() > 1 || run[0].x != runEnd) {
            if (run.size() == 1) run.push_back(run[0]);
            run.back().x = runEnd;
        }
        runs.push_back(std::move(run));
        run.clear();
    };
    const int size = static_cast<int>(buckets.size());
    for (int start = 0; start < size;) {
        int64_t phase = ((first + start) % perPoint + perPoint) % perPoint;
        int end = std::min(size, start + perPoint - static_cast<int>(phase));
        Point p = {-1, 0, 0, 0};
        double sum = 0, count = 0;
        for (int i = start; i < end; ++i) {
            const HistoryBucket& b = buckets[i];
            if (!shownBucket(b)) continue;
            p.min = p.x < 0 ? b.min : std::min(p.min, static_cast<double>(b.min));
            p.max = p.x < 0 ? b.max : std::max(p.max, static_cast<double>(b.max));
            if (p.x < 0) p.x = i;
            sum += b.sum;
            count += b.count;
            runEnd = i;
        }
        if (p.x < 0) {
            endRun();
        } else {
            p.mean = sum / count;
            if (!run.empty()) p.x = (p.x + runEnd) / 2;  // the middle of the group's values
            run.push_back(p);
        }
        start = end;
    }
    endRun();
    return runs;
}

// Path data with relative moves between integer points; a run of equal steps
// becomes one step ("l5 -5" for five steps of "1 -1").
class PathData {
  public:
    void moveTo(int x, int y) {
        flush();
        text += 'M';
        number(x);
        text += ' ';
        number(y);
        lastX = x;
        lastY = y;
        inLine = false;
    }
    void lineTo(int x, int y) {
        int dx = x - lastX, dy = y - lastY;
        if (runCount > 0 && dx == runDx && dy == runDy) {
            ++runCount;
        } else {
            flush();
            runDx = dx;
            runDy = dy;
            runCount = 1;
        }
        lastX = x;
        lastY = y;
    }
    void close() {
        flush();
        text += 'z';
    }
    const std::string& str() {
        flush();
        return text;
    }

  private:
    void number(long long n) {
        if (n >= 0 && !text.empty() && (std::isdigit(static_cast<unsigned char>(text.back())))) {
            text += ' ';
        }
        char digits[24];
        text.append(digits, std::to_chars(digits, digits + sizeof(digits), n).ptr);
    }
    void flush() {
        if (runCount == 0) return;
        if (!inLine) {
            text += 'l';
            inLine = true;
        }
        number(static_cast<long long>(runDx) * runCount);
        number(static_cast<long long>(runDy) * runCount);
        runCount = 0;
    }

    std::string text;
    int lastX = 0, lastY = 0;
    int runDx = 0, runDy = 0, runCount = 0;
    bool inLine = false;
};

}  // namespace

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const char* spanOf(HistoryRange range) {
    switch (range) {
        case HistoryRange::WEEK:
            return "last 7 days";
        case HistoryRange::MONTH:
            return "last 31 days";
        case HistoryRange::YEAR:
            return "last year";
        default:
            return "last 24 hours";
    }
}

std::vector<TimeTick> timeTicks(HistoryRange range, int64_t firstMinute, int stepMinutes,
                                int count) {
    // A tick marks the bucket in which a new local hour (every third), day
    // (a week: every day; a month: every Monday) or month begins.
    auto localAt = [&](int i) {
        time_t wall =
            static_cast<time_t>((firstMinute + static_cast<int64_t>(i) * stepMinutes) * 60);
        struct tm local = {};
        localtime_r(&wall, &local);
        return local;
    };
    std::vector<TimeTick> ticks;
    struct tm before = localAt(-1);
    for (int i = 0; i < count; ++i) {
        struct tm local = localAt(i);
        bool newHour = local.tm_hour != before.tm_hour || local.tm_mday != before.tm_mday;
        bool newDay = local.tm_mday != before.tm_mday || local.tm_mon != before.tm_mon;
        bool newMonth = local.tm_mon != before.tm_mon;
        before = local;
        const char* format = nullptr;
        bool major = true;
        switch (range) {
            case HistoryRange::DAY:
                if (!newHour || local.tm_hour % 3 != 0) continue;
                format = local.tm_hour == 0 ? "%a" : "%H:%M";
                major = local.tm_hour % 6 == 0;
                break;
            case HistoryRange::WEEK:
                if (!newDay) continue;
                format = "%a %d";
                break;
            case HistoryRange::MONTH:
                if (!newDay || local.tm_wday != 1) continue;
                format = "%d %b";
                break;
            case HistoryRange::YEAR:
                if (!newMonth) continue;
                format = local.tm_mon == 0 ? "%Y" : "%b";
                major = local.tm_mon % 3 == 0;
                break;
        }
        char label[32];
        strftime(label, sizeof(label), format, &local);
        ticks.push_back({i, label, major});
    }
    return ticks;
}

std::string renderChart(const Quantity& quantity, const std::vector<HistoryBucket>& buckets,
                        const std::vector<TimeTick>& ticks, int64_t firstMinute, int stepMinutes,
                        const char* span) {
    const int last = static_cast<int>(buckets.size()) - 1;
    const int size = static_cast<int>(buckets.size());
    const int perPoint = std::max(1, (size + POINTS_PER_CHART / 2) / POINTS_PER_CHART);
    int64_t firstBucket = firstMinute / stepMinutes - (firstMinute % stepMinutes < 0);
    std::vector<std::vector<Point>> runs = runsOf(buckets, firstBucket, perPoint);
    double min = 0, max = 0;
    bool any = false;
    for (const auto& run : runs)
        for (const Point& p : run) {
            min = any ? std::min(min, p.min) : p.min;
            max = any ? std::max(max, p.max) : p.max;
            any = true;
        }
    Scale scale = scaleFor(min, max);
    auto yOf = [&](double v) {
        double y = (scale.hi - v) / (scale.hi - scale.lo) * PLOT_HEIGHT;
        return static_cast<int>(std::lround(std::clamp(y, 0.0, double(PLOT_HEIGHT))));
    };

    // Runs are a band and a line; a lone bucket between gaps would be a
    // hairline, so it is a dot on a whisker from its min to its max.
    PathData band, line;
    std::string dots, whiskers;
    for (const auto& run : runs) {
        if (run.size() == 1) {
            const Point& p = run[0];
            int top = yOf(p.max);
            dots += 'M' + std::to_string(p.x) + ' ' + std::to_string(yOf(p.mean)) + "h0";
            whiskers += 'M' + std::to_string(p.x) + ' ' + std::to_string(top) + 'v' +
                        std::to_string(yOf(p.min) - top);
            continue;
        }
        line.moveTo(run[0].x, yOf(run[0].mean));
        band.moveTo(run[0].x, yOf(run[0].max));
        for (size_t j = 1; j < run.size(); ++j) {
            line.lineTo(run[j].x, yOf(run[j].mean));
            band.lineTo(run[j].x, yOf(run[j].max));
        }
        for (size_t j = run.size(); j-- > 0;) band.lineTo(run[j].x, yOf(run[j].min));
        band.close();
    }

    std::string title = quantity.title;
    std::ostringstream out;
    out << "<figure class=\"q-" << quantity.key << "\"><figcaption>" << title << " <span>"
        << quantity.unit << ", " << span << "</span></figcaption>\n"
        << "<svg class=\"chart\" height=\"" << CHART_PX << "\" role=\"img\" aria-label=\"" << title
        << ", " << span << "\">\n"
        << "<svg x=\"" << GUTTER_PERCENT << "%\" y=\"" << PLOT_TOP_PX << "\" width=\""
        << 100 - GUTTER_PERCENT << "%\" height=\"" << PLOT_PX << "\" viewBox=\"0 0 " << last << ' '
        << PLOT_HEIGHT << "\" preserveAspectRatio=\"none\">\n<path class=\"grid\" d=\"";
    int gridLines = 0;
    for (double v = scale.lo; v <= scale.hi + scale.step / 2; v += scale.step, ++gridLines)
        out << 'M' << 0 << ' ' << yOf(v) << 'H' << last;
    for (const TimeTick& tick : ticks) out << 'M' << tick.index << " 0V" << PLOT_HEIGHT;
    out << "\"/>\n";
    if (!line.str().empty()) {
        out << "<path class=\"band\" d=\"" << band.str() << "\"/>\n"
            << "<path class=\"line\" d=\"" << line.str() << "\"/>\n";
    }
    if (!dots.empty()) {
        out << "<path class=\"whisker\" d=\"" << whiskers << "\"/>\n"
            << "<path class=\"dot\" d=\"" << dots << "\"/>\n";
    }
    out << "</svg>\n";
    for (int k = 0; k < gridLines; ++k) {
        double v = scale.lo + k * scale.step;
        int y = PLOT_TOP_PX + yOf(v) * PLOT_PX / PLOT_HEIGHT + 4;
        out << "<text x=\"" << GUTTER_PERCENT - 1 << "%\" y=\"" << y << "\" text-anchor=\"end\">"
            << fixed(v, scale.decimals) << "</text>";
    }
    for (const TimeTick& tick : ticks) {
        double percent = GUTTER_PERCENT + (100.0 - GUTTER_PERCENT) * tick.index / last;
        const char* anchor = percent > 96 ? "end" : "middle";
        out << "<text" << (tick.major ? "" : " class=\"minor\"") << " x=\"" << fixed(percent, 2)
            << "%\" y=\"" << XLABEL_PX << "\" text-anchor=\"" << anchor << "\">" << tick.label
            << "</text>";
    }
    if (!any) {
        out << "<text x=\"" << 50 + GUTTER_PERCENT / 2 << "%\" y=\"" << PLOT_TOP_PX + PLOT_PX / 2
            << "\" text-anchor=\"middle\">no valid reading in the " << span << "</text>";
    }
    out << "\n</svg></figure>\n";
    return out.str();
}

std::string renderStatusPage(const std::vector<SensorSnapshot>& devices, const SeriesOf& seriesOf,
                             HistoryRange range, int64_t wallNow, const std::string& host,
                             const std::vector<AlertStatus>& alerts) {
    const char* span = spanOf(range);
    const std::string rangeName = historyRangeName(range);
    const std::string updated = localText(wallNow, "%a %d %b %H:%M:%S %Z");

    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<meta http-equiv=\"refresh\" content=\"60\">\n"
        << "<meta name=\"color-scheme\" content=\"light dark\">\n"
        << "<title>Climate on " << htmlEscape(host) << "</title>\n<style>" << STYLE
        << "</style></head>\n<body>\n<header><h1>Climate on " << htmlEscape(host)
        << "</h1><p class=\"sub\">As of " << updated
        << " &middot; reloads every minute</p>\n<nav class=\"ranges\" aria-label=\"Charts of "
           "the\">";
    for (HistoryRange r :
         {HistoryRange::DAY, HistoryRange::WEEK, HistoryRange::MONTH, HistoryRange::YEAR}) {
        out << "<a href=\"/?range=" << historyRangeName(r) << '"'
            << (r == range ? " aria-current=\"page\"" : "") << '>' << historyRangeName(r) << "</a>";
    }
    out << "</nav></header>\n<main>\n" << alertList(alerts);
    std::vector<TimeTick> ticks;
    bool ticked = false;
    for (const SensorSnapshot& device : devices) {
        // The raised alerts of the device: any, and those of each quantity.
        bool alerting = false, quantityAlerting[QUANTITY_COUNT] = {};
        for (const AlertStatus& a : alerts) {
            if (!a.active || a.device != device.device) continue;
            alerting = true;
            if (const Quantity* q = quantityOfKey(a.quantity)) quantityAlerting[q->type - 1] = true;
        }
        out << "<section class=\"card" << (alerting ? " alerting" : "") << "\">\n<h2>";
        for (size_t i = 0; i < device.names.size(); ++i)
            out << (i ? " &middot; " : "") << "<span class=\"name\">" << htmlEscape(device.names[i])
                << "</span>";
        if (alerting) out << "<span class=\"badge\">alert</span>";
        out << "</h2>\n<p class=\"meta\"><code class=\"device\">" << htmlEscape(device.device)
            << "</code><span class=\"state " << (device.open ? "open\">open" : "closed\">not open")
            << "</span><span class=\"reconnects\">" << device.reconnects
            << (device.reconnects == 1 ? " reconnect" : " reconnects") << "</span>";
        if (!device.names.empty()) {
            out << "<a class=\"csv\" href=\"/history.csv?name="
                << htmlEscape(percentEncode(device.names[0])) << "&amp;range=" << rangeName
                << "\">CSV of the " << span << "</a>";
        }
        out << "</p>\n"
            << "<div class=\"now\">\n";
        for (const Quantity& q : QUANTITIES) {
            const bool served = device.served(q.type - 1);
            out << "<div class=\"reading q-" << q.key << (served ? "" : " stale")
                << (quantityAlerting[q.type - 1] ? " alerting" : "") << "\" data-quantity=\""
                << q.key << "\"><span class=\"label\">" << q.title
                << "</span><span class=\"value\">";
            if (served) {
                const std::string text = htmlEscape(device.values[q.type - 1].text);
                out << "<data value=\"" << text << "\">" << text << "</data>";
            } else {
                out << "&ndash;";
            }
            out << " <span class=\"unit\">" << q.unit << "</span></span><span class=\"age\">";
            if (device.ageS < 0) {
                out << "no data yet";
            } else if (device.fresh) {
                out << ageText(device.ageS) << " ago";
            } else {
                out << "no data for " << ageText(device.ageS);
            }
            out << "</span></div>\n";
        }
        out << "</div>\n<div class=\"charts\">\n";
        HistorySeries series = seriesOf(device);
        if (!ticked) {
            ticks = timeTicks(range, series.firstMinute, series.stepMinutes,
                              static_cast<int>(series.buckets[0].size()));
            ticked = true;
        }
        for (const Quantity& q : QUANTITIES)
            out << renderChart(q, series.buckets[q.type - 1], ticks, series.firstMinute,
                               series.stepMinutes, span);
        out << "</div>\n</section>\n";
    }
    std::string first = devices.empty() || devices[0].names.empty() ? "" : devices[0].names[0];
    out << "</main>\n<footer>For scripts: <a href=\"/readings.json\">readings.json</a> &middot; "
        << "<a href=\"/history.json?name=" << htmlEscape(percentEncode(first))
        << "&amp;range=" << rangeName << "\">history.json?name=" << htmlEscape(first)
        << "&amp;range=" << rangeName << "</a> &middot; "
        << (alerts.empty() ? "" : "<a href=\"/alerts.json\">alerts.json</a> &middot; ")
        << "<a href=\"/metrics\">metrics</a></footer>\n"
        << "</body></html>\n";
    return out.str();
}
