// The alert engine on a clock the test sets: for, hysteresis, flapping values,
// missing readings, stale devices, below mirroring above; then what the views
// and a restart get from it.
#include "alertengine.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "alertview.h"
#include "testutil.h"

namespace {
const int64_t WALL = 1714557600;  // 2024-05-01T10:00:00Z at mono 0
AlertTime at(int64_t t) {
    return {t, WALL + t};
}

AlertConfig configOf(const std::vector<std::pair<std::string, std::string>>& keys) {
    AlertConfig config;
    std::string error;
    EXPECT_TRUE(parseAlertConfig(keys, {"cellar", "keller"}, &config, &error)) << error;
    return config;
}

// One device line of /dev/a at time t: "h=71" (humidity), "t=-5"
// (temperature) or "none" (nothing valid); "tick" ticks instead.
struct Step {
    int64_t t;
    std::string what;
};

// The engine of keys with /dev/a named cellar and keller, fed steps; the
// events as "T raised|cleared ALERT VALUE since S" (S, T on the mono clock).
std::vector<std::string> play(const std::vector<std::pair<std::string, std::string>>& keys,
                              const std::vector<Step>& steps) {
    AlertEngine engine(configOf(keys), {{"/dev/a", {"cellar", "keller"}}}, at(0));
    std::vector<std::string> events;
    engine.addListener([&](const AlertEvent& e) {
        events.push_back(std::to_string(e.at - WALL) + (e.raised ? " raised " : " cleared ") +
                         e.alert + " " + e.value + " since " + std::to_string(e.since - WALL));
    });
    for (const Step& s : steps) {
        if (s.what == "tick") {
            engine.tick(at(s.t));
            continue;
        }
        AlertInput in[QUANTITY_COUNT];
        if (s.what != "none") {
            int q = s.what[0] == 't' ? TEMPERATURE : HUMIDITY;
            std::string text = s.what.substr(2);
            in[q - 1] = {true, std::stod(text), text};
        }
        engine.onReading("/dev/a", in, at(s.t));
    }
    return events;
}
}  // namespace

TEST(AlertEngine, JudgesEachSequenceOfReadings) {
    using Events = std::vector<std::string>;
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> keys;
        std::vector<Step> steps;
        Events events;
    } cases[] = {
        {"for: raised once every reading for the duration was past the limit",
         {{"cellar.humidity", "above 70 for 10m"}},
         {{0, "h=71"}, {599, "h=72"}, {600, "h=71"}, {650, "h=71"}, {700, "h=70"}},
         {"600 raised above 70 for 10m 71 since 0", "700 cleared above 70 for 10m 70 since 0"}},
        {"for: a reading at the limit starts the duration anew",
         {{"keller.humidity", "above 70 for 10m"}},
         {{0, "h=71"}, {300, "h=70"}, {600, "h=71"}, {1199, "h=75"}, {1200, "h=71"}},
         {"1200 raised above 70 for 10m 71 since 600"}},
        {"hysteresis: cleared only at the clear level",
         {{"cellar.humidity", "above 70 clear 65"}},
         {{0, "h=71"}, {10, "h=66"}, {20, "h=69"}, {30, "h=65"}, {40, "h=70"}, {50, "h=70.1"}},
         {"0 raised above 70 clear 65 71 since 0", "30 cleared above 70 clear 65 65 since 0",
          "50 raised above 70 clear 65 70.1 since 50"}},
        {"flapping values never stay past the limit for the duration",
         {{"cellar.humidity", "above 70 for 1m"}},
         {{0, "h=71"}, {30, "h=69"}, {60, "h=71"}, {90, "h=69"}, {120, "h=71"}, {150, "h=60"}},
         {}},
        {"missing readings keep the state, pending and raised",
         {{"cellar.humidity", "above 70 for 1m"}},
         {{0, "h=71"}, {30, "t=20"}, {40, "none"}, {60, "h=71"}, {90, "none"}, {3600, "t=5"}},
         {"60 raised above 70 for 1m 71 since 0"}},
        {"below mirrors above",
         {{"cellar.temperature", "below 5 for 1m clear 7"}},
         {{0, "t=4"}, {60, "t=4.5"}, {70, "t=6.9"}, {80, "t=7"}, {90, "t=5"}, {100, "t=4.9"}},
         {"60 raised below 5 for 1m clear 7 4.5 since 0",
          "80 cleared below 5 for 1m clear 7 7 since 0"}},
        {"stale: silence from the start, cleared by a valid reading, again from it",
         {{"stale", "2m"}},
         {{119, "tick"}, {120, "tick"}, {121, "tick"}, {130, "h=50"}, {249, "tick"}, {250, "tick"}},
         {"120 raised stale  since 0", "130 cleared stale  since 0",
          "250 raised stale  since 130"}},
        {"stale: a line without a valid value is silence",
         {{"stale", "2m"}},
         {{60, "none"}, {120, "tick"}},
         {"120 raised stale  since 0"}},
    };
    for (const Case& c : cases) EXPECT_EQ(play(c.keys, c.steps), c.events) << c.what;
}

TEST(AlertEngine, ViewsShowTheAlertsAndTheLastHundredEventsAndARestartRaisesNothing) {
    AlertConfig config = configOf({{"keller.humidity", "above 70 clear 65"}, {"stale", "1m"}});
    AlertEngine engine(config, {{"/dev/a", {"cellar", "keller"}}, {"/dev/b", {"attic"}}}, at(0));
    AlertInput in[QUANTITY_COUNT];
    for (int i = 0; i < 60; ++i) {  // 120 events
        in[HUMIDITY - 1] = {true, 71, "71"};
        engine.onReading("/dev/a", in, at(2 * i));
        in[HUMIDITY - 1] = {true, 60, "60.0"};
        engine.onReading("/dev/a", in, at(2 * i + 1));
    }
    in[HUMIDITY - 1] = {true, 72.5, "72.5"};
    engine.onReading("/dev/a", in, at(130));
    engine.tick(at(130));  // /dev/b silent since 0; /dev/a read at 130

    auto doc = nlohmann::json::parse(alertsJson(engine.report(), WALL + 131));
    EXPECT_EQ(doc["active"].dump(),
              R"([{"alert":"above 70 clear 65","limit":"70","name":"keller","quantity":"humidity",)"
              R"("since":)" +
                  std::to_string(WALL + 130) +
                  R"(,"value":"72.5"},)"
                  R"({"alert":"stale","limit":"1m","name":"attic","quantity":null,"since":)" +
                  std::to_string(WALL) + R"(,"value":null}])");
    ASSERT_EQ(doc["events"].size(), AlertEngine::MAX_EVENTS);
    EXPECT_EQ(doc["events"][0]["message"],
              "attic ('/dev/b') has given no valid reading for 1m, since 2024-05-01T10:00:00Z");
    EXPECT_EQ(doc["events"][1]["message"],
              "keller humidity is 72.5 %, above 70 since 2024-05-01T10:02:10Z");
    EXPECT_EQ(
        doc["events"][2]["message"],
        "keller humidity is 60.0 %, back at or below 65 (above 70 since 2024-05-01T10:01:58Z)");

    NotifyCounts counts{3, 1, 2};
    std::string metrics = alertFamilies(engine.report(), &counts);
    for (const char* line :
         {"sensomark_alert_active{name=\"keller\",quantity=\"humidity\",alert=\"above 70 clear "
          "65\"} 1\n",
          "sensomark_alert_active{name=\"cellar\",quantity=\"\",alert=\"stale\"} 0\n",
          "sensomark_alert_active{name=\"attic\",quantity=\"\",alert=\"stale\"} 1\n",
          "sensomark_alert_notifications_total{result=\"dropped\"} 2\n"})
        EXPECT_TRUE(has(metrics, line)) << line << metrics;

    // A restart: what was active comes back without an event; the first
    // clearing reading is the one event.
    AlertEngine again(config, {{"/dev/a", {"cellar", "keller"}}, {"/dev/b", {"attic"}}}, at(0));
    std::vector<SavedAlert> saved = engine.active();
    saved.push_back({"keller", "humidity", "above 80", WALL});  // no longer configured
    EXPECT_EQ(again.restore(saved), 2u);
    std::vector<std::string> events;
    again.addListener([&](const AlertEvent& e) { events.push_back(e.message); });
    in[HUMIDITY - 1] = {true, 68, "68"};
    again.onReading("/dev/a", in, at(5));
    again.tick(at(60));  // attic still stale: no second event
    EXPECT_TRUE(events.empty());
    in[HUMIDITY - 1] = {true, 64, "64"};
    again.onReading("/dev/b", in, at(101));
    again.onReading("/dev/a", in, at(102));
    EXPECT_EQ(events,
              (std::vector<std::string>{
                  "attic ('/dev/b') gives valid readings again (silent since 2024-05-01T10:00:00Z)",
                  "keller humidity is 64 %, back at or below 65 (above 70 since "
                  "2024-05-01T10:02:10Z)"}));
}
