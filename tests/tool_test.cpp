// Text utilities, the line cutter and the log line format.
#include "tool.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

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

    std::ifstream in(logFile);
    std::string line;
    std::vector<int> next(threads, 0);
    int count = 0;
    const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - t(\d+) n(\d+))");
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, format)) << line;
        int t = std::stoi(m[1]), n = std::stoi(m[2]);
        EXPECT_EQ(n, next[t]) << line;
        next[t] = n + 1;
        ++count;
    }
    EXPECT_EQ(count, threads * pairs * 2);
    logFile.clear();
}

TEST(EventLog, ShutdownWritesALineLeftForTheNextEvent) {
    TempDir dir;
    logFile = dir.file("log");
    logEventBeforeNext(LOG_STAT, "left for the next event");
    logShutdown();
    logEventBeforeNext(LOG_STAT, "after shutdown");
    logEvent(LOG_STAT, "after shutdown");
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find(" - left for the next event\n"), std::string::npos);
    EXPECT_EQ(text.str().find("after shutdown"), std::string::npos);
    EXPECT_FALSE(logWanted(LOG_CRITICAL));
    setLogLevel(LOG_DEBUG);
    EXPECT_TRUE(logWanted(LOG_DEBUG));
    EXPECT_FALSE(logWanted(-1));
    logFile.clear();
}

TEST(WaitStep, RecvOnALimitedSocketGivesUpWithEagain) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_TRUE(limitSocketWait(pair[0]));
    char byte;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(pair[0], &byte, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(WAIT_STEP_MS / 2));
    EXPECT_LT(waited, 5s);
    // Data that is there is read at once.
    ASSERT_EQ(send(pair[1], "x", 1, 0), 1);
    EXPECT_EQ(recv(pair[0], &byte, 1, 0), 1);
    close(pair[0]);
    close(pair[1]);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    EXPECT_FALSE(limitSocketWait(pipeEnds[0]));  // no socket: the caller polls instead
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(WaitStep, ReadableOrShutdownReportsDataAndTimeOut) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitReadableOrShutdown(pipeEnds[0]), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(WAIT_STEP_MS / 2));
    ASSERT_EQ(write(pipeEnds[1], "x", 1), 1);
    EXPECT_GT(waitReadableOrShutdown(pipeEnds[0]), 0);
    close(pipeEnds[1]);
    close(pipeEnds[0]);
}

TEST(WaitStep, AcceptGivesUpWithEagainAndAcceptedSocketsInheritTheStep) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 5), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_TRUE(limitSocketWait(listener));
    EXPECT_EQ(accept(listener, nullptr, nullptr), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

    Client client(ntohs(addr.sin_port));
    ASSERT_TRUE(client.connected());
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    struct timeval step = {};
    len = sizeof(step);
    ASSERT_EQ(getsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &step, &len), 0);
    EXPECT_EQ(step.tv_sec * 1000 + step.tv_usec / 1000, WAIT_STEP_MS);
    close(accepted);
    close(listener);
}
