// The pure parts of sensomark-query: ranges, query names, replies and the
// output formats.
#include "querylib.h"

#include <gtest/gtest.h>

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
    if (!warning.empty()) {
        options.warning.emplace();
        EXPECT_TRUE(parseRange(warning, &*options.warning));
        options.warningText = warning;
    }
    if (!critical.empty()) {
        options.critical.emplace();
        EXPECT_TRUE(parseRange(critical, &*options.critical));
        options.criticalText = critical;
    }
    return options;
}
}  // namespace

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
}

TEST(Range, MalformedTextIsRejected) {
    for (const char* text : {"abc",   "30:10", ":",    "",      "@",      "~",   ":10", "10:abc",
                             "1:2:3", "--1",   "1e3",  "nan",   "inf",    " 10", "10 ", "10:30x",
                             "@@10",  "~10",   "10:~", "1.2.3", "@30:10", "+",   "."}) {
        Range range;
        EXPECT_FALSE(parseRange(text, &range)) << "'" << text << "'";
    }
}

TEST(QueryName, SplitsAtLastFullStopAndWantsQuantityOneToThree) {
    struct Case {
        const char* text;
        bool ok;
        const char* sensor;
        int quantity;
    } cases[] = {
        {"cellar.1", true, "cellar", 1}, {"sensomark.com1.3", true, "sensomark.com1", 3},
        {"a.b.c.2", true, "a.b.c", 2},   {".1", true, "", 1},
        {"nodot", false, "", 0},         {"", false, "", 0},
        {"cellar.", false, "", 0},       {"cellar.0", false, "", 0},
        {"cellar.4", false, "", 0},      {"cellar.01", false, "", 0},
        {"cellar.1x", false, "", 0},     {"cellar.temperature", false, "", 0},
        {"cel\nlar.1", false, "", 0},    {"cellar.1\r", false, "", 0},
    };
    for (const Case& c : cases) {
        Query query;
        std::string error;
        ASSERT_EQ(parseQuery(c.text, &query, &error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find("bad query"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(query.text, c.text);
        EXPECT_EQ(query.sensor, c.sensor);
        EXPECT_EQ(query.quantity->type, c.quantity);
    }
    Query query;
    std::string error;
    EXPECT_FALSE(parseQuery(std::string("a\0.1", 4), &query, &error));
}

TEST(ReplyLine, ReadsEveryFormOfTheDaemonAndRejectsTheRest) {
    struct Case {
        const char* line;
        bool ok;
        ReplyKind kind;
        double value;
    } cases[] = {
        {"valid=1;value=21.5;", true, ReplyKind::VALUE, 21.5},
        {"valid=1;value=0;", true, ReplyKind::VALUE, 0},
        {"valid=1;value=1013;", true, ReplyKind::VALUE, 1013},
        {"valid=1;value=21.;", true, ReplyKind::VALUE, 21},
        {"valid=1;value=;", true, ReplyKind::NO_VALUE, 0},
        {"valid=1;value=.;", true, ReplyKind::NO_VALUE, 0},
        {"valid=1;value=1.2.3;", true, ReplyKind::NO_VALUE, 0},
        {"valid=0", true, ReplyKind::STALE, 0},
        {"", true, ReplyKind::UNKNOWN_NAME, 0},
        {"valid=0;", false, ReplyKind::STALE, 0},
        {"valid=1;value=21.5", false, ReplyKind::STALE, 0},
        {"valid=1;value=-3.5;", true, ReplyKind::VALUE, -3.5},
        {"valid=1;value=-;", true, ReplyKind::NO_VALUE, 0},
        {"valid=1;value=2e3;", false, ReplyKind::STALE, 0},
        {"valid=1;value=21.5;x", false, ReplyKind::STALE, 0},
        {"valid=1", false, ReplyKind::STALE, 0},
        {"VALID=0", false, ReplyKind::STALE, 0},
        {" valid=0", false, ReplyKind::STALE, 0},
        {"HTTP/1.1 400 Bad Request", false, ReplyKind::STALE, 0},
        {"garbage", false, ReplyKind::STALE, 0},
    };
    for (const Case& c : cases) {
        Reply reply;
        ASSERT_EQ(parseReply(c.line, &reply), c.ok) << "'" << c.line << "'";
        if (!c.ok) continue;
        EXPECT_EQ(reply.kind, c.kind) << c.line;
        if (c.kind == ReplyKind::VALUE) {
            EXPECT_DOUBLE_EQ(reply.value, c.value) << c.line;
        }
    }
}

TEST(PluginState, WorstStateWinsAndNamesRead) {
    EXPECT_EQ(worseState(STATE_OK, STATE_WARNING), STATE_WARNING);
    EXPECT_EQ(worseState(STATE_UNKNOWN, STATE_WARNING), STATE_WARNING);
    EXPECT_EQ(worseState(STATE_CRITICAL, STATE_UNKNOWN), STATE_CRITICAL);
    EXPECT_EQ(worseState(STATE_OK, STATE_UNKNOWN), STATE_UNKNOWN);
    EXPECT_EQ(worseState(STATE_OK, STATE_OK), STATE_OK);
    PluginState state = STATE_OK;
    EXPECT_TRUE(parseState("critical", &state));
    EXPECT_EQ(state, STATE_CRITICAL);
    EXPECT_TRUE(parseState("ok", &state));
    EXPECT_EQ(state, STATE_OK);
    EXPECT_FALSE(parseState("CRITICAL", &state));
    EXPECT_FALSE(parseState("", &state));
}

TEST(ExitCode, UnknownNameBeatsStaleBeatsValue) {
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=1;")}), 0);
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=1;"), result("a.2", "valid=0")}), 1);
    EXPECT_EQ(replyExitCode({result("a.1", "valid=1;value=;")}), 1);
    EXPECT_EQ(replyExitCode({result("x.1", ""), result("a.2", "valid=0")}), 2);
    EXPECT_EQ(replyExitCode({result("a.2", "valid=0"), result("x.1", "")}), 2);
}

TEST(Escaping, JsonAndPrometheusLabels) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString(std::string("t\tn\nr\rz\0\x1f", 9)), "\"t\\tn\\nr\\rz\\u0000\\u001f\"");
    EXPECT_EQ(jsonString("k\xc3\xbchl"), "\"k\xc3\xbchl\"");
    EXPECT_EQ(prometheusLabel("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\"");
    EXPECT_EQ(formatNumber(21.5), "21.5");
    EXPECT_EQ(formatNumber(30.1), "30.1");
    EXPECT_EQ(formatNumber(1013), "1013");
    EXPECT_EQ(formatNumber(0), "0");
}

TEST(Format, PlainPrefixesEachReplyWithItsQuery) {
    EXPECT_EQ(formatPlain({result("cellar.1", "valid=1;value=21.5;"), result("cellar.2", "valid=0"),
                           result("nosuch.1", "")}),
              "cellar.1: valid=1;value=21.5;\ncellar.2: valid=0\nnosuch.1:\n");
}

TEST(Format, JsonHasOneObjectPerQueryAndNullWithoutValue) {
    EXPECT_EQ(formatJson({result("cellar.1", "valid=1;value=21.5;"), result("cellar.2", "valid=0"),
                          result("cellar.3", "valid=1;value=;"), result("no\"such.1", "")}),
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
    const std::string temperatureHead =
        "# HELP sensomark_temperature_celsius Latest temperature in degrees Celsius; absent while "
        "the reading is not valid.\n# TYPE sensomark_temperature_celsius gauge\n";
    const std::string humidityHead =
        "# HELP sensomark_relative_humidity_percent Latest relative humidity in percent; absent "
        "while the reading is not valid.\n# TYPE sensomark_relative_humidity_percent gauge\n";
    const std::string validHead =
        "# HELP sensomark_reading_valid 1 while a fresh number is served for the reading, 0 "
        "otherwise.\n# TYPE sensomark_reading_valid gauge\n";
    EXPECT_EQ(
        formatPrometheus({result("cellar.1", "valid=1;value=21.5;"),
                          result("cellar.2", "valid=1;value=48.3;"), result("attic.1", "valid=0"),
                          result("gar\"age.1", "valid=1;value=7;"),
                          result("cellar.1", "valid=1;value=21.6;"),
                          result("cellar.3", "valid=1;value=;"), result("nosuch.1", "")}),
        temperatureHead + "sensomark_temperature_celsius{sensor=\"cellar\"} 21.5\n" +
            "sensomark_temperature_celsius{sensor=\"gar\\\"age\"} 7\n" + humidityHead +
            "sensomark_relative_humidity_percent{sensor=\"cellar\"} 48.3\n" + validHead +
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"humidity\"} 1\n"
            "sensomark_reading_valid{sensor=\"attic\",quantity=\"temperature\"} 0\n"
            "sensomark_reading_valid{sensor=\"gar\\\"age\",quantity=\"temperature\"} 1\n"
            "sensomark_reading_valid{sensor=\"cellar\",quantity=\"dewpoint\"} 0\n"
            "sensomark_reading_valid{sensor=\"nosuch\",quantity=\"temperature\"} 0\n");
    EXPECT_EQ(formatPrometheus({}), "");
}

TEST(Format, CheckStatesFollowThresholds) {
    struct Case {
        const char* warning;
        const char* critical;
        const char* reply;
        PluginState state;
    } cases[] = {
        {"10:30", "5:35", "valid=1;value=21.5;", STATE_OK},
        {"10:30", "5:35", "valid=1;value=30;", STATE_OK},
        {"10:30", "5:35", "valid=1;value=30.1;", STATE_WARNING},
        {"10:30", "5:35", "valid=1;value=9.9;", STATE_WARNING},
        {"10:30", "5:35", "valid=1;value=35.1;", STATE_CRITICAL},
        {"", "@20:25", "valid=1;value=20;", STATE_CRITICAL},
        {"", "@20:25", "valid=1;value=25.1;", STATE_OK},
        {"~:35", "", "valid=1;value=35;", STATE_OK},
        {"~:35", "", "valid=1;value=35.1;", STATE_WARNING},
        {"", "", "valid=1;value=1000;", STATE_OK},
        {"10:30", "5:35", "valid=0", STATE_UNKNOWN},
        {"10:30", "5:35", "valid=1;value=;", STATE_UNKNOWN},
        {"10:30", "5:35", "", STATE_UNKNOWN},
    };
    for (const Case& c : cases) {
        PluginState state = STATE_OK;
        formatCheck({result("cellar.1", c.reply)}, checkOptions(c.warning, c.critical), &state);
        EXPECT_EQ(state, c.state) << c.warning << " " << c.critical << " " << c.reply;
    }
}

TEST(Format, CheckLineCarriesPerformanceData) {
    PluginState state = STATE_UNKNOWN;
    EXPECT_EQ(
        formatCheck({result("cellar.1", "valid=1;value=21.5;")}, checkOptions("30", "35"), &state),
        "SENSOMARK OK - cellar temperature 21.5 | 'cellar_temperature'=21.5;30;35;;\n");
    EXPECT_EQ(state, STATE_OK);

    EXPECT_EQ(formatCheck({result("cellar.1", "valid=1;value=31;"),
                           result("cellar.2", "valid=1;value=48.3;"),
                           result("o'd=d|x.3", "valid=0"), result("nosuch.1", "")},
                          checkOptions("~:30", "@40:50"), &state),
              "SENSOMARK CRITICAL - cellar temperature 31, cellar humidity 48.3, o'd=d_x dewpoint "
              "stale, unknown sensor 'nosuch' | 'cellar_temperature'=31;~:30;@40:50;; "
              "'cellar_humidity'=48.3%;~:30;@40:50;0;100 'o_d_d_x_dewpoint'=U;~:30;@40:50;;\n");
    EXPECT_EQ(state, STATE_CRITICAL);
}

TEST(Format, StaleStateIsChosenByOption) {
    for (PluginState wanted : {STATE_OK, STATE_WARNING, STATE_CRITICAL, STATE_UNKNOWN}) {
        CheckOptions options;
        options.staleState = wanted;
        PluginState state = STATE_OK;
        EXPECT_EQ(formatCheck({result("attic.2", "valid=0")}, options, &state),
                  "SENSOMARK " + stateName(wanted) +
                      " - attic humidity stale | 'attic_humidity'=U;;;0;100\n");
        EXPECT_EQ(state, wanted);
        // An unknown name stays UNKNOWN whatever stale data counts as.
        formatCheck({result("nosuch.1", "")}, options, &state);
        EXPECT_EQ(state, STATE_UNKNOWN);
    }
}
