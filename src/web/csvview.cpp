// CSV text of a history series, built by hand: every field is a number or a
// time, so nothing needs quoting.
#include "csvview.h"

#include <charconv>
#include <cmath>
#include <ctime>

std::string isoUtcTime(int64_t unixTime) {
    time_t t = static_cast<time_t>(unixTime);
    struct tm utc = {};
    char text[32] = "";
    if (gmtime_r(&t, &utc) != nullptr) strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void appendNumber(std::string& out, double value) {
    double rounded = std::round(value * 1e4) / 1e4;
    if (rounded == 0) rounded = 0;  // no "-0"
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof(text), rounded).ptr);
}

bool shownBucket(const HistoryBucket& b) {
    return b.count > 0 && std::isfinite(b.min) && std::isfinite(b.max) && std::isfinite(b.mean());
}

void appendInteger(std::string& out, int64_t n) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof(text), n).ptr);
}

std::string numberText(double value) {
    std::string text;
    appendNumber(text, value);
    return text;
}

std::string historyCsv(const HistorySeries& series) {
    std::string out = "time";
    for (const Quantity& q : QUANTITIES)
        for (const char* part : {"_mean", "_min", "_max"}) out.append(",").append(q.key) += part;
    out += "\r\n";
    const size_t count = series.buckets[0].size();
    out.reserve(out.size() + count * 96);
    for (size_t i = 0; i < count; ++i) {
        out += isoUtcTime((series.firstMinute + static_cast<int64_t>(i) * series.stepMinutes) * 60);
        for (const auto& buckets : series.buckets) {
            const HistoryBucket& b = buckets[i];
            if (!shownBucket(b)) {
                out += ",,,";
                continue;
            }
            out += ',';
            appendNumber(out, b.mean());
            out += ',';
            appendNumber(out, b.min);
            out += ',';
            appendNumber(out, b.max);
        }
        out += "\r\n";
    }
    return out;
}
