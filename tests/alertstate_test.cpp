// The alert states over a restart: the file read back as written, never
// trusted, and the alert service that neither announces a kept alert again
// nor misses the one that cleared while it was down.
#include "alertstate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "alertservice.h"
#include "logging.h"
#include "testutil.h"

TEST(AlertState, ReadsBackWhatWasWrittenAndRefusesWhatItCannotVouchFor) {
    TempDir dir;
    std::string path = dir.file(ALERT_STATE_FILE);
    std::vector<SavedAlert> alerts{
        {"cel%lar\t1", "humidity", "above 70 for 10m clear 65", 1714557600},
        {"attic", "", "stale", 7}},
        read;
    std::string error;
    ASSERT_TRUE(saveAlertState(path, alerts, &error)) << error;
    ASSERT_TRUE(loadAlertState(path, &read, &error)) << error;
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].name + "|" + read[0].quantity + "|" + read[0].alert + "|" +
                  std::to_string(read[0].since) + "|" + read[1].name + "|" + read[1].quantity +
                  "|" + read[1].alert + "|" + std::to_string(read[1].since),
              "cel%lar\t1|humidity|above 70 for 10m clear 65|1714557600|attic||stale|7");
    EXPECT_TRUE(loadAlertState(dir.file("missing"), &read, &error) && read.empty());

    ASSERT_EQ(symlink(path.c_str(), dir.file("link").c_str()), 0);
    mkfifo(dir.file("fifo").c_str(), 0600);  // no writer: never waited for
    dir.write("huge", "sensomark-alerts 1\n" + std::string(MAX_ALERT_STATE_BYTES, '\n'));
    const char* texts[] = {
        "",
        "garbage\n",
        "sensomark-alerts 1\n1 cellar humidity above 70",  // torn last line
        "sensomark-alerts 1\nx cellar humidity above 70\n",
        "sensomark-alerts 1\n1 cellar pressure above 70\n",
        "sensomark-alerts 1\n1 cel%zz humidity above 70\n",
        "sensomark-alerts 1\n1 cellar humidity\n",
        "sensomark-alerts 1\n1 cellar humidity above \x1b[2J\n",
    };
    std::vector<std::string> bad = {dir.file("link"), dir.file("fifo"), dir.file("huge"), dir.path};
    for (size_t i = 0; i < std::size(texts); ++i) {
        dir.write("bad" + std::to_string(i), texts[i]);
        bad.push_back(dir.file("bad" + std::to_string(i)));
    }
    for (const std::string& file : bad) {
        read = {{"x", "", "stale", 1}};
        error.clear();
        EXPECT_FALSE(loadAlertState(file, &read, &error)) << file;
        EXPECT_TRUE(read.empty() && !error.empty()) << file;
    }
}

TEST(AlertState, AnAlertActiveOverARestartIsNotNotifiedAgainOneClearedIsOnce) {
    TempDir dir;
    logFile = dir.file("log");
    dir.write("notify", "#!/bin/sh\necho \"$SENSOMARK_EVENT $SENSOMARK_VALUE\" >> \"$0.events\"\n");
    chmod(dir.file("notify").c_str(), 0755);
    AlertConfig config;
    std::string error;
    ASSERT_TRUE(parseAlertConfig({{"notify", dir.file("notify")}, {"cellar.humidity", "above 70"}},
                                 {"cellar"}, &config, &error))
        << error;
    std::vector<AlertDevice> devices{{"/dev/a", {"cellar"}}};
    auto feed = [](AlertService& service, double value) {
        AlertInput in[QUANTITY_COUNT];
        in[HUMIDITY - 1] = {true, value, std::to_string(static_cast<int>(value))};
        service.onReading("/dev/a", in);
    };
    std::string events = dir.file("notify.events");
    {
        AlertService first(config, devices, dir.path);
        ASSERT_TRUE(first.start());
        feed(first, 71);
        ASSERT_TRUE(eventually([&] { return readFile(events) == "raised 71\n"; }))
            << readFile(events);
    }  // stopped: the state file holds the raised alert
    {
        AlertService second(config, devices, dir.path);
        ASSERT_TRUE(second.start());
        feed(second, 72);
        feed(second, 60);
        ASSERT_TRUE(eventually([&] { return readFile(events) == "raised 71\ncleared 60\n"; }))
            << readFile(events);
    }
    std::string log = readFile(dir.file("log"));
    std::vector<std::string> lines = logLines(log);
    for (const char* line : {"alert raised: cellar humidity is 71 %", "restored 1 active alerts",
                             "alert cleared: cellar humidity is 60 %"})
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return has(l, line); }),
                  1)
            << line << "\n"
            << log;
    logFile = "";
}
