// The alert states over a restart: the file read back as written, never
// trusted. The daemon that keeps them is in alertdaemon_test.
#include "alertstate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
