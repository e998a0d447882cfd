// Text utilities, the line cutter and the log line format.
#include "tool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "linebuffer.h"
#include "logging.h"
#include "testutil.h"

namespace {
std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters,
                                  std::vector<std::string> tokens = {}) {
    stringTokenize(text, tokens, delimiters);
    return tokens;
}

using Lines = std::vector<std::string>;

// Feeds chunks through a LineBuffer and collects every line it gives.
Lines cut(const std::vector<std::string>& chunks, bool keepEmpty, size_t maxPending = 1024) {
    LineBuffer buffer(maxPending, keepEmpty);
    Lines lines;
    std::string line;
    for (const std::string& chunk : chunks) {
        buffer.append(chunk.data(), chunk.size());
        while (buffer.next(line)) lines.push_back(line);
    }
    return lines;
}
}  // namespace

TEST(StringTokenize, RunsOfDelimitersSeparateOnceAndYieldNoEmptyWords) {
    EXPECT_EQ(tokenize("  a  b ", " "), (Lines{"a", "b"}));
    EXPECT_EQ(tokenize("temperature=21.5", "="), (Lines{"temperature", "21.5"}));
    EXPECT_EQ(tokenize("=5", "="), (Lines{"5"}));
    EXPECT_EQ(tokenize("a==b", "="), (Lines{"a", "b"}));
    EXPECT_EQ(tokenize("", " "), Lines{});
    EXPECT_EQ(tokenize("   ", " "), Lines{});
    EXPECT_EQ(tokenize("a b", ""), (Lines{"a b"}));
    EXPECT_EQ(tokenize("a;b c", "; "), (Lines{"a", "b", "c"}));
}

TEST(StringTokenize, AppendsAfterExistingWords) {
    EXPECT_EQ(tokenize("c d", " ", {"a", "b"}), (Lines{"a", "b", "c", "d"}));
}

TEST(Itoa, FormatsDecimal) {
    EXPECT_EQ(itoa(4000), "4000");
    EXPECT_EQ(itoa(-1), "-1");
    EXPECT_EQ(itoa(0), "0");
    EXPECT_EQ(itoa(-2147483647 - 1), "-2147483648");
}

TEST(LineBuffer, CutsAtCrOrLfAndCountsARunOnce) {
    EXPECT_EQ(cut({"a\r\nb\n"}, false), (Lines{"a", "b"}));
    EXPECT_EQ(cut({"a\n\r\n\rb\r"}, false), (Lines{"a", "b"}));
    EXPECT_EQ(cut({"tempera", "ture=21.5\n"}, false), (Lines{"temperature=21.5"}));
    EXPECT_EQ(cut({"no end yet"}, false), Lines{});
    EXPECT_EQ(cut({std::string("a\0b\n", 4)}, false), (Lines{std::string("a\0b", 3)}));
}

TEST(LineBuffer, LineEndArrivingFirstIsEmptyLineOnlyForClients) {
    // CR at the end of one chunk, LF at the start of the next.
    EXPECT_EQ(cut({"a\r", "\nb\n"}, false), (Lines{"a", "b"}));
    EXPECT_EQ(cut({"a\r", "\nb\n"}, true), (Lines{"a", "", "b"}));
    EXPECT_EQ(cut({"\r\n\r\n"}, false), Lines{});
    EXPECT_EQ(cut({"\n"}, true), (Lines{""}));
    EXPECT_EQ(cut({"a\n\n\nb\n"}, true), (Lines{"a", "b"}));
}

TEST(LineBuffer, OverLongLineIsDroppedUpToItsEnd) {
    std::string huge(5000, 'x');
    LineBuffer buffer(1024, false);
    Lines lines;
    std::string line;
    for (const std::string& chunk : {std::string("before\n"), huge.substr(0, 2000),
                                     huge.substr(2000), std::string("tail\nafter\n")}) {
        buffer.append(chunk.data(), chunk.size());
        while (buffer.next(line)) lines.push_back(line);
    }
    EXPECT_EQ(lines, (Lines{"before", "after"}));
    EXPECT_EQ(buffer.overflows(), 1u);
}

TEST(EventLog, WritesStampedLinesFiltersByLevelAndRecreatesARemovedFile) {
    TempDir dir;
    logFile = dir.file("log");
    setLogLevel(LOG_STAT);
    logEvent(LOG_STAT, "first");
    logEvent(LOG_DEBUG, "filtered");
    logEvent(-1, "never");
    remove(logFile.c_str());
    logEvent(LOG_CRITICAL, std::string("second\0with nul", 15));

    std::ifstream in(logFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.size(), 19u + 3 + 15 + 1);
    EXPECT_NE(text.find(std::string("second\0with nul\n", 16)), std::string::npos);
    EXPECT_TRUE(
        std::regex_match(text.substr(0, 19), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));

    logShutdown();
    logEvent(LOG_CRITICAL, "after shutdown");
    std::ifstream again(logFile, std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, text);
    setLogLevel(LOG_DEBUG);
    logFile.clear();
}
