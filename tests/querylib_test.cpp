// The pure parts of sensomark-query, and the protocol pieces it reads replies
// and query names with: one table per rule.
#include "querylib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using namespace std::string_literals;

namespace {
Result result(const std::string& queryText, const std::string& line) {
    Result r;
    std::string error;
    EXPECT_TRUE(parseQuery(queryText, &r.query, &error)) << error;
    r.line = line;
    EXPECT_TRUE(parseReply(line, &r.reply)) << line;
    return r;
}

CheckOptions checkOptions(const std::string& warning, const std::string& critical) {
    CheckOptions options;
    options.warningText = warning;
    options.criticalText = critical;
    EXPECT_TRUE(warning.empty() || parseRange(warning, &options.warning.emplace()));
    EXPECT_TRUE(critical.empty() || parseRange(critical, &options.critical.emplace()));
    return options;
}
}  // namespace

TEST(Protocol, ReadingsFormatAndReadBackAsTheirReplyKind) {
    struct Case {
        std::string value;
        int64_t age;
        std::string line;
        ReplyKind kind;
        double number;
    } cases[] = {
        {"21.5", 0, "valid=1;value=21.5;", ReplyKind::VALUE, 21.5},
        {"21.", 30, "valid=1;value=21.;", ReplyKind::VALUE, 21},
        {"-3.5", 1, "valid=1;value=-3.5;", ReplyKind::VALUE, -3.5},
        {"", 1, "valid=1;value=;", ReplyKind::NO_VALUE, 0},
        {"-", 1, "valid=1;value=-;", ReplyKind::NO_VALUE, 0},
        {"1.2.3", 1, "valid=1;value=1.2.3;", ReplyKind::NO_VALUE, 0},
        {"21.5", 31, "valid=0", ReplyKind::STALE, 0},
        {"21.5", -1, "valid=0", ReplyKind::STALE, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatReply(makeReading(c.value, c.age)), c.line);
        Reply reply;
        ASSERT_TRUE(parseReply(c.line, &reply)) << c.line;
        EXPECT_EQ(reply.kind, c.kind) << c.line;
        EXPECT_EQ(reply.value, c.number) << c.line;
    }
    Reply reply;
    ASSERT_TRUE(parseReply(UNKNOWN_NAME_REPLY, &reply));
    EXPECT_EQ(reply.kind, ReplyKind::UNKNOWN_NAME);
    for (const char* line :
         {"valid=0;", "valid=1;value=21.5", "valid=1;value=2e3;", "valid=1", "valid=1;value=21.5;x",
          "VALID=0", " valid=0", "garbage", "HTTP/1.1 400 Bad Request"}) {
        EXPECT_FALSE(parseReply(line, &reply)) << line;
    }
}

// The daemon's split, and the tool's stricter check on top: one digit 1 to 3, no line end.
TEST(QueryName, SplitsAtTheLastFullStopAndTheToolWantsOneToThree) {
    struct Case {
        std::string name, sensor;
        int selector;
        bool toolAccepts;
    } cases[] = {
        {"cellar.1", "cellar", 1, true},
        {"sensomark.com1.3", "sensomark.com1", 3, true},
        {".2", "", 2, true},
        {"x.", "x", 0, false},
        {"x.0", "x", 0, false},
        {"x.4", "x", 4, false},
        {"x.01", "x", 1, false},
        {"x.+1", "x", 1, false},
        {"x.1x", "x", 1, false},
        {"x.temperature", "x", 0, false},
        {"x.99999999999", "x", INT_MAX, false},
        {"x.-99999999999", "x", INT_MIN, false},
        {"x.1\r", "x", 1, false},
        {"x\n.1", "x\n", 1, false},
        {"x\0.1"s, "x\0"s, 1, false},
    };
    for (const Case& c : cases) {
        QueryName split;
        ASSERT_TRUE(splitQueryName(c.name, &split)) << c.name;
        EXPECT_EQ(split.sensor, c.sensor) << c.name;
        EXPECT_EQ(split.selector, c.selector) << c.name;
        Query query;
        std::string error;
        ASSERT_EQ(parseQuery(c.name, &query, &error), c.toolAccepts) << c.name;
        if (!c.toolAccepts) {
            EXPECT_EQ(error.rfind("bad query", 0), 0u) << error;
            continue;
        }
        EXPECT_EQ(query.text, c.name);
        EXPECT_EQ(query.sensor, c.sensor);
        EXPECT_EQ(query.quantity, quantityOf(c.selector));
    }
    for (const char* name : {"nodot", ""}) {
        QueryName split;
        Query query;
        std::string error;
        EXPECT_FALSE(splitQueryName(name, &split)) << name;
        EXPECT_FALSE(parseQuery(name, &query, &error)) << name;
    }
}

TEST(Range, AlertsOutsideOrInsideWithBothEndsIncluded) {
    struct Case {
        const char* range;
        double value;
        bool alerts;
    } cases[] = {
        {"10", -0.1, true},      {"10", 0, false},       {"10", 10, false},
        {"10", 10.1, true},      {"10:", 9.9, true},     {"10:", 10, false},
        {"10:", 1e9, false},     {"~:35", -1e9, false},  {"~:35", 35, false},
        {"~:35", 35.1, true},    {"10:30", 9.9, true},   {"10:30", 10, false},
        {"10:30", 30, false},    {"10:30", 30.1, true},  {"@20:25", 19.9, false},
        {"@20:25", 20, true},    {"@20:25", 22, true},   {"@20:25", 25, true},
        {"@20:25", 25.1, false}, {"@10", 5, true},       {"@10", 11, false},
        {"-10:-5", -7, false},   {"-10:-5", -4.9, true}, {"-10:-5", -10.1, true},
        {"~:", -1e300, false},   {"~:", 1e300, false},   {"0:0", 0, false},
        {"0:0", 0.001, true},    {"1.5:2.", 2, false},   {".5:1", 0.4, true},
    };
    for (const Case& c : cases) {
        Range range;
        ASSERT_TRUE(parseRange(c.range, &range)) << c.range;
        EXPECT_EQ(rangeAlerts(range, c.value), c.alerts) << c.range << " with " << c.value;
    }
    for (const char* text : {"abc",   "30:10", ":",    "",      "@",      "~",   ":10", "10:abc",
                             "1:2:3", "--1",   "1e3",  "nan",   "inf",    " 10", "10 ", "10:30x",
                             "@@10",  "~10",   "10:~", "1.2.3", "@30:10", "+",   "."}) {
        Range range;
        EXPECT_FALSE(parseRange(text, &range)) << "'" << text << "'";
    }
}

TEST(PluginState, WorstStateWinsAndLowerCaseNamesRead) {
    const PluginState bestToWorst[] = {STATE_OK, STATE_UNKNOWN, STATE_WARNING, STATE_CRITICAL};
    for (size_t i = 0; i < 4; ++i) {
        for (size_t j = 0; j < 4; ++j)
            EXPECT_EQ(worseState(bestToWorst[i], bestToWorst[j]), bestToWorst[std::max(i, j)]);
        std::string name = stateName(bestToWorst[i]);
        PluginState read;
        EXPECT_FALSE(parseState(name, &read)) << name;
        for (char& c : name) c = static_cast<char>(tolower(c));
        EXPECT_TRUE(parseState(name, &read));
        EXPECT_EQ(read, bestToWorst[i]);
    }
    PluginState state;
    EXPECT_FALSE(parseState("", &state));
}

TEST(ExitCode, UnknownNameBeatsNoValueBeatsValue) {
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=1;")}), 0);
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=1;"), result("a.2", "valid=0")}), 1);
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=;")}), 1);
    EXPECT_EQ(replyExitCode({result("x.1", ""), result("a.2", "valid=0")}), 2);
    EXPECT_EQ(replyExitCode({result("a.2", "valid=0"), result("x.1", "")}), 2);
}

TEST(Escaping, JsonStringsPrometheusLabelsAndNumbers) {
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString(std::string("t\tn\nr\rz\0\x1f", 9)), "\"t\\tn\\nr\\rz\\u0000\\u001f\"");
    EXPECT_EQ(jsonString("k\xc3\xbchl"), "\"k\xc3\xbchl\"");
    EXPECT_EQ(prometheusLabel("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\"");
    EXPECT_EQ(formatNumber(21.5) + " " + formatNumber(30.1) + " " + formatNumber(1013) + " " +
                  formatNumber(0) + " " + formatNumber(-3.5),
              "21.5 30.1 1013 0 -3.5");
}

TEST(Format, PlainAndJsonHaveOneLinePerQuery) {
    std::vector<Result> results = {result("cellar.1", "valid=1;value=21.5;"),
                                   result("cellar.2", "valid=0"),
                                   result("cellar.3", "valid=1;value=;"), result("no\"such.1", "")};
    EXPECT_EQ(formatPlain(results),
              "cellar.1: valid=1;value=21.5;\ncellar.2: valid=0\ncellar.3: valid=1;value=;\n"
              "no\"such.1:\n");
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
    auto head = [](const Quantity& q) {
        return std::string("# HELP ") + q.metric + " " + q.help + "\n# TYPE " + q.metric +
               " gauge\n";
    };
    EXPECT_EQ(
        formatPrometheus({result("cellar.1", "valid=1;value=21.5;"),
                          result("cellar.2", "valid=1;value=48.3;"), result("attic.1", "valid=0"),
                          result("gar\"age.1", "valid=1;value=7;"),
                          result("cellar.1", "valid=1;value=21.6;"),
                          result("cellar.3", "valid=1;value=;"), result("nosuch.1", "")}),
        head(QUANTITIES[0]) + "sensomark_temperature_celsius{sensor=\"cellar\"} 21.5\n" +
            "sensomark_temperature_celsius{sensor=\"gar\\\"age\"} 7\n" + head(QUANTITIES[1]) +
            "sensomark_relative_humidity_percent{sensor=\"cellar\"} 48.3\n" +
            "# HELP sensomark_reading_valid " + VALID_HELP +
            "\n# TYPE sensomark_reading_valid gauge\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"humidity\"} 1\n"
            "sensomark_reading_valid{sensor=\"attic\",quantity=\"temperature\"} 0\n"
            "sensomark_reading_valid{sensor=\"gar\\\"age\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"dewpoint\"} 0\n"
            "sensomark_reading_valid{sensor=\"nosuch\",quantity=\"temperature\"} 0\n");
    EXPECT_EQ(formatPrometheus({}), "");
}

TEST(Format, CheckStateFollowsThresholdsAndTheStaleOption) {
    struct Case {
        const char *warning, *critical, *reply;
        PluginState stale, state;
    } cases[] = {
        {"10:30", "5:35", "valid=1;value=21.5;", STATE_UNKNOWN, STATE_OK},
        {"10:30", "5:35", "valid=1;value=30;", STATE_UNKNOWN, STATE_OK},
        {"10:30", "5:35", "valid=1;value=30.1;", STATE_UNKNOWN, STATE_WARNING},
        {"10:30", "5:35", "valid=1;value=9.9;", STATE_UNKNOWN, STATE_WARNING},
        {"10:30", "5:35", "valid=1;value=35.1;", STATE_UNKNOWN, STATE_CRITICAL},
        {"", "@20:25", "valid=1;value=20;", STATE_UNKNOWN, STATE_CRITICAL},
        {"", "@20:25", "valid=1;value=25.1;", STATE_UNKNOWN, STATE_OK},
        {"~:35", "", "valid=1;value=35.1;", STATE_UNKNOWN, STATE_WARNING},
        {"", "", "valid=1;value=1000;", STATE_UNKNOWN, STATE_OK},
        {"10:30", "5:35", "valid=0", STATE_UNKNOWN, STATE_UNKNOWN},
        {"10:30", "5:35", "valid=1;value=;", STATE_UNKNOWN, STATE_UNKNOWN},
        {"", "", "valid=0", STATE_OK, STATE_OK},
        {"", "", "valid=0", STATE_WARNING, STATE_WARNING},
        {"", "", "valid=1;value=;", STATE_CRITICAL, STATE_CRITICAL},
        {"", "", "", STATE_OK, STATE_UNKNOWN},  // an unknown name whatever stale data counts as
    };
    for (const Case& c : cases) {
        CheckOptions options = checkOptions(c.warning, c.critical);
        options.staleState = c.stale;
        PluginState state = STATE_OK;
        formatCheck({result("cellar.1", c.reply)}, options, &state);
        EXPECT_EQ(state, c.state) << c.warning << " " << c.critical << " " << c.reply;
    }
}

TEST(Format, CheckLineCarriesPerformanceData) {
    PluginState state = STATE_UNKNOWN;
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
