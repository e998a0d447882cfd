// The alerts of [alerts] in the running daemon: a pseudo-terminal device past
// a limit and back as the notify program, /metrics, /alerts.json and the status
// page see it, kept over a restart; then a notify program that hangs, which
// holds up neither a query nor the stop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "alertengine.h"
#include "brokerutil.h"

using json = nlohmann::json;

namespace {
// Appends each event to notify.events as EVENT|NAME|QUANTITY|ALERT|VALUE|LIMIT|SINCE|MESSAGE;
// for the value 99.0 it then hangs with a child, its pid in notify.hang.
const char NOTIFY[] = R"sh(#!/bin/sh
echo "$SENSOMARK_EVENT|$SENSOMARK_NAME|$SENSOMARK_QUANTITY|$SENSOMARK_ALERT|$SENSOMARK_VALUE|$SENSOMARK_LIMIT|$SENSOMARK_SINCE|$SENSOMARK_MESSAGE" >> "$0.events"
if [ "$SENSOMARK_VALUE" = 99.0 ]; then
    echo $$ > "$0.hang.tmp"; mv "$0.hang.tmp" "$0.hang"; sleep 1000 & sleep 1000
fi
)sh";
const char HUMID[] =
    R"(sensomark_alert_active{name="cellar",quantity="humidity",alert="above 70 clear 65"})";

struct AlertRig {
    AlertRig() {
        dir.write("notify", NOTIFY);
        chmod(dir.file("notify").c_str(), 0755);
    }
    void start(const std::string& rules) {
        daemon = startDaemon(
            dir, configText(port, "metricsport = " + std::to_string(web) +
                                      "\nstatedir = " + dir.path + "\n[sensors]\n" + pty.slavePath +
                                      " = cellar\n/nonexistent/x = attic\n"
                                      "[MQTT]\nhost = h\n[alerts]\nnotify = notify\n" +
                                      rules));
    }
    // The notify program's lines that start with prefix.
    int notified(const std::string& prefix) const {
        std::istringstream in(readFile(dir.file("notify.events")));
        int n = 0;
        for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0;
        return n;
    }
    json alerts() const { return json::parse(httpGet(web, "/alerts.json").body); }
    // The entry of alerts().active for name and alert; null when not active.
    json active(const std::string& name, const std::string& alert) const {
        json document = alerts();
        for (const json& a : document["active"])
            if (a["name"] == name && a["alert"] == alert) return a;
        return nullptr;
    }
    TempDir dir;
    Pty pty;
    int port = freePort(), web = freePort();
    std::unique_ptr<Process> daemon;
};
}  // namespace

TEST(AlertsInTheDaemon, KeptOverARestartClearedEverywhereAndAHangingNotifyHoldsUpNothing) {
    AlertRig r;
    r.start("stale = 1s\ncellar.humidity = above 70 clear 65, below 20\n");
    // No number, and one beyond a float: neither is judged (as 0, as 1e40).
    r.pty.write("humidity=....\nhumidity=1" + std::string(40, '0') + "\n");
    r.pty.write("temperature=21.0 humidity=72.5\n");
    ASSERT_TRUE(eventually([&] {
        return r.notified("raised|cellar|humidity|above 70 clear 65|72.5|70|") == 1 &&
               r.notified("raised|attic||stale||1s|") == 1;  // never opened: stale all the same
    })) << readFile(r.dir.file("notify.events"));
    EXPECT_EQ(r.notified("raised|cellar|humidity|below 20"), 0);
    EXPECT_TRUE(r.daemon->waitFor(" - alert raised: cellar humidity is 72.5 %, above 70 since "));

    // The metric, the document and the page (their texts are alertengine_test's).
    ASSERT_TRUE(eventually([&] { return metricValue(scrape(r.web), HUMID) == 1; }));
    EXPECT_FALSE(has(scrape(r.web), "sensomark_mqtt"));  // [MQTT] is no [mqtt]
    ASSERT_TRUE(eventually([&] { return !r.active("attic", "stale").is_null(); }));
    json humid = r.active("cellar", "above 70 clear 65");
    EXPECT_EQ(humid["value"], "72.5");
    std::string page = httpGet(r.web, "/").body;
    EXPECT_TRUE(has(page, "<section class=\"card alerts\" role=\"alert\"><h2>")) << page;
    EXPECT_TRUE(has(page,
                    "<li><strong class=\"name\">cellar</strong> &middot; Humidity 72.5 %: "
                    "<span class=\"rule\">above 70 clear 65</span>"))
        << page;
    EXPECT_TRUE(has(page, "<section class=\"card alerting\">\n<h2><span class=\"name\">cellar"));
    EXPECT_TRUE(has(page, "<div class=\"reading q-humidity alerting\""));
    EXPECT_FALSE(has(page, "<div class=\"reading q-temperature alerting\""));

    // Restarted: still raised, and a reading past the limit announces nothing.
    r.daemon->signal(SIGTERM);
    ASSERT_EQ(r.daemon->wait(STOP_BOUND), 0) << r.daemon->output();
    r.start("stale = 1s\ncellar.humidity = above 70 clear 65, below 20\n");
    EXPECT_TRUE(r.daemon->waitFor("restored "));
    r.pty.write("humidity=73.0\n");
    ASSERT_TRUE(
        eventually([&] { return r.active("cellar", "above 70 clear 65")["value"] == "73.0"; }));
    json document = r.alerts();
    for (const json& e : document["events"])
        EXPECT_TRUE(e["event"] == "cleared" || (e["name"] == "cellar" && e["alert"] == "stale"))
            << e;  // the cellar may have been silent for a second meanwhile
    EXPECT_EQ(metricValue(scrape(r.web), HUMID), 1);

    // Cleared once, at the first reading at or below the clear level.
    r.pty.write("humidity=66.0\nhumidity=60.0\n");
    ASSERT_TRUE(eventually([&] {
        return r.notified("cleared|cellar|humidity|above 70 clear 65|60.0|65|") == 1;
    })) << readFile(r.dir.file("notify.events"));
    EXPECT_EQ(r.notified("raised|cellar|humidity"), 1);
    EXPECT_EQ(r.notified("raised|attic"), 1);
    EXPECT_TRUE(eventually([&] { return metricValue(scrape(r.web), HUMID) == 0; }));
    json cleared;  // the newest event of the rule
    document = r.alerts();
    for (const json& e : document["events"])
        if (e["alert"] == "above 70 clear 65" && cleared.is_null()) cleared = e;
    EXPECT_EQ(cleared["event"], "cleared");
    EXPECT_EQ(cleared["message"],
              "cellar humidity is 60.0 %, back at or below 65 (above 70 since " +
                  isoTime(humid["since"].get<int64_t>()) + ")");

    // A notify program that hangs holds up neither a query nor the stop, and
    // is killed with its group.
    r.pty.write("humidity=99.0\n");
    pid_t hanging = 0;
    ASSERT_TRUE(eventually(
        [&] { return (hanging = atoi(readFile(r.dir.file("notify.hang")).c_str())) > 0; }));
    r.pty.write("humidity=50.0\n");  // its event waits behind the hanging one
    EXPECT_TRUE(
        eventually([&] { return Client(r.port).query("cellar.2") == "valid=1;value=50.0;"; }));
    r.daemon->signal(SIGTERM);
    EXPECT_EQ(r.daemon->wait(STOP_BOUND), 0) << r.daemon->output();
    EXPECT_FALSE(groupRunning(hanging));
    EXPECT_TRUE(has(r.daemon->output(), "was killed at the stop, for raised cellar humidity"));
    EXPECT_TRUE(has(r.daemon->output(), " alert notifications not run: the daemon stops"));
    EXPECT_EQ(r.daemon->count("MQTT"), 0) << r.daemon->output();
}
