// The pure parts of sensomark-query, and the protocol pieces it reads replies
// and query names with: one table per rule.
#include "querylib.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

using namespace std::string_literals;

namespace {
// A query with its reply line; both must parse.
Result result(const std::string& queryText, const std::string& line) {
    Result r{Query(), line, Reply()};
    std::string error;
    EXPECT_TRUE(parseQuery(queryText, &r.query, &error)) << error;
    EXPECT_TRUE(parseReply(line, &r.reply)) << line;
    return r;
}

CheckOptions checkOptions(const std::string& warning, const std::string& critical,
                          PluginState stale = STATE_UNKNOWN) {
    CheckOptions options{{}, {}, warning, critical, stale};
    EXPECT_TRUE(warning.empty() || parseRange(warning, &options.warning.emplace()));
    EXPECT_TRUE(critical.empty() || parseRange(critical, &options.critical.emplace()));
    return options;
}
}  // namespace

// How readings are written and read back is sensor_test's; the tool also needs
// every other line refused, such as another server's answer.
TEST(Reply, NoOtherLineReadsAsAReply) {
    Reply reply;
    for (const char* line : {"valid=1;value=21.5", "valid=1", "valid=1;value=21.5;x", "VALID=0",
                             " valid=0", "garbage", "HTTP/1.1 400 Bad Request"})
        EXPECT_FALSE(parseReply(line, &reply)) << line;
}

// The daemon's split at the last full stop, and the tool's stricter check on top:
// one digit 1 to 3 and no line end, which only the first three names pass.
TEST(QueryName, SplitsAtTheLastFullStopAndTheToolWantsOneToThree) {
    const std::vector<std::string> names({"cellar.1", "sensomark.com1.3", ".2", "x.", "x.0", "x.4",
                                          "x.01", "x.+1", "x.1x", "x.temperature", "x.99999999999",
                                          "x.-99999999999", "x.1\r", "x\n.1", "x\0.1"s});
    const int selectors[] = {1, 3, 2, 0, 0, 4, 1, 1, 1, 0, INT_MAX, INT_MIN, 1, 1, 1};
    QueryName split;
    Query query;
    std::string error;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        ASSERT_TRUE(splitQueryName(name, &split)) << name;
        EXPECT_EQ(split.sensor, name.substr(0, name.rfind('.'))) << name;
        EXPECT_EQ(split.selector, selectors[i]) << name;
        ASSERT_EQ(parseQuery(name, &query, &error), i < 3) << name;
        EXPECT_TRUE(i < 3 || error.rfind("bad query", 0) == 0) << error;
        EXPECT_TRUE(i >= 3 || (query.text == name && query.sensor == split.sensor &&
                               query.quantity == quantityOf(selectors[i])))
            << name;
    }
    for (const char* name : {"nodot", ""})
        EXPECT_FALSE(splitQueryName(name, &split) || parseQuery(name, &query, &error)) << name;
}

TEST(Range, AlertsOutsideOrInsideWithBothEndsIncluded) {
    std::tuple<const char*, double, bool> cases[] = {
        {"10", -0.1, true},    {"10", 0, false},       {"10", 10, false},
        {"10", 10.1, true},    {"10:", 9.9, true},     {"10:", 10, false},
        {"10:", 1e9, false},   {"~:35", -1e9, false},  {"~:35", 35, false},
        {"~:35", 35.1, true},  {"10:30", 9.9, true},   {"10:30", 10, false},
        {"10:30", 30, false},  {"10:30", 30.1, true},  {"@20:25", 19.9, false},
        {"@20:25", 20, true},  {"@20:25", 25, true},   {"@20:25", 25.1, false},
        {"@10", 5, true},      {"-10:-5", -4.9, true}, {"-10:-5", -10.1, true},
        {"~:", -1e300, false}, {"0:0", 0, false},      {"0:0", 0.001, true},
        {"1.5:2.", 2, false},  {".5:1", 0.4, true},
    };
    Range range;
    for (const auto& [text, value, alerts] : cases) {
        ASSERT_TRUE(parseRange(text, &range)) << text;
        EXPECT_EQ(rangeAlerts(range, value), alerts) << text << " with " << value;
    }
    for (const char* text : {"abc",   "30:10", ":",    "",      "@",      "~",   ":10", "10:abc",
                             "1:2:3", "--1",   "1e3",  "nan",   "inf",    " 10", "10 ", "10:30x",
                             "@@10",  "~10",   "10:~", "1.2.3", "@30:10", "+",   "."})
        EXPECT_FALSE(parseRange(text, &range)) << "'" << text << "'";
}

TEST(PluginState, WorstStateWinsAndLowerCaseNamesRead) {
    const PluginState bestToWorst[] = {STATE_OK, STATE_UNKNOWN, STATE_WARNING, STATE_CRITICAL};
    PluginState read = STATE_OK;
    for (size_t i = 0; i < 4; ++i) {
        for (size_t j = 0; j < 4; ++j)
            EXPECT_EQ(worseState(bestToWorst[i], bestToWorst[j]), bestToWorst[std::max(i, j)]);
        std::string name = stateName(bestToWorst[i]);
        EXPECT_FALSE(parseState(name, &read)) << name;
        for (char& c : name) c = static_cast<char>(tolower(c));
        EXPECT_TRUE(parseState(name, &read) && read == bestToWorst[i]) << name;
    }
    EXPECT_FALSE(parseState("", &read));
}

TEST(Format, JsonHasOneLinePerQueryAndTheReason) {
    std::vector<Result> results = {result("cellar.1", "valid=1;value=21.5;"),
                                   result("cellar.2", "valid=0"),
                                   result("cellar.3", "valid=1;value=;"), result("no\"such.1", "")};
    EXPECT_EQ(formatJson(results),
              "{\"query\":\"cellar.1\",\"name\":\"cellar\",\"quantity\":\"temperature\","
              "\"valid\":true,\"value\":21.5}\n"
              "{\"query\":\"cellar.2\",\"name\":\"cellar\",\"quantity\":\"humidity\","
              "\"valid\":false,\"value\":null,\"reason\":\"stale\"}\n"
              "{\"query\":\"cellar.3\",\"name\":\"cellar\",\"quantity\":\"dewpoint\","
              "\"valid\":false,\"value\":null,\"reason\":\"no value\"}\n"
              "{\"query\":\"no\\\"such.1\",\"name\":\"no\\\"such\",\"quantity\":\"temperature\","
              "\"valid\":false,\"value\":null,\"reason\":\"unknown sensor\"}\n");
}

TEST(Format, PrometheusGroupsFamiliesOnceAndSkipsRepeatedSeries) {
    auto head = [](const char* metric, const char* help) {
        return "# HELP "s + metric + " " + help + "\n# TYPE " + metric + " gauge\n";
    };
    EXPECT_EQ(
        formatPrometheus({result("cellar.1", "valid=1;value=21.5;"),
                          result("cellar.2", "valid=1;value=48.3;"), result("attic.1", "valid=0"),
                          result("g\\ar\"age.1", "valid=1;value=7;"),
                          result("cellar.1", "valid=1;value=21.6;"),
                          result("cellar.3", "valid=1;value=;"), result("nosuch.1", "")}),
        head(QUANTITIES[0].metric, QUANTITIES[0].help) +
            "sensomark_temperature_celsius{sensor=\"cellar\"} 21.5\n"
            "sensomark_temperature_celsius{sensor=\"g\\\\ar\\\"age\"} 7\n" +
            head(QUANTITIES[1].metric, QUANTITIES[1].help) +
            "sensomark_relative_humidity_percent{sensor=\"cellar\"} 48.3\n" +
            head(VALID_METRIC, VALID_HELP) +
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"humidity\"} 1\n"
            "sensomark_reading_valid{sensor=\"attic\",quantity=\"temperature\"} 0\n"
            "sensomark_reading_valid{sensor=\"g\\\\ar\\\"age\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"dewpoint\"} 0\n"
            "sensomark_reading_valid{sensor=\"nosuch\",quantity=\"temperature\"} 0\n");
    EXPECT_EQ(formatPrometheus({}), "");
}

// Critical before warning; data without a fresh value takes the --stale state, an
// unknown name is UNKNOWN whatever that is (the range ends are Range's). The line
// names each reading and carries its performance data.
TEST(Format, CheckStateFollowsThresholdsAndTheLineCarriesPerformanceData) {
    std::tuple<const char*, const char*, const char*, PluginState, PluginState> cases[] = {
        {"10:30", "5:35", "valid=1;value=21.5;", STATE_UNKNOWN, STATE_OK},
        {"10:30", "5:35", "valid=1;value=30.1;", STATE_UNKNOWN, STATE_WARNING},
        {"10:30", "5:35", "valid=1;value=35.1;", STATE_UNKNOWN, STATE_CRITICAL},
        {"", "@20:25", "valid=1;value=20;", STATE_UNKNOWN, STATE_CRITICAL},
        {"~:35", "", "valid=1;value=35.1;", STATE_UNKNOWN, STATE_WARNING},
        {"", "", "valid=1;value=1000;", STATE_UNKNOWN, STATE_OK},
        {"10:30", "5:35", "valid=0", STATE_UNKNOWN, STATE_UNKNOWN},
        {"", "", "valid=0", STATE_OK, STATE_OK},
        {"", "", "valid=1;value=;", STATE_CRITICAL, STATE_CRITICAL},
        {"", "", "", STATE_OK, STATE_UNKNOWN},
    };
    PluginState state = STATE_OK;
    for (const auto& [warning, critical, reply, stale, expected] : cases) {
        formatCheck({result("cellar.1", reply)}, checkOptions(warning, critical, stale), &state);
        EXPECT_EQ(state, expected) << warning << " " << critical << " " << reply;
    }
    EXPECT_EQ(
        formatCheck({result("cellar.1", "valid=1;value=31;"),
                     result("cellar.2", "valid=1;value=48.3;"), result("o'd=d|x.3", "valid=0"),
                     result("cellar.3", "valid=1;value=;"), result("nosuch.1", "")},
                    checkOptions("~:30", "@40:50"), &state),
        "SENSOMARK CRITICAL - cellar temperature 31, cellar humidity 48.3, o'd=d_x dewpoint "
        "stale, cellar dewpoint has no value, unknown sensor 'nosuch' | "
        "'cellar_temperature'=31;~:30;@40:50;; 'cellar_humidity'=48.3%;~:30;@40:50;0;100 "
        "'o_d_d_x_dewpoint'=U;~:30;@40:50;; 'cellar_dewpoint'=U;~:30;@40:50;;\n");
    EXPECT_EQ(state, STATE_CRITICAL);
}
