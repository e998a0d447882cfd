// The event log: level filter, escaping, whole lines from many threads, and the
// real daemon behind an output that nobody reads.
#include "logging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "net.h"
#include "testutil.h"

using Lines = std::vector<std::string>;

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

TEST(EventLog, LinesAFullDiskRefusedAreCountedAsDropped) {
    TempDir dir;
    ASSERT_TRUE(logStartWriter());
    logFile = "/dev/full";  // every write: "No space left on device"
    for (int i = 0; i < 3; ++i) logEvent(LOG_CRITICAL, "lost");
    logFlush();
    logFile = dir.file("log");
    logEvent(LOG_CRITICAL, "back");
    EXPECT_TRUE(eventually([&] { return logLines(readFile(logFile)).size() == 2; }));
    EXPECT_EQ(logLines(readFile(logFile)), (Lines{"back", "3 log lines dropped"}));
    logFlush();
    logFile.clear();
}

TEST(EventLog, ManyThreadsWriteWholeLinesEachThreadInItsOwnOrder) {
    TempDir dir;
    logFile = dir.file("log");
    const int threads = 8, pairs = 500;
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t)
        loggers.emplace_back([t] {
            std::string id = "t" + std::to_string(t) + " n";
            for (int i = 0; i < pairs; ++i) {
                logEventBeforeNext(LOG_DEBUG, id + std::to_string(2 * i));
                logEvent(LOG_DEBUG, id + std::to_string(2 * i + 1));
            }
        });
    for (std::thread& logger : loggers) logger.join();
    Lines lines = logLines(readFile(logFile));
    ASSERT_EQ(lines.size(), size_t(threads * pairs * 2));
    std::vector<int> next(threads, 0);
    for (const std::string& line : lines) {
        int t = line.size() > 1 ? line[1] - '0' : -1;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        EXPECT_EQ(line, "t" + std::to_string(t) + " n" + std::to_string(next[t]++));
    }
    logFile.clear();
}

// Behind a pipe nobody reads: a device and clients are served, memory stays
// bounded, the lines it missed are counted, and the stop is not held up.
TEST(StalledLog, ServesNeitherGrowsMemoryNorHoldsTheStop) {
    TempDir dir;
    Pty device;
    fcntl(device.master, F_SETFL, O_NONBLOCK);
    // Writes all of bytes to the device while the daemon reads them; false when
    // it stopped reading (a reader that waits for the log), instead of stalling.
    auto feed = [&](const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            pollfd room = {device.master, POLLOUT, 0};
            if (poll(&room, 1, SLOWDOWN * 10000) != 1) return false;
            ssize_t n = write(device.master, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EAGAIN) return false;
            done += n > 0 ? n : 0;
        }
        return true;
    };
    int port = freePort();
    dir.write("sensomarkUSB.conf",
              configText(port, "loglevel = debug\n[sensors]\n" + device.slavePath + " = probe\n"));
    // Its standard output (and error) on a pipe that nobody reads.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    UniqueFd out(fds[0]), in(fds[1]);
    Process daemon({SENSOMARK_BIN}, dir.path, false, in.get());
    in.reset();
    // The last line's value is served once the daemon has read every line before it.
    auto readUpTo = [&](const std::string& lines, const std::string& last) {
        return feed(lines + "temperature=" + last + "\n") &&
               eventually(
                   [&] { return Client(port).query("probe.1") == "valid=1;value=" + last + ";"; },
                   SLOWDOWN * 10s);
    };
    // Each device line is logged in more than 16 bytes: these lines alone are
    // more than the pipe nobody reads can hold, however the writes fill its pages.
    std::string lines;
    for (int i = 0; i < fcntl(out.get(), F_GETPIPE_SZ) / 16; ++i) lines += "temperature=20.0\n";
    ASSERT_TRUE(readUpTo(lines, "21.5")) << "the device's reader waits for the log";
    // The pipe is full for good: more device lines and new clients are served all the same.
    EXPECT_TRUE(readUpTo(lines, "25.5"))
        << "the device's reader, the accept loop or the client waits for the log";

    std::string burst;
    for (int q = 0; q < 500; ++q) burst += "probe.1\n";
    // Six clients pipeline queries while nobody reads the log.
    std::atomic<bool> flooding{true};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&] {
            Client c(port);
            while (flooding) {
                c.send(burst);
                c.replies(500, 1s);
            }
        });
    }
    std::this_thread::sleep_for(3s);
#ifndef SENSOMARK_SANITIZED  // the sanitizers' own bookkeeping grows any process
    EXPECT_LT(atol(procStatus(daemon.pid(), "VmRSS").c_str()), 16 * 1024 + EMULATOR_RSS_KIB)
        << "resident KiB";
#endif
    flooding = false;
    for (auto& t : clients) t.join();

    // Draining the output brings the count of what it missed.
    std::string drained;
    char buffer[65536];
    EXPECT_TRUE(eventually(
        [&] {
            ssize_t n = waitReadable(out.get(), 100) > 0 ? read(out.get(), buffer, 65536) : 0;
            if (n > 0) drained.append(buffer, n);
            return drained.find(" log lines dropped\n") != std::string::npos;
        },
        10s));
    // Stalled once more: the stop still ends the daemon at once.
    Client c(port);
    c.send(burst + burst + burst + burst);
    c.replies(2000, 1s);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(SLOWDOWN * 5s), 0)
        << "SIGTERM must end the daemon behind a full log pipe";
}
