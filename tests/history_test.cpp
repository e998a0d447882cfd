// The history ring, and the charts, page and JSON documents drawn from it.
#include "history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>

#include "jsonview.h"
#include "sensor.h"
#include "statuspage.h"

using nlohmann::json;

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
}  // namespace

TEST(StatusChart, LineAndBandBreakAtGapsAndScaleToTheData) {
    std::vector<HistoryBucket> buckets(1440);
    for (int i = 100; i < 200; ++i) buckets[i] = {20.0f, 21.0f, 41.0f, 2};
    for (int i = 300; i < 310; ++i) buckets[i] = {21.0f, 23.0f, 44.0f, 2};
    buckets[1439] = {22.0f, 22.0f, 22.0f, 1};  // a lone minute: a dot on a whisker
    std::string svg = renderChart(QUANTITIES[0], buckets, {});
    std::string line = pathOf(svg, "line");
    EXPECT_EQ(std::count(line.begin(), line.end(), 'M'), 2) << line;  // one piece per run
    std::string band = pathOf(svg, "band");
    EXPECT_EQ(std::count(band.begin(), band.end(), 'z'), 2) << band;
    EXPECT_EQ(line.rfind("M100 ", 0), 0u) << line;
    EXPECT_LT(line.size(), 40u) << line;  // 99 flat minutes are one step
    EXPECT_EQ(pathOf(svg, "dot").rfind("M1439 ", 0), 0u) << svg;
    EXPECT_EQ(pathOf(svg, "whisker").rfind("M1439 ", 0), 0u);
    for (const char* part : {">20<", ">23<", "°C, last 24 hours"})
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    std::string empty = renderChart(QUANTITIES[1], std::vector<HistoryBucket>(1440), {});
    EXPECT_EQ(pathOf(empty, "line"), "");
    EXPECT_NE(empty.find("no valid reading in the last 24 hours"), std::string::npos);
}

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
    std::string d = pathOf(svg, "line");
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2) << "the gap stays one";
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
    // a quarter down the axis from 20 to 10.
    std::vector<HistoryBucket> weighed(1440);
    weighed[0] = {10, 10, 10, 1};
    weighed[1] = {20, 20, 60, 3};
    EXPECT_EQ(pathOf(renderChart(QUANTITIES[0], weighed, {}, 0), "line"), "M0 35l1 0");
}

TEST(StatusChart, TimeAxisIsLocalTimeAndCrossesMidnight) {
    setenv("TZ", "XYZ-2", 1);  // local midnight is 22:00 UTC, the end of the window
    tzset();
    int64_t last = History::utcMinuteOf(WALL_AT);
    std::vector<TimeTick> ticks = timeTicks(last);
    ASSERT_EQ(ticks.size(), 8u);  // 03:00 ... 21:00 and the midnight of Wednesday
    EXPECT_EQ(std::tie(ticks[0].index, ticks[0].label, ticks[0].major),
              std::tuple(179, "03:00", false));
    EXPECT_EQ(std::tie(ticks[7].index, ticks[7].label, ticks[7].major),
              std::tuple(1439, "Wed", true));
    SensorHistory ring;
    for (int i = -30; i <= 30; ++i) ring.add(last + i, TEMPERATURE, 5 + i * 0.1);
    std::string svg = renderChart(
        QUANTITIES[0], ring.series(HistoryRange::DAY, last + 30).buckets[0], timeTicks(last + 30));
    std::string line = pathOf(svg, "line");
    EXPECT_EQ(std::count(line.begin(), line.end(), 'M'), 1);  // one piece through midnight
    EXPECT_NE(svg.find(">Wed</text>"), std::string::npos);
    unsetenv("TZ");
    tzset();
}

TEST(StatusPage, EscapesConfiguredTextsAndStaysSmallForSixteenDevicesWithADayOfData) {
    History history;
    int64_t now = WALL_AT + 86400;
    std::vector<std::unique_ptr<Sensor>> sensors;
    std::vector<NamedSnapshot> devices(16);
    srand(7);
    for (NamedSnapshot& device : devices) {
        sensors.push_back(std::make_unique<Sensor>(nullptr, "/dev/ttyUSB"));
        device.sensor = sensors.back().get();
        device.names = {"attic" + std::to_string(sensors.size())};
        SensorHistory* ring = history.track(device.sensor);
        for (int64_t t = now - 86400; t <= now; t += 10) {
            double day = std::sin(t * 2 * M_PI / 86400), noise = (rand() % 21 - 10) / 100.0;
            for (int q = 1; q <= 3; ++q)  // noisy values of one decimal, one line each 10 s
                ring->add(History::utcMinuteOf(t), static_cast<ReadType>(q),
                          std::round((q * 20 + 4 * day + q * noise) * 10) / 10);
        }
    }
    devices[0].names = {"cellar"};
    devices[0].snapshot.device = "/dev/serial/by-id/usb-\"x\"&<y>";
    std::string page = renderStatusPage(devices, history, now, "host<&>'");
    for (const char* part :
         {"/dev/serial/by-id/usb-&quot;x&quot;&amp;&lt;y&gt;", "Climate on host&lt;&amp;&gt;&#39;",
          "<meta http-equiv=\"refresh\" content=\"60\">", "prefers-color-scheme:dark"})
        EXPECT_NE(page.find(part), std::string::npos) << part;
    EXPECT_FALSE(std::regex_search(page, std::regex("https?://")));  // nothing from elsewhere
    std::regex line("class=\"line\"");
    EXPECT_EQ(std::distance(std::sregex_iterator(page.begin(), page.end(), line), {}), 48);
    std::cout << "status page, 16 devices with a full day: " << page.size() << " bytes\n";
    EXPECT_LT(page.size(), 300u * 1000);
}

TEST(WebJson, ReadingsHoldNullForNoNumberAndStandInForBadText) {
    std::vector<NamedSnapshot> devices(2);
    devices[0].names = {"cellar"};
    devices[0].snapshot.ageS = 3;
    devices[0].snapshot.fresh = true;
    devices[0].snapshot.values[0] = makeValue("21.5");  // humidity: fresh, but no number
    devices[1].names = {"bad\xff name"};
    json doc = json::parse(readingsJson(devices, WALL_AT));
    EXPECT_EQ(doc["time"], WALL_AT);
    const json& r = doc["sensors"]["cellar"]["readings"];
    EXPECT_EQ(r["temperature"], json::parse(R"({"value":21.5,"valid":true,"age":3,"unit":"°C"})"));
    EXPECT_TRUE(r["humidity"]["value"].is_null());
    EXPECT_EQ(r["humidity"]["valid"], true);
    const json& bad = doc["sensors"]["bad\xEF\xBF\xBD name"];
    EXPECT_TRUE(bad["age"].is_null() && bad["readings"]["temperature"]["age"].is_null());
    EXPECT_EQ(bad["readings"]["temperature"]["valid"], false);
}

TEST(WebJson, HistoryListsTheMinutesWithValuesAndTheirWallTimes) {
    SensorHistory ring;
    int64_t minute = History::utcMinuteOf(WALL_AT);
    ring.add(minute - 2, HUMIDITY, 48.3);
    ring.add(minute - 2, HUMIDITY, 48.4);
    ring.add(minute, TEMPERATURE, 21.5);
    NamedSnapshot device;
    device.snapshot.device = "/dev/ttyUSB0";
    json doc = json::parse(
        historyJson("cellar", device, ring.series(HistoryRange::DAY, minute), WALL_AT + 30));
    EXPECT_EQ(doc, json::parse(R"({"name":"cellar","device":"/dev/ttyUSB0","time":1709676030,
        "bucketSeconds":60,"minutes":1440,"buckets":{"dewpoint":[],
        "temperature":[{"time":1709676000,"min":21.5,"mean":21.5,"max":21.5,"count":1}],
        "humidity":[{"time":1709675880,"min":48.3,"mean":48.35,"max":48.4,"count":2}]}})"));
}
