// The event log: level filter, time stamp, and one whole line per event under
// logMutex. The file is opened anew for every write, so it may be rotated or
// removed at any time.
#include "logging.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "sighandler.h"

std::string logFile;

namespace {

// The mutex is never destroyed: threads still running while the process ends
// may call logEvent after logShutdown, and must find a valid lock.
pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;

// Written under logMutex; read without it for the cheap early filter.
std::atomic<int> logLevel{LOG_DEBUG};

std::atomic<LogFatalHook> fatalHook{nullptr};

bool passes(int level) {
    return level >= 0 && level <= logLevel.load(std::memory_order_relaxed);
}

[[noreturn]] void fatal(int exitCode) {
    LogFatalHook hook = fatalHook.load();
    if (hook != nullptr) hook(exitCode);
    exit(exitCode);
}

void lockOrDie(int result) {
    if (result != 0) {
        fwrite("cannot lock logMutex\n", 1, 21, stderr);
        fatal(3);
    }
}

// Guarded by logMutex: the lines taken but not yet written, in the order the
// threads took the mutex, and whether a thread is writing them out. Whoever
// finds no writer becomes it and writes, with logMutex released, until nothing
// is pending; the others only append their line (as does logEventBeforeNext,
// whose line the next event takes along). A busy log thus costs one write for
// many lines, and no thread waits for the lock during a write.
// Both strings are never destroyed, like the mutex.
std::string& pendingLines = *new std::string;
std::string& writerBatch = *new std::string;  // the writer's only
bool writing = false;
pthread_cond_t writerDone = PTHREAD_COND_INITIALIZER;
// The time stamp of the second it was made for; guarded by logMutex.
time_t stampSecond = -1;
char stamp[20];

// Pending bytes beyond which lines are dropped (critical ones excepted): a log
// reader that stopped reading must not grow the daemon without end.
const size_t MAX_PENDING_LOG_BYTES = 1024 * 1024;
// Guarded by logMutex: lines dropped since the output last drained.
unsigned long droppedLines = 0;
// Once shutdown is requested, a blocked write is given up after this long.
const int STOPPING_WRITE_WAIT_MS = 500;
// A write to a pipe or terminal goes out in pieces the reader can take whole.
const size_t WRITE_PIECE_BYTES = 4096;
// Step of the bounded wait for a stalled output at the stop.
const int WRITE_STEP_MS = 100;

// Appends the time-stamped line; called with logMutex held.
void appendLine(const std::string& message) {
    time_t now = time(nullptr);
    if (now != stampSecond) {
        struct tm local;
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
        stampSecond = now;
    }
    // The message goes out byte for byte, NUL bytes included.
    pendingLines.append(stamp).append(" - ").append(message).push_back('\n');
}

// Like write(2), but writes all of data unless fd stays unwritable: without
// a limit while the daemon runs, for STOPPING_WRITE_WAIT_MS once it stops.
// A stalled reader (a full pipe, a paused terminal) thus never holds the stop.
void writeAll(int fd, const std::string& data) {
    // Once a write was given up at the stop, later ones get a single try.
    static std::atomic<bool> stalledAtStop{false};
    int stopBudgetMs = stalledAtStop.load() ? 0 : STOPPING_WRITE_WAIT_MS;
    size_t done = 0;
    while (done < data.size()) {
        bool stopping = shouldShutdown.load() != 0;
        pollfd p[2] = {{fd, POLLOUT, 0}, {shutdownEventFd(), POLLIN, 0}};
        int watched = !stopping && p[1].fd >= 0 ? 2 : 1;
        int timeout = stopping ? std::min(stopBudgetMs, WRITE_STEP_MS) : shutdownWaitMs();
        if (poll(p, watched, timeout) < 0 && errno != EINTR) return;
        if (p[0].revents == 0) {
            if (!stopping) continue;
            if (stopBudgetMs <= 0) {
                stalledAtStop.store(true);
                return;
            }
            stopBudgetMs -= WRITE_STEP_MS;
            continue;
        }
        size_t piece = std::min(data.size() - done, WRITE_PIECE_BYTES);
        ssize_t n = write(fd, data.data() + done, piece);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Writes whole lines to the log; called by the writer only.
void writeOut(const std::string& lines) {
    if (logFile.empty()) {
        writeAll(STDOUT_FILENO, lines);
        return;
    }
    int fd = open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "cannot open log file '%s'\n", logFile.c_str());
        fatal(2);
    }
    writeAll(fd, lines);
    close(fd);
}

// Called with logMutex held and no writer: becomes the writer until nothing is
// pending. Returns with logMutex held.
void writePending() {
    writing = true;
    while (!pendingLines.empty()) {
        writerBatch.swap(pendingLines);
        lockOrDie(pthread_mutex_unlock(&logMutex));
        writeOut(writerBatch);
        writerBatch.clear();
        lockOrDie(pthread_mutex_lock(&logMutex));
        if (droppedLines > 0 && pendingLines.size() < MAX_PENDING_LOG_BYTES / 2) {
            // The output drained: say what it missed.
            appendLine(std::to_string(droppedLines) + " log lines dropped");
            droppedLines = 0;
        }
    }
    writing = false;
    pthread_cond_broadcast(&writerDone);
}

// Whether a line of level may join the pending ones; counts it when not.
// Called with logMutex held.
bool roomFor(int level, const std::string& message) {
    if (level == LOG_CRITICAL || pendingLines.size() + message.size() < MAX_PENDING_LOG_BYTES)
        return true;
    ++droppedLines;
    return false;
}

}  // namespace

void logInit() {
    // logMutex is statically initialised with default attributes.
}

void setLogFatalHook(LogFatalHook hook) {
    fatalHook.store(hook);
}

void setLogLevel(int newLevel) {
    lockOrDie(pthread_mutex_lock(&logMutex));
    logLevel.store(newLevel, std::memory_order_relaxed);
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

void logEvent(int level, std::string message) {
    if (!passes(level)) return;
    lockOrDie(pthread_mutex_lock(&logMutex));
    if (passes(level) && roomFor(level, message)) {
        appendLine(message);
        if (!writing) writePending();
    }
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

void logEventBeforeNext(int level, std::string message) {
    if (!passes(level)) return;
    lockOrDie(pthread_mutex_lock(&logMutex));
    if (passes(level) && roomFor(level, message)) appendLine(message);  // written by the next event
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

bool logWanted(int level) {
    return passes(level);
}

void logShutdown() {
    lockOrDie(pthread_mutex_lock(&logMutex));
    logLevel.store(LOG_DISABLED, std::memory_order_relaxed);
    // Lines already taken still go out, the last one ("ending daemon")
    // included, unless the writer is blocked by a reader that stopped reading.
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    while (writing) {
        if (pthread_cond_timedwait(&writerDone, &logMutex, &deadline) == ETIMEDOUT) break;
    }
    if (!writing && !pendingLines.empty()) writePending();
    lockOrDie(pthread_mutex_unlock(&logMutex));
}
