// The CSV of a device's history: times, numbers, gaps (a bucket without a
// finite number included) and line ends.
#include "csvview.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

TEST(HistoryCsv, TimesAreUtcIso8601AndNumbersTheirShortestRoundedForm) {
    EXPECT_EQ(isoUtcTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoUtcTime(1709676000), "2024-03-05T22:00:00Z");
    EXPECT_EQ(isoUtcTime(1709251199), "2024-02-29T23:59:59Z");
    EXPECT_EQ(isoUtcTime(1796648400), "2026-12-07T13:00:00Z");
    for (auto [value, text] : {std::pair{21.5, "21.5"},
                               {48.299999237060547, "48.3"},
                               {-0.25, "-0.25"},
                               {7.0, "7"},
                               {-0.00001, "0"},
                               {1234.56789, "1234.5679"},
                               {-40.0, "-40"}})
        EXPECT_EQ(numberText(value), text) << value;
}

TEST(HistoryCsv, OneCrLfLinePerBucketWithEmptyFieldsForGaps) {
    HistorySeries week;
    week.stepMinutes = 10;
    week.firstMinute = 1709676000 / 60 - 1007 * 10;
    for (auto& buckets : week.buckets) buckets.resize(1008);
    week.buckets[TEMPERATURE - 1][0] = {20.5f, 21.5f, 63.0f, 3};
    week.buckets[DEWPOINT - 1][1007] = {-1.5f, -1.5f, -1.5f, 1};
    week.buckets[HUMIDITY - 1][1] = {NAN, NAN, NAN, 1};  // no number: a gap
    std::string csv = historyCsv(week);
    std::vector<std::string> lines;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line, '\n');) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << "line " << lines.size();
        lines.push_back(line.substr(0, line.size() - 1));
    }
    EXPECT_EQ(csv.back(), '\n');
    ASSERT_EQ(lines.size(), 1 + 1008u);
    EXPECT_EQ(lines[0],
              "time,temperature_mean,temperature_min,temperature_max,humidity_mean,humidity_min,"
              "humidity_max,dewpoint_mean,dewpoint_min,dewpoint_max");
    EXPECT_EQ(lines[1], "2024-02-27T22:10:00Z,21,20.5,21.5,,,,,,");
    EXPECT_EQ(lines[2], "2024-02-27T22:20:00Z,,,,,,,,,");
    EXPECT_EQ(lines[1008], "2024-03-05T22:00:00Z,,,,,,,-1.5,-1.5,-1.5");
}
