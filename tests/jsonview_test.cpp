// The JSON documents of the web port: the readings and a device's history.
#include "jsonview.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {
// Tue 2024-03-05 22:00:00 UTC.
const int64_t WALL_AT = 1709676000;
}  // namespace

TEST(WebJson, ReadingsHoldNullForNoNumberAndStandInForBadText) {
    std::vector<SensorSnapshot> devices(2);
    devices[0].names = {"cellar"};
    devices[0].ageS = 3;
    devices[0].fresh = true;
    devices[0].values[0] = measurementOf("21.5");  // humidity: fresh, but no number
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

TEST(WebJson, HistoryListsTheBucketsWithValuesAndTheirTimes) {
    HistorySeries day;
    day.firstMinute = WALL_AT / 60 - 1439;
    for (auto& buckets : day.buckets) buckets.resize(1440);
    day.buckets[HUMIDITY - 1][1437] = {48.3f, 48.4f, 96.7f, 2};
    day.buckets[TEMPERATURE - 1][1439] = {21.5f, 21.5f, 21.5f, 1};
    day.buckets[DEWPOINT - 1][7] = {-INFINITY, 1, 1, 2};  // no number: none of it is shown
    SensorSnapshot device;
    device.device = "/dev/ttyUSB0";
    json doc = json::parse(historyJson("cellar", device, day, HistoryRange::DAY, WALL_AT + 30));
    EXPECT_EQ(doc, json::parse(R"({"name":"cellar","device":"/dev/ttyUSB0","range":"day",
        "time":1709676030,"bucketSeconds":60,"minutes":1440,"from":1709589660,"to":1709676060,
        "buckets":{"dewpoint":[],
        "temperature":[{"time":1709676000,"min":21.5,"mean":21.5,"max":21.5,"count":1}],
        "humidity":[{"time":1709675880,"min":48.3,"mean":48.35,"max":48.4,"count":2}]}})"));

    HistorySeries year;
    year.stepMinutes = 60;
    year.firstMinute = WALL_AT / 60 - 8783 * 60;
    for (auto& buckets : year.buckets) buckets.resize(8784);
    year.buckets[DEWPOINT - 1][0] = {-3, 1, -60, 60};
    doc = json::parse(historyJson("cellar", device, year, HistoryRange::YEAR, WALL_AT));
    EXPECT_EQ(doc["range"], "year");
    EXPECT_EQ(doc["bucketSeconds"], 3600);
    EXPECT_EQ(doc["minutes"], 8784 * 60);
    EXPECT_EQ(doc["to"], WALL_AT + 3600);
    EXPECT_EQ(doc["buckets"]["dewpoint"], json::parse(R"([{"time":1678057200,"min":-3,"mean":-1,
        "max":1,"count":60}])"));
}
