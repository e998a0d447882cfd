// The history through the real daemon's web port: the status page of each
// range, /history.json and /history.csv, and what they refuse.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "testutil.h"

using nlohmann::json;

namespace {

int matches(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), {}));
}

// The lines of a CSV body, each checked to end with CR LF and returned without it.
std::vector<std::string> csvLines(const std::string& body) {
    std::vector<std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line " << lines.size();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.push_back("");
    return fields;
}

struct Range {
    const char* name;
    int step;  // minutes per bucket
    int count;
    const char* span;
};
const Range RANGES[] = {{"day", 1, 1440, "last 24 hours"},
                        {"week", 10, 1008, "last 7 days"},
                        {"month", 10, 4464, "last 31 days"},
                        {"year", 60, 8784, "last year"}};
}  // namespace

TEST(WebHistory, EveryRangeHasItsPageJsonAndCsvOfTheSameBuckets) {
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(webPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar\n/nonexistent = attic\n"));
    Client client(port);
    for (int i = 0; i < 5; ++i)
        pty.write("temperature=2" + std::to_string(i) + ".5 humidity=4" + std::to_string(i) +
                  ".25 dewpoint=-1." + std::to_string(i) + "\r\n");
    ASSERT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=-1.4;"; }));
    const int64_t now = time(nullptr);

    for (const Range& range : RANGES) {
        SCOPED_TRACE(range.name);
        const std::string query = std::string("name=cellar&range=") + range.name;
        WebResponse page = httpGet(webPort, std::string("/?range=") + range.name);
        ASSERT_EQ(page.status, 200);
        for (const Range& link : RANGES) {
            std::string a = std::string("<a href=\"/?range=") + link.name + '"';
            EXPECT_TRUE(has(page.body, a + (&link == &range ? " aria-current=\"page\">" : ">")))
                << a;
        }
        EXPECT_EQ(matches(page.body, "aria-current=\"page\""), 1);
        // Temperature and dew point of both devices.
        EXPECT_EQ(matches(page.body, std::string("°C, ") + range.span + "<"), 4);
        EXPECT_EQ(matches(page.body, "no valid reading in the " + std::string(range.span)), 3);
        EXPECT_TRUE(has(page.body, "class=\"dot\"") || has(page.body, "class=\"line\""));
        EXPECT_TRUE(has(page.body, "href=\"/history.csv?" +
                                       std::regex_replace(query, std::regex("&"), "&amp;") + "\""));

        json doc = json::parse(httpGet(webPort, "/history.json?" + query).body);
        EXPECT_EQ(doc["range"], range.name);
        EXPECT_EQ(doc["bucketSeconds"], range.step * 60);
        EXPECT_EQ(doc["minutes"], range.step * range.count);
        int64_t to = doc["to"];
        EXPECT_EQ(to - doc["from"].get<int64_t>(), range.step * range.count * 60);
        EXPECT_EQ(to % (range.step * 60), 0);
        EXPECT_GT(to, now - 60);  // the range ends with the bucket of now
        EXPECT_LE(to, now + 60 + range.step * 60);
        int values = 0;
        for (const json& b : doc["buckets"]["temperature"]) {
            values += b["count"].get<int>();
            EXPECT_EQ(b["time"].get<int64_t>() % (range.step * 60), 0);
        }
        EXPECT_EQ(values, 5);

        WebResponse csv = httpGet(webPort, "/history.csv?" + query);
        ASSERT_EQ(csv.status, 200);
        EXPECT_TRUE(has(csv.head, "Content-Type: text/csv; charset=utf-8\r\n")) << csv.head;
        EXPECT_TRUE(has(csv.head, std::string("Content-Disposition: attachment; "
                                              "filename=\"sensomark-") +
                                      range.name + ".csv\"\r\n"));
        std::vector<std::string> lines = csvLines(csv.body);
        ASSERT_EQ(lines.size(), range.count + 1u);
        EXPECT_EQ(fieldsOf(lines[0]).size(), 10u);
        EXPECT_EQ(lines[0].rfind("time,temperature_mean,temperature_min,temperature_max,", 0), 0u);
        std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:00Z)");
        int withValues = 0;
        double lowest = 1e9, highest = -1e9;
        for (size_t i = 1; i < lines.size(); ++i) {
            std::vector<std::string> f = fieldsOf(lines[i]);
            ASSERT_EQ(f.size(), 10u) << lines[i];
            ASSERT_TRUE(std::regex_match(f[0], iso)) << f[0];
            if (f[1].empty()) {
                EXPECT_EQ(lines[i], f[0] + ",,,,,,,,,");  // a gap: every field empty
                continue;
            }
            ++withValues;
            lowest = std::min(lowest, std::stod(f[2]));
            highest = std::max(highest, std::stod(f[3]));
        }
        EXPECT_GE(withValues, 1);
        EXPECT_LE(withValues, 2);  // the lines came within a minute
        EXPECT_EQ(std::pair(lowest, highest), std::pair(20.5, 24.5));
        struct tm last = {};
        strptime(fieldsOf(lines.back())[0].c_str(), "%Y-%m-%dT%H:%M:%SZ", &last);
        EXPECT_EQ(timegm(&last), to - range.step * 60);
    }
}

TEST(WebHistory, UnknownRangesAndNamesAreRefusedWithoutEchoingThem) {
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "metricsport = " + std::to_string(webPort) +
                                              "\n[sensors]\n" + pty.slavePath + " = cellar\n"));
    for (const char* target :
         {"/?range=%3Cscript%3Edecade", "/?range=", "/?range=Week",
          "/history.json?name=cellar&range=%3Cscript%3E",
          "/history.csv?name=cellar&range=%3Cscript%3E", "/history.csv?range=year%00"}) {
        WebResponse r = httpGet(webPort, target);
        EXPECT_EQ(r.status, 400) << target;
        EXPECT_FALSE(has(r.body, "script") || has(r.head, "script")) << target;
    }
    for (const char* target : {"/history.csv?name=%3Cb%3Enobody", "/history.csv",
                               "/history.json?name=%3Cb%3Enobody&range=year"}) {
        WebResponse r = httpGet(webPort, target);
        EXPECT_EQ(r.status, 404) << target;
        EXPECT_FALSE(has(r.body, "nobody") || has(r.head, "nobody")) << target;
    }
    // A page of each range and a range of each page, each asked twice within
    // the second that a response is shared: none answers for another.
    for (int round = 0; round < 2; ++round)
        for (const char* range : {"day", "year"}) {
            std::string r = std::string("range=") + range;
            EXPECT_TRUE(has(httpGet(webPort, "/?" + r).body, "href=\"/?" + r + "\" aria-current"));
            EXPECT_EQ(json::parse(httpGet(webPort, "/history.json?name=cellar&" + r).body)["range"],
                      range);
        }
}
