// The line cutter, the event log and the socket helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "linebuffer.h"
#include "logging.h"
#include "testutil.h"

using Lines = std::vector<std::string>;

TEST(LineBuffer, CutsAtCrOrLfCountingARunOnceAndKeepsAnEmptyLineOnlyForClients) {
    struct Case {
        std::vector<std::string> chunks;
        bool keepEmpty;
        Lines lines;
    } cases[] = {
        {{"a\r\nb\n"}, false, {"a", "b"}},
        {{"a\n\r\n\rb\r"}, false, {"a", "b"}},
        {{"tempera", "ture=21.5\n"}, false, {"temperature=21.5"}},
        {{"no end yet"}, false, {}},
        {{std::string("a\0b\n", 4)}, false, {std::string("a\0b", 3)}},
        // A line end arriving first into an empty buffer.
        {{"a\r", "\nb\n"}, false, {"a", "b"}},
        {{"a\r", "\nb\n"}, true, {"a", "", "b"}},
        {{"\r\n\r\n"}, false, {}},
        {{"\n"}, true, {""}},
        {{"a\n\n\nb\n"}, true, {"a", "b"}},
        // An over-long line is dropped up to its end.
        {{"before\n", std::string(2000, 'x'), std::string(3000, 'x') + "tail\nafter\n"},
         false,
         {"before", "after"}},
    };
    for (const Case& c : cases) {
        LineBuffer buffer(1024, c.keepEmpty);
        Lines lines;
        std::string line;
        for (const std::string& chunk : c.chunks) {
            buffer.append(chunk.data(), chunk.size());
            while (buffer.next(line)) lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines) << c.chunks[0];
        EXPECT_EQ(buffer.overflows(), c.chunks.size() == 3 ? 1u : 0u) << c.chunks[0];
    }
}

TEST(EventLog, FiltersByLevelRecreatesARemovedFileAndEndsAtShutdown) {
    TempDir dir;
    logFile = dir.file("log");
    setLogLevel(LOG_STAT);
    for (int level : {LOG_STAT, LOG_CRITICAL, LOG_DEBUG, -1})
        logEvent(level, "level " + std::to_string(level) + std::string("\0\x1b[2J\n\x7f~", 8));
    // Control bytes are shown, never acted on by a terminal.
    EXPECT_EQ(logLines(readFile(logFile)),
              (Lines{"level 1\\x00\\x1b[2J\\x0a\\x7f~", "level 0\\x00\\x1b[2J\\x0a\\x7f~"}));
    EXPECT_TRUE(logWanted(LOG_STAT) && !logWanted(LOG_DEBUG));
    remove(logFile.c_str());
    logEventBeforeNext(LOG_CRITICAL, "left for the next event");
    logShutdown();  // writes the line left waiting, and nothing after it
    logEvent(LOG_CRITICAL, "after shutdown");
    std::string text = readFile(logFile);
    EXPECT_EQ(logLines(text), Lines{"left for the next event"});
    EXPECT_EQ(text.size(), 22u + 23 + 1);
    EXPECT_FALSE(logWanted(LOG_CRITICAL));
    setLogLevel(LOG_DEBUG);
    EXPECT_TRUE(logWanted(LOG_DEBUG));
    EXPECT_FALSE(logWanted(-1));
    logFile.clear();
}

TEST(EventLog, ManyThreadsWriteWholeLinesEachThreadInItsOwnOrder) {
    TempDir dir;
    logFile = dir.file("log");
    const int threads = 8, pairs = 500;
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([t] {
            for (int i = 0; i < pairs; ++i) {
                std::string id = "t" + std::to_string(t) + " n";
                logEventBeforeNext(LOG_DEBUG, id + std::to_string(2 * i));
                logEvent(LOG_DEBUG, id + std::to_string(2 * i + 1));
            }
        });
    }
    for (std::thread& logger : loggers) logger.join();
    std::string text = readFile(logFile);
    Lines lines = logLines(text);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), threads * pairs * 2);
    ASSERT_EQ(lines.size(), size_t(threads * pairs * 2));
    std::vector<int> next(threads, 0);
    for (const std::string& line : lines) {
        int t = -1, n = -1;
        ASSERT_EQ(sscanf(line.c_str(), "t%d n%d", &t, &n), 2) << line;
        EXPECT_EQ(line, "t" + std::to_string(t) + " n" + std::to_string(n));
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        EXPECT_EQ(n, next[t]++) << line;
    }
    logFile.clear();
}
