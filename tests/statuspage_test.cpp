// The status page: its charts, their time axes and the whole page per range.
#include "statuspage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <regex>

#include "testutil.h"

namespace {
// Tue 2024-03-05 22:00:00 UTC.
const int64_t WALL_AT = 1709676000;

// The d attribute of the path of class cls in svg; empty without one.
std::string pathOf(const std::string& svg, const std::string& cls) {
    std::smatch m;
    std::regex_search(svg, m, std::regex("class=\"" + cls + "\" d=\"([^\"]*)\""));
    return m.empty() ? "" : m[1].str();
}

using Points = std::vector<std::pair<int, int>>;

// The points of path data d: absolute moves (M) and relative lines (l).
Points pointsOf(const std::string& d) {
    Points points;
    char command = 0;
    size_t at = 0;
    auto number = [&] {
        size_t used = 0;
        int n = std::stoi(d.substr(at), &used);
        at += used;
        return n;
    };
    while (at < d.size()) {
        if (isalpha(static_cast<unsigned char>(d[at]))) {
            command = d[at++];
        } else if (d[at] == ' ') {
            ++at;
        } else {
            int x = number(), y = number();
            if (command == 'l')
                points.push_back({points.back().first + x, points.back().second + y});
            if (command == 'M') points.push_back({x, y});
        }
    }
    return points;
}

// A series of range ending at UTC minute nowMinute, every bucket holding
// value(i) (no bucket where it is NaN).
template <typename F>
HistorySeries seriesFilled(HistoryRange range, int64_t nowMinute, F value) {
    static const std::pair<int, int> SHAPES[] = {{1, 1440}, {10, 1008}, {10, 4464}, {60, 8784}};
    auto [step, count] = SHAPES[static_cast<int>(range)];
    HistorySeries s;
    s.stepMinutes = step;
    s.firstMinute = (nowMinute / step - count + 1) * step;
    for (int q = 0; q < QUANTITY_COUNT; ++q) {
        s.buckets[q].resize(count);
        for (int i = 0; i < count; ++i) {
            double v = value(i, q);
            if (std::isnan(v)) continue;
            float f = static_cast<float>(v);
            s.buckets[q][i] = {f, f, f * step, static_cast<uint32_t>(step)};
        }
    }
    return s;
}

struct LocalTime {
    explicit LocalTime(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    ~LocalTime() {
        unsetenv("TZ");
        tzset();
    }
};
}  // namespace

TEST(StatusChart, ADayIsAPointPerFewMinutesThatKeepsExtremesGapsAndWeights) {
    std::vector<HistoryBucket> buckets(1440);
    for (int i = 0; i < 1440; ++i) {
        float v = i % 2 ? 20.5f : 20.0f;                         // as noisy as can be
        if (i < 600 || i >= 610) buckets[i] = {v, v, 3 * v, 3};  // ten minutes missing
    }
    buckets[101] = {20, 30, 75, 3};  // one minute reaching up, one down
    buckets[1001] = {10, 20.5, 61.5, 3};
    std::string svg = renderChart(QUANTITIES[0], buckets, {}, 0);
    Points line = pointsOf(pathOf(svg, "line")), band = pointsOf(pathOf(svg, "band"));
    EXPECT_LE(line.size(), 1440u / 4 + 2);  // a chart has no more pixels across
    std::string d = pathOf(svg, "line"), bandPath = pathOf(svg, "band");
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2) << "the gap stays one";
    EXPECT_EQ(std::count(bandPath.begin(), bandPath.end(), 'z'), 2) << bandPath;
    for (const char* part : {">10<", ">30<", "°C, last 24 hours"})
        EXPECT_TRUE(has(svg, part)) << part;
    EXPECT_EQ(line.front().first, 0);
    EXPECT_EQ(line.back().first, 1439);
    auto edge = std::find_if(line.begin(), line.end(), [](auto p) { return p.first >= 599; });
    ASSERT_TRUE(edge != line.end() && edge + 1 != line.end());
    EXPECT_EQ(std::pair(edge->first, (edge + 1)->first), std::pair(599, 610)) << "the gap's edges";
    auto [lowest, highest] = std::minmax_element(
        band.begin(), band.end(), [](auto a, auto b) { return a.second < b.second; });
    EXPECT_EQ(lowest->second, 0);     // 30, the top of the value axis from 10 to 30
    EXPECT_EQ(highest->second, 140);  // 10, its bottom

    // Minutes merge by their values: one of 10 and three of 20 make 17.5,
    // a quarter down the axis from 20 to 10. A lone minute is a dot on a whisker.
    std::vector<HistoryBucket> weighed(1440);
    weighed[0] = {10, 10, 10, 1};
    weighed[1] = {20, 20, 60, 3};
    weighed[1439] = {15, 15, 15, 1};
    svg = renderChart(QUANTITIES[0], weighed, {}, 0);
    EXPECT_EQ(pathOf(svg, "line"), "M0 35l1 0");
    EXPECT_EQ(pathOf(svg, "dot").rfind("M1439 ", 0), 0u) << svg;
    EXPECT_EQ(pathOf(svg, "whisker").rfind("M1439 ", 0), 0u);
}

TEST(StatusChart, TimeAxesFitTheRangeInLocalTime) {
    LocalTime zone("XYZ-2");  // local midnight is 22:00 UTC, the end of each range
    const int64_t last = WALL_AT / 60;
    std::vector<TimeTick> day = timeTicks(HistoryRange::DAY, last - 1439, 1, 1440);
    ASSERT_EQ(day.size(), 8u);  // 03:00 ... 21:00 and the midnight of Wednesday
    EXPECT_EQ(std::tie(day[0].index, day[0].label, day[0].major), std::tuple(179, "03:00", false));
    EXPECT_EQ(std::tie(day[7].index, day[7].label, day[7].major), std::tuple(1439, "Wed", true));

    // A week of ten minutes from Wed 28 Feb 00:10: each midnight, in a leap year.
    std::vector<TimeTick> week = timeTicks(HistoryRange::WEEK, last - 1007 * 10, 10, 1008);
    ASSERT_EQ(week.size(), 7u);
    EXPECT_EQ(std::tie(week[0].index, week[0].label), std::tuple(143, "Thu 29"));
    EXPECT_EQ(std::tie(week[6].index, week[6].label), std::tuple(1007, "Wed 06"));

    std::vector<TimeTick> month = timeTicks(HistoryRange::MONTH, last - 4463 * 10, 10, 4464);
    ASSERT_EQ(month.size(), 5u);  // from Sun 4 Feb 00:10: the Mondays from 5 Feb on
    EXPECT_EQ(month[0].label, "05 Feb");
    EXPECT_EQ(month[4].label, "04 Mar");
    EXPECT_EQ(month[4].index, 4463 - 2 * 144);  // two days before the end

    const int64_t lastHour = last / 60 * 60;
    std::vector<TimeTick> year = timeTicks(HistoryRange::YEAR, lastHour - 8783 * 60, 60, 8784);
    std::string labels;
    for (const TimeTick& t : year) labels += t.label + (t.major ? "* " : " ");
    EXPECT_EQ(labels, "Apr* May Jun Jul* Aug Sep Oct* Nov Dec 2024* Feb Mar ");
    EXPECT_EQ(year.back().index, 8783 - 5 * 24);  // 1 Mar, five days before the end
}

TEST(StatusChart, EveryRangeIsAFewHundredPointsThatFollowTheBuckets) {
    for (HistoryRange range :
         {HistoryRange::DAY, HistoryRange::WEEK, HistoryRange::MONTH, HistoryRange::YEAR}) {
        // Noisy values with one gap of a tenth of the range, ending a third in.
        HistorySeries s =
            seriesFilled(range, WALL_AT / 60, [](int i, int) { return i * 7919 % 101 / 10.0; });
        const int count = static_cast<int>(s.buckets[0].size());
        for (int i = count * 7 / 30; i < count / 3; ++i) s.buckets[0][i] = {};
        std::string svg = renderChart(QUANTITIES[0], s.buckets[0], {}, s.firstMinute, s.stepMinutes,
                                      spanOf(range));
        Points line = pointsOf(pathOf(svg, "line"));
        SCOPED_TRACE(historyRangeName(range));
        EXPECT_GE(line.size(), 250u);
        EXPECT_LE(line.size(), 400u);
        std::string d = pathOf(svg, "line");
        EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2) << "the gap";
        EXPECT_EQ(line.back().first, count - 1);
        EXPECT_TRUE(has(svg, "viewBox=\"0 0 " + std::to_string(count - 1) + " 140\""));
        EXPECT_TRUE(has(svg, std::string("°C, ") + spanOf(range)));
    }
}

TEST(StatusPage, EscapesConfiguredTextsAndStaysSmallForSixteenDevicesOfEveryRange) {
    LocalTime zone("UTC0");
    std::vector<SensorSnapshot> devices(16);
    for (size_t i = 0; i < devices.size(); ++i) devices[i].names = {"attic" + std::to_string(i)};
    devices[0].names = {"cellar", "k\u00e4 &x"};
    devices[0].device = "/dev/serial/by-id/usb-\"x\"&<y>";
    devices[1].names = {"k\u00e4 &x2"};
    for (HistoryRange range :
         {HistoryRange::DAY, HistoryRange::WEEK, HistoryRange::MONTH, HistoryRange::YEAR}) {
        SCOPED_TRACE(historyRangeName(range));
        srand(7);
        // A daily curve of one decimal with noise; every device the same.
        HistorySeries s = seriesFilled(range, WALL_AT / 60, [](int, int) { return 0; });
        for (int q = 0; q < QUANTITY_COUNT; ++q)
            for (size_t i = 0; i < s.buckets[q].size(); ++i) {
                HistoryBucket& b = s.buckets[q][i];
                int64_t minute = s.firstMinute + static_cast<int64_t>(i) * s.stepMinutes;
                b = {1e9, -1e9, 0, 0};
                for (int m = 0; m < s.stepMinutes; ++m) {
                    double day = std::sin((minute + m) * 2 * M_PI / 1440);
                    double noise = (rand() % 21 - 10) / 100.0;
                    float v = std::round(((q + 1) * 20 + 4 * day + (q + 1) * noise) * 10) / 10;
                    b = {std::min(b.min, v), std::max(b.max, v), b.sum + v, b.count + 1};
                }
            }
        auto noisy = [&](const SensorSnapshot&) { return s; };
        std::vector<AlertStatus> alerts(1);
        alerts[0] = {"k\u00e4 &x", "", "stale", "1m", devices[0].device, true, WALL_AT, ""};
        std::string page = renderStatusPage(devices, noisy, range, WALL_AT, "host<&>'", alerts);
        for (const char* part :
             {"/dev/serial/by-id/usb-&quot;x&quot;&amp;&lt;y&gt;",
              "<strong class=\"name\">k\u00e4 &amp;x</strong> &middot; no valid reading for 1m",
              "Climate on host&lt;&amp;&gt;&#39;", "<meta http-equiv=\"refresh\" content=\"60\">",
              "prefers-color-scheme:dark", "<a href=\"/?range=day\"", "<a href=\"/?range=week\"",
              "<a href=\"/?range=month\"", "<a href=\"/?range=year\""})
            EXPECT_TRUE(has(page, part)) << part;
        std::string name = historyRangeName(range);
        EXPECT_EQ(countMatches(page, "aria-current=\"page\""), 1);
        EXPECT_TRUE(has(page, "<a href=\"/?range=" + name + "\" aria-current=\"page\">"));
        EXPECT_TRUE(has(page, "href=\"/history.csv?name=cellar&amp;range=" + name + "\""));
        EXPECT_TRUE(has(page, "href=\"/history.csv?name=k%C3%A4%20%26x2&amp;range=" + name + "\""));
        EXPECT_FALSE(std::regex_search(page, std::regex("https?://")));  // nothing from elsewhere
        EXPECT_FALSE(std::regex_search(page, std::regex("<script")));
        EXPECT_EQ(countMatches(page, "class=\"line\""), 48);
        std::cout << "status page, 16 devices with a full " << name << ": " << page.size()
                  << " bytes\n";
        EXPECT_LT(page.size(), 400u * 1000);
    }
}
