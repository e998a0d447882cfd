// Section [alerts]: the rule grammar, accepted and refused, through the
// parser; a refusal ends the daemon with code 4. (Not the Prometheus rules of
// packaging/, which alerts_test covers.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "alertconfig.h"
#include "testutil.h"

namespace {
// The rules as one line each: "NAME QUANTITY above|below LIMIT FORs clear
// CLEAR 'TEXT'", then "stale Ns" and "notify PATH" when set.
std::string describe(const AlertConfig& c) {
    std::string out;
    for (const AlertRule& r : c.rules)
        out += r.name + " " + QUANTITIES[r.quantity - 1].key + (r.above ? " above " : " below ") +
               r.limitText + " " + std::to_string(r.forS) + "s clear " + r.clearText + " '" +
               r.text + "';";
    if (c.staleS > 0) out += "stale " + std::to_string(c.staleS) + "s;";
    if (!c.notify.empty()) out += "notify " + c.notify + ";";
    return out;
}
}  // namespace

TEST(AlertSection, EachRowIsAcceptedOrRefusedWithItsKeyAndReason) {
    TempDir dir;
    dir.write("notify.sh", "#!/bin/sh\n");
    chmod(dir.file("notify.sh").c_str(), 0755);
    dir.write("plain", "");
    std::string exe = dir.file("notify.sh");
    const std::string H = "invalid [alerts] key 'cellar.humidity': ";
    struct Row {
        std::string key, value, expected;  // what describe() gives, or the error
    } rows[] = {
        {"cellar.humidity", "above 70 for 10m clear 65, below 25",
         "cellar humidity above 70 600s clear 65 'above 70 for 10m clear 65';"
         "cellar humidity below 25 0s clear 25 'below 25';"},
        {"cellar.temperature", "below -18.5 clear -15 for 90s",
         "cellar temperature below -18.5 90s clear -15 'below -18.5 clear -15 for 90s';"},
        {"sensomark.com1.dewpoint", " above\t12   for 1h ",
         "sensomark.com1 dewpoint above 12 3600s clear 12 'above 12 for 1h';"},
        {"cellar.humidity", "above 70 clear 70",
         "cellar humidity above 70 0s clear 70 'above 70 clear 70';"},
        {"stale", "10m", "stale 600s;"},
        {"notify", exe, "notify " + exe + ";"},
        {"notify", "notify.sh", "notify " + exe + ";"},  // from the working directory
        // ---- refused
        {"kitchen.humidity", "above 70",
         "invalid [alerts] key 'kitchen.humidity': no sensor is named 'kitchen' under [sensors]"},
        {"cellar.pressure", "above 70",
         "invalid [alerts] key 'cellar.pressure': unknown quantity 'pressure' (temperature, "
         "humidity or dewpoint)"},
        {"cellar", "above 70",
         "invalid [alerts] key 'cellar': not notify, stale or a sensor name with a quantity"},
        {"cellar.humidity", "over 70",
         H + "'over 70': a rule starts with above or below, not 'over'"},
        {"cellar.humidity", "above", H + "'above': above and below need a limit"},
        {"cellar.humidity", "above 7x0", H + "'above 7x0': '7x0' is not a number"},
        {"cellar.humidity", "above 70 clear high",
         H + "'above 70 clear high': 'high' is not a number"},
        {"cellar.humidity", "above 70 for 10d",
         H + "'above 70 for 10d': '10d' is not a duration (a whole number with s, m or h)"},
        {"cellar.humidity", "above 70 for 1.5h",
         H + "'above 70 for 1.5h': '1.5h' is not a duration (a whole number with s, m or h)"},
        {"cellar.humidity", "above 70 for", H + "'above 70 for': for needs a value"},
        {"cellar.humidity", "above 70 for 1m for 2m",
         H + "'above 70 for 1m for 2m': for given twice"},
        {"cellar.humidity", "above 70 soon",
         H + "'above 70 soon': 'soon' where for or clear may follow"},
        {"cellar.humidity", "above 70 clear 75",
         H + "'above 70 clear 75': the clear level 75 is above the limit 70"},
        {"cellar.humidity", "below 20 clear 15",
         H + "'below 20 clear 15': the clear level 15 is below the limit 20"},
        {"cellar.humidity", "above 70,", H + "an empty rule"},
        {"cellar.humidity", "above 70, above 70", H + "'above 70' given twice"},
        {"stale", "0s",
         "invalid [alerts] key 'stale': '0s' is not a duration above 0 (a whole number with s, m "
         "or h)"},
        {"stale", "10",
         "invalid [alerts] key 'stale': '10' is not a duration above 0 (a whole number with s, m "
         "or h)"},
        {"notify", dir.file("plain"),
         "invalid [alerts] key 'notify': '" + dir.file("plain") +
             "' is not an executable regular file"},
        {"notify", dir.path,
         "invalid [alerts] key 'notify': '" + dir.path + "' is not an executable regular file"},
        {"notify", dir.file("gone"),
         "invalid [alerts] key 'notify': '" + dir.file("gone") + "': No such file or directory"},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    for (const Row& row : rows) {
        AlertConfig config;
        std::string error;
        bool ok =
            parseAlertConfig({{row.key, row.value}}, {"cellar", "sensomark.com1"}, &config, &error);
        EXPECT_EQ(ok ? describe(config) : error, row.expected) << row.key << " = " << row.value;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(AlertSection, ARefusedSectionEndsTheDaemonWithCode4AndOneCriticalLine) {
    TempDir dir;
    dir.write("sensomarkUSB.conf", configText(freePort(),
                                              "[sensors]\n/dev/ttyUSB0 = cellar\n"
                                              "[alerts]\ncellar.humidity = above 70 clear 75\n"));
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), 4) << out;
    std::vector<std::string> lines = logLines(out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "invalid [alerts] key 'cellar.humidity': 'above 70 clear 75': the clear "
                         "level 75 is above the limit 70"),
              1)
        << out;
    EXPECT_FALSE(has(out, "starting sensomarkUSB")) << out;
}
