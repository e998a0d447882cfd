// The history ring, and the charts, page and JSON documents drawn from it,
// without a daemon.
#include "history.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>

#include "jsonview.h"
#include "sensor.h"
#include "statuspage.h"

using nlohmann::json;

namespace {
// Tue 2024-03-05 22:00:00 UTC; the clock (Sensor::clockNow()) reads CLOCK_AT then.
const int64_t WALL_AT = 1709676000;
const int64_t CLOCK_AT = 5000;
const int64_t OFFSET = WALL_AT - CLOCK_AT;

// A fixed zone two hours east of UTC, so that local midnight is 22:00 UTC.
class LocalZone {
  public:
    LocalZone() {
        const char* old = getenv("TZ");
        if (old != nullptr) saved = old;
        hadZone = old != nullptr;
        setenv("TZ", "XYZ-2", 1);
        tzset();
    }
    ~LocalZone() {
        if (hadZone) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::string saved;
    bool hadZone = false;
};

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The d attribute of the path of class cls in svg; empty when there is none.
std::string pathOf(const std::string& svg, const std::string& cls) {
    std::smatch m;
    if (!std::regex_search(svg, m, std::regex("class=\"" + cls + "\" d=\"([^\"]*)\""))) return "";
    return m[1];
}
}  // namespace

TEST(HistoryRing, KeepsMinMeanMaxAndCountPerMinuteAndRollsOverToTheNext) {
    History history(OFFSET);
    SensorHistory ring;
    int64_t minute = history.minuteOf(CLOCK_AT);
    EXPECT_EQ(minute * 60, WALL_AT);  // buckets begin on the wall clock's minutes
    EXPECT_EQ(history.minuteOf(CLOCK_AT + 59), minute);
    EXPECT_EQ(history.minuteOf(CLOCK_AT + 60), minute + 1);

    for (double v : {21.0, 23.0, 22.0}) ring.add(minute, TEMPERATURE, v);
    ring.add(minute, HUMIDITY, 48.5);
    ring.add(minute + 1, TEMPERATURE, -1.5);

    HistoryWindow w = ring.window(minute + 1);
    ASSERT_EQ(w.buckets[0].size(), 1440u);
    const HistoryBucket& first = w.buckets[TEMPERATURE - 1][1438];
    EXPECT_EQ(first.count, 3u);
    EXPECT_FLOAT_EQ(first.min, 21.0f);
    EXPECT_FLOAT_EQ(first.max, 23.0f);
    EXPECT_DOUBLE_EQ(first.mean(), 22.0);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1438].count, 1u);
    EXPECT_EQ(w.buckets[DEWPOINT - 1][1438].count, 0u);  // never sent: a gap
    const HistoryBucket& second = w.buckets[TEMPERATURE - 1][1439];
    EXPECT_EQ(second.count, 1u);
    EXPECT_FLOAT_EQ(second.min, -1.5f);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);

    // Seen from a minute later, everything moves one bucket to the left.
    HistoryWindow later = ring.window(minute + 2);
    EXPECT_EQ(later.buckets[TEMPERATURE - 1][1437].count, 3u);
    EXPECT_EQ(later.buckets[TEMPERATURE - 1][1439].count, 0u);
}

TEST(HistoryRing, ADayLaterASlotHoldsOnlyItsNewMinute) {
    SensorHistory ring;
    const int64_t minute = 28500000;
    ring.add(minute, TEMPERATURE, 10);
    ring.add(minute + 1440, TEMPERATURE, 30);  // the same slot, one day on
    ring.add(minute, TEMPERATURE, 99);         // older than the ring: dropped
    HistoryWindow w = ring.window(minute + 1440);
    EXPECT_EQ(w.buckets[0][1439].count, 1u);
    EXPECT_FLOAT_EQ(w.buckets[0][1439].max, 30.0f);
    for (int i = 0; i < 1439; ++i) EXPECT_EQ(w.buckets[0][i].count, 0u) << i;
    // A window that has moved on past a minute no longer shows it.
    EXPECT_EQ(ring.window(minute + 2 * 1440).buckets[0][0].count, 0u);
}

TEST(HistoryRing, MemoryIsTakenAtTheFirstValueAndStaysBounded) {
    SensorHistory ring;
    EXPECT_EQ(ring.bytesHeld(), 0u);
    EXPECT_EQ(SensorHistory::bytesPerDevice(), 1440u * (4 + 3 * 16));  // 74,880 bytes
    for (int64_t minute = 0; minute < 3 * 1440; ++minute)
        for (int q = 1; q <= 3; ++q) ring.add(minute, static_cast<ReadType>(q), minute % 50);
    EXPECT_EQ(ring.bytesHeld(), SensorHistory::bytesPerDevice());
    HistoryWindow w = ring.window(3 * 1440 - 1);
    for (int i = 0; i < 1440; ++i) ASSERT_EQ(w.buckets[2][i].count, 1u);
}

TEST(HistoryRing, RecordsTheNumbersOfTheStoredLine) {
    History history(OFFSET);
    Sensor sensor(nullptr, "/dev/null");
    SensorHistory* ring = history.track(&sensor);
    ASSERT_EQ(history.of(&sensor), ring);
    EXPECT_EQ(history.of(nullptr), nullptr);
    sensor.storeLine("temperature=21.5 humidity=abc dewpoint=-1.5", CLOCK_AT);
    ring->record(sensor, history.minuteOf(CLOCK_AT), CLOCK_AT);
    HistoryWindow w = ring->window(history.minuteOf(CLOCK_AT));
    EXPECT_FLOAT_EQ(w.buckets[TEMPERATURE - 1][1439].mean(), 21.5f);
    EXPECT_EQ(w.buckets[HUMIDITY - 1][1439].count, 0u);  // no number
    EXPECT_FLOAT_EQ(w.buckets[DEWPOINT - 1][1439].min, -1.5f);
}

TEST(HistoryRing, AWallClockSetBackMovesTheAxisButKeepsTheBuckets) {
    History history(OFFSET);
    SensorHistory ring;
    // One value a minute for ten minutes; the wall clock is set back an hour
    // after the fifth. Keys follow the clock that never steps back.
    for (int i = 0; i < 10; ++i) ring.add(history.minuteOf(CLOCK_AT + 60 * i), TEMPERATURE, i);
    int64_t last = history.minuteOf(CLOCK_AT + 60 * 9);
    HistoryWindow w = ring.window(last);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(w.buckets[0][1430 + i].count, 1u) << i;
    int64_t now = CLOCK_AT + 60 * 9;
    EXPECT_EQ(history.wallTimeOf(last, now, WALL_AT + 60 * 9), WALL_AT + 60 * 9);
    EXPECT_EQ(history.wallTimeOf(last, now, WALL_AT + 60 * 9 - 3600), WALL_AT + 60 * 9 - 3600);
}

TEST(StatusChart, LineAndBandBreakAtGapsAndScaleToTheData) {
    std::vector<HistoryBucket> buckets(1440);
    auto put = [&](int i, float lo, float mean, float hi) { buckets[i] = {lo, hi, mean * 2, 2}; };
    for (int i = 100; i < 200; ++i) put(i, 20.0f, 20.5f, 21.0f);
    for (int i = 300; i < 310; ++i) put(i, 21.0f, 22.0f, 23.0f);
    put(1439, 22.0f, 22.0f, 22.0f);  // a lone minute
    std::string svg = renderChart(QUANTITIES[0], buckets, {});
    std::string line = pathOf(svg, "line"), band = pathOf(svg, "band");
    EXPECT_EQ(count(line, "M"), 2) << line;  // one piece per run
    EXPECT_EQ(count(band, "z"), 2) << band;  // one closed area per run
    EXPECT_EQ(line.find("M100 "), 0u) << line;
    // A run of equal steps is one step: 99 flat minutes cost a few bytes.
    EXPECT_LT(line.size(), 40u) << line;
    // The lone minute is a dot on a whisker, not a hairline.
    EXPECT_EQ(pathOf(svg, "dot").rfind("M1439 ", 0), 0u) << svg;
    EXPECT_EQ(pathOf(svg, "whisker").rfind("M1439 ", 0), 0u);
    EXPECT_NE(svg.find(">20<"), std::string::npos);  // value axis labels
    EXPECT_NE(svg.find(">23<"), std::string::npos);
    EXPECT_NE(svg.find("°C, last 24 hours"), std::string::npos);

    std::string empty = renderChart(QUANTITIES[1], std::vector<HistoryBucket>(1440), {});
    EXPECT_EQ(pathOf(empty, "line"), "");
    EXPECT_NE(empty.find("no valid reading in the last 24 hours"), std::string::npos);
}

TEST(StatusChart, TimeAxisIsLocalTimeAndCrossesMidnight) {
    LocalZone zone;
    History history(OFFSET);
    // The window ends at 22:00 UTC, which is midnight here: its last minute.
    int64_t last = history.minuteOf(CLOCK_AT);
    std::vector<TimeTick> ticks = timeTicks(history, last, CLOCK_AT, WALL_AT);
    ASSERT_EQ(ticks.size(), 8u);  // 03:00 ... 21:00 and the midnight of Wednesday
    EXPECT_EQ(ticks.back().index, 1439);
    EXPECT_EQ(ticks.back().label, "Wed");
    EXPECT_TRUE(ticks.back().major);
    EXPECT_EQ(ticks.front().label, "03:00");
    EXPECT_EQ(ticks.front().index, 180 - 1);
    EXPECT_FALSE(ticks.front().major);

    // A series running through midnight stays one piece.
    SensorHistory ring;
    for (int i = -30; i <= 30; ++i) ring.add(last + i, TEMPERATURE, 5 + i * 0.1);
    HistoryWindow w = ring.window(last + 30);
    EXPECT_EQ(w.buckets[0][1439 - 60].count, 1u);
    std::string svg = renderChart(QUANTITIES[0], w.buckets[0],
                                  timeTicks(history, last + 30, CLOCK_AT + 1800, WALL_AT + 1800));
    EXPECT_EQ(count(pathOf(svg, "line"), "M"), 1);
    EXPECT_NE(svg.find(">Wed</text>"), std::string::npos);
}

TEST(StatusPage, EscapesConfiguredTextsAndStaysSmallForADayOfData) {
    History history(OFFSET);
    int64_t now = CLOCK_AT + 86400;
    std::vector<DeviceView> devices(2);
    devices[0].names = {"cellar", "<script>alert(1)</script>"};
    devices[0].device = "/dev/serial/by-id/usb-\"x\"&<y>";
    devices[1].names = {"attic"};
    devices[1].device = "/dev/ttyUSB1";
    Sensor first(nullptr, "a"), second(nullptr, "b");
    devices[0].sensor = &first;
    devices[1].sensor = &second;
    devices[0].readings[0] = makeReading("21.5", 3);
    devices[0].open = true;
    // A full day of noisy values, one line every ten seconds, on both devices.
    srand(7);
    for (const Sensor* s : {&first, &second}) {
        SensorHistory* ring = history.track(s);
        for (int64_t t = now - 86400; t <= now; t += 10) {
            double day = std::sin((t % 86400) * 2 * M_PI / 86400);
            double noise = (rand() % 21 - 10) / 100.0;
            int64_t minute = history.minuteOf(t);
            // Devices send one decimal.
            auto tenths = [](double v) { return std::round(v * 10) / 10; };
            ring->add(minute, TEMPERATURE, tenths(15 + 4 * day + noise));
            ring->add(minute, HUMIDITY, tenths(60 - 15 * day + 10 * noise));
            ring->add(minute, DEWPOINT, tenths(7 + 2 * day + noise));
        }
    }
    std::string page = renderStatusPage(devices, history, now, WALL_AT + 86400, "host<&>");
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("/dev/serial/by-id/usb-&quot;x&quot;&amp;&lt;y&gt;"), std::string::npos);
    EXPECT_NE(page.find("Climate on host&lt;&amp;&gt;"), std::string::npos);
    EXPECT_NE(page.find("<data value=\"21.5\">21.5</data>"), std::string::npos);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"60\">"), std::string::npos);
    EXPECT_NE(page.find("prefers-color-scheme:dark"), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);  // nothing loaded from elsewhere
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_EQ(count(page, "class=\"line\""), 6);
    RecordProperty("page_bytes_two_devices_full_day", static_cast<int>(page.size()));
    std::cout << "status page, two devices with a full day of noisy values: " << page.size()
              << " bytes\n";
    EXPECT_LT(page.size(), 100u * 1024);
    if (getenv("DUMP_PAGE")) std::ofstream(getenv("DUMP_PAGE")) << page;
}

TEST(Html, EscapesEveryMarkupCharacter) {
    EXPECT_EQ(htmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
    EXPECT_EQ(htmlEscape("plain"), "plain");
}

TEST(JsonView, ReadingsListEveryNameWithNumbersValidityAndAge) {
    std::vector<DeviceView> devices(2);
    devices[0].names = {"cellar", "garage"};
    devices[0].device = "/dev/ttyUSB0";
    devices[0].open = true;
    devices[0].reconnects = 2;
    devices[0].readings[0] = makeReading("21.5", 3);
    devices[0].readings[1] = makeReading("", 3);  // fresh, but no number
    devices[0].readings[2] = makeReading("-1.5", 3);
    devices[1].names = {"bad\xff name"};  // no UTF-8: replaced, not an error
    devices[1].device = "/dev/ttyUSB1";
    for (auto& r : devices[1].readings) r = makeReading("", -1);

    json doc = json::parse(readingsJson(devices, WALL_AT));
    EXPECT_EQ(doc["time"], WALL_AT);
    ASSERT_TRUE(doc["sensors"].is_object());
    EXPECT_EQ(doc["sensors"].size(), 3u);
    for (const char* name : {"cellar", "garage"}) {
        const json& s = doc["sensors"][name];
        EXPECT_EQ(s["device"], "/dev/ttyUSB0");
        EXPECT_EQ(s["open"], true);
        EXPECT_EQ(s["reconnects"], 2);
        EXPECT_EQ(s["age"], 3);
        EXPECT_EQ(s["readings"]["temperature"]["value"], 21.5);
        EXPECT_TRUE(s["readings"]["temperature"]["value"].is_number());
        EXPECT_EQ(s["readings"]["temperature"]["valid"], true);
        EXPECT_EQ(s["readings"]["temperature"]["age"], 3);
        EXPECT_EQ(s["readings"]["temperature"]["unit"], "°C");
        EXPECT_TRUE(s["readings"]["humidity"]["value"].is_null());
        EXPECT_EQ(s["readings"]["humidity"]["valid"], true);
        EXPECT_EQ(s["readings"]["dewpoint"]["value"], -1.5);
    }
    const json& bad = doc["sensors"]["bad\xEF\xBF\xBD name"];
    EXPECT_EQ(bad["open"], false);
    EXPECT_TRUE(bad["age"].is_null());
    EXPECT_EQ(bad["readings"]["temperature"]["valid"], false);
    EXPECT_TRUE(bad["readings"]["temperature"]["age"].is_null());
}

TEST(JsonView, HistoryListsTheMinutesWithValuesAndTheirWallTimes) {
    History history(OFFSET);
    SensorHistory ring;
    int64_t minute = history.minuteOf(CLOCK_AT);
    ring.add(minute - 2, HUMIDITY, 48.3);
    ring.add(minute - 2, HUMIDITY, 48.4);
    ring.add(minute, TEMPERATURE, 21.5);
    DeviceView device;
    device.device = "/dev/ttyUSB0";
    json doc = json::parse(
        historyJson("cellar", device, ring.window(minute), history, CLOCK_AT + 30, WALL_AT + 30));
    EXPECT_EQ(doc["name"], "cellar");
    EXPECT_EQ(doc["device"], "/dev/ttyUSB0");
    EXPECT_EQ(doc["bucketSeconds"], 60);
    EXPECT_EQ(doc["minutes"], 1440);
    ASSERT_EQ(doc["buckets"]["humidity"].size(), 1u);
    const json& b = doc["buckets"]["humidity"][0];
    EXPECT_EQ(b["time"], WALL_AT - 120);
    EXPECT_EQ(b["min"], 48.3);
    EXPECT_EQ(b["max"], 48.4);
    EXPECT_EQ(b["mean"], 48.35);
    EXPECT_EQ(b["count"], 2);
    ASSERT_EQ(doc["buckets"]["temperature"].size(), 1u);
    EXPECT_EQ(doc["buckets"]["temperature"][0]["time"], WALL_AT);
    EXPECT_TRUE(doc["buckets"]["dewpoint"].is_array());
    EXPECT_TRUE(doc["buckets"]["dewpoint"].empty());
}
