// The event log: level filter, time stamp, escaping, and a bounded queue of
// whole lines that one writer thread of the log's own drains. The file is
// opened anew for every write, so it may be rotated or removed at any time.
#include "logging.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <system_error>

#include "mutex.h"
#include "syserror.h"
#include "threads.h"

std::string& logFile = *new std::string;

namespace {

// Pending bytes beyond which lines are dropped (critical ones excepted): a log
// reader that stopped reading must not grow the daemon without end.
const size_t MAX_PENDING_LOG_BYTES = 1024 * 1024;
// At the stop and at the end of start-up, what is pending gets this long to go out.
const auto DRAIN_WAIT = std::chrono::milliseconds(500);
// While descriptors run short, the writer tries the log file this often.
const useconds_t SHORTAGE_RETRY_US = 100 * 1000;
// The writer needs little stack, but a failing log file ends the process from
// it, and exit runs every static destructor on this stack.
const size_t WRITER_STACK_BYTES = 256 * 1024;

// Everything the threads share. Never destroyed: threads still running while
// the process ends may log after logShutdown, and the writer may still be
// blocked on its output.
struct LogState {
    Mutex mutex;
    std::condition_variable_any linesQueued;  // the writer waits here
    std::condition_variable_any linesOut;     // drain waits here

    // Guarded by mutex: the whole lines not yet taken by a write, oldest first;
    // the lines dropped since the output last drained; the bytes ever queued
    // and ever written, so that a wait knows when its lines are out; the
    // writer's state.
    std::string pending GUARDED_BY(mutex);
    uint64_t dropped GUARDED_BY(mutex) = 0;
    uint64_t queuedBytes GUARDED_BY(mutex) = 0;
    uint64_t writtenBytes GUARDED_BY(mutex) = 0;
    bool writerRunning GUARDED_BY(mutex) = false;
    bool writerIdle GUARDED_BY(mutex) = false;  // waiting on linesQueued
    // The time stamp of the second it was made for.
    time_t stampSecond GUARDED_BY(mutex) = -1;
    char stamp[20] GUARDED_BY(mutex) = "";
};
LogState& state = *new LogState;

// The threshold, read without the mutex for the cheap early filter; an event
// tests it again under the mutex, so that none joins the queue once
// logShutdown has set it (under the mutex) and drained the queue.
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

[[noreturn]] void cannotOpen(const std::string& path) {
    fprintf(stderr, "cannot open log file '%s'\n", path.c_str());
    fatal(2);
}

// Runs work(lock) with state.mutex held by lock; a lock that fails ends the
// process with code 3. Returns what work returns.
template <typename Work>
auto underLock(Work work) {
    try {
        MutexLock lock(state.mutex);
        return work(lock);
    } catch (const std::system_error&) {
        fwrite("cannot lock logMutex\n", 1, 21, stderr);
        fatal(3);
    }
}

// Appends the time-stamped line, each byte below 0x20 and 0x7f as "\x1b", so
// that no client or device can move the cursor of a terminal reading the log,
// or split a line.
void appendLine(const std::string& message) REQUIRES(state.mutex) {
    time_t now = time(nullptr);
    if (now != state.stampSecond) {
        struct tm local;
        localtime_r(&now, &local);
        strftime(state.stamp, sizeof(state.stamp), "%Y-%m-%d %H:%M:%S", &local);
        state.stampSecond = now;
    }
    std::string& out = state.pending;
    size_t before = out.size();
    out.append(state.stamp).append(" - ");
    static const char HEX[] = "0123456789abcdef";
    size_t plain = 0;  // first byte not yet appended
    for (size_t i = 0; i < message.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(message[i]);
        if (byte >= 0x20 && byte != 0x7f) continue;
        out.append(message, plain, i - plain).append("\\x");
        out.push_back(HEX[byte >> 4]);
        out.push_back(HEX[byte & 0xf]);
        plain = i + 1;
    }
    out.append(message, plain, std::string::npos).push_back('\n');
    state.queuedBytes += out.size() - before;
}

// Whether a line of level may join the pending ones; counts it when not.
bool roomFor(int level, const std::string& message) REQUIRES(state.mutex) {
    if (level == LOG_CRITICAL || state.pending.size() + message.size() < MAX_PENDING_LOG_BYTES)
        return true;
    ++state.dropped;
    return false;
}

// Like write(2), but writes all of data, continuing after short writes and
// interruptions (and waiting while a non-blocking fd is full); gives up on an
// error such as a closed pipe or a full disk. Returns the lines it could not
// write, a line begun counting as lost.
uint64_t writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            size_t begun = data.rfind('\n', done == 0 ? 0 : done - 1);
            begun = done == 0 || begun == std::string::npos ? 0 : begun + 1;
            return static_cast<uint64_t>(std::count(data.begin() + begun, data.end(), '\n'));
        }
    }
    return 0;
}

// Writes whole lines to the log, adding those it could not write to *lost;
// false, with errno set by open, when the log file cannot be opened.
bool writeOut(const std::string& lines, uint64_t* lost) {
    if (logFile.empty()) {
        *lost += writeAll(STDOUT_FILENO, lines);
        return true;
    }
    int fd = open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    *lost += writeAll(fd, lines);
    close(fd);
    return true;
}

// The writer's writeOut: a shortage of descriptors (clients, the web port)
// only delays the lines, while those behind them queue up to the bound.
bool writeBatch(const std::string& batch, uint64_t* lost) {
    while (!writeOut(batch, lost)) {
        if (errno != EMFILE && errno != ENFILE) return false;
        usleep(SHORTAGE_RETRY_US);
    }
    return true;
}

// Before the writer runs (start-up, one thread): writes what is pending now.
// False when the log file cannot be opened.
bool writePendingNow() REQUIRES(state.mutex) {
    bool opened = writeOut(state.pending, &state.dropped);
    state.writtenBytes += state.pending.size();
    state.pending.clear();
    return opened;
}

// Counts the batch just written (empty at first; lost: its lines the output
// did not take) and takes the next lines, waiting for them; also the place
// where the writer reports the lines dropped, once the output has drained and
// took a whole batch again.
void takeLines(MutexLock& lock, std::string* batch, uint64_t lost) REQUIRES(state.mutex) {
    state.writtenBytes += batch->size();
    state.dropped += lost;
    const bool wentOut = !batch->empty() && lost == 0;
    batch->clear();
    state.linesOut.notify_all();
    if (state.dropped > 0 && wentOut && state.pending.size() < MAX_PENDING_LOG_BYTES / 2) {
        appendLine(std::to_string(state.dropped) + " log lines dropped");
        state.dropped = 0;
    }
    state.writerIdle = true;
    lock.wait(state.linesQueued, []() REQUIRES(state.mutex) { return !state.pending.empty(); });
    state.writerIdle = false;
    batch->swap(state.pending);
}

// Gets what is pending written: before the writer runs by writing it now, else
// by waiting for the writer, at most DRAIN_WAIT; a stalled output is then given
// up. False when the log file cannot be opened.
bool drain(MutexLock& lock) REQUIRES(state.mutex) {
    if (!state.writerRunning) return state.pending.empty() || writePendingNow();
    state.linesQueued.notify_one();  // lines of logEventBeforeNext wake nobody
    uint64_t queued = state.queuedBytes;
    lock.waitFor(state.linesOut, DRAIN_WAIT,
                 [queued]() REQUIRES(state.mutex) { return state.writtenBytes >= queued; });
    return true;
}

// The writer: the only thread that waits for the output.
void* writerThread(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals are the service's to take
    pthread_setname_np(pthread_self(), "log");  // shows in top -H and /proc/PID/task/*/comm
    std::string batch;
    uint64_t lost = 0;
    for (;;) {
        underLock([&](MutexLock& lock) REQUIRES(state.mutex) { takeLines(lock, &batch, lost); });
        lost = 0;
        // After the stop the process is ending anyway: a vanished file is no news.
        if (!writeBatch(batch, &lost) && passes(LOG_CRITICAL)) cannotOpen(logFile);
    }
}

}  // namespace

void logInit() {
    // The state is statically initialised.
}

void setLogFatalHook(LogFatalHook hook) {
    fatalHook.store(hook);
}

void setLogLevel(int newLevel) {
    logLevel.store(newLevel, std::memory_order_relaxed);
}

void logEvent(int level, std::string message) {
    if (!passes(level)) return;
    bool opened = underLock([&](MutexLock&) REQUIRES(state.mutex) {
        if (!passes(level) || !roomFor(level, message)) return true;
        appendLine(message);
        if (!state.writerRunning) return writePendingNow();
        if (state.writerIdle) state.linesQueued.notify_one();
        return true;
    });
    if (!opened) cannotOpen(logFile);
}

void logEventBeforeNext(int level, std::string message) {
    if (!passes(level)) return;
    underLock([&](MutexLock&) REQUIRES(state.mutex) {
        if (passes(level) && roomFor(level, message)) appendLine(message);
    });
}

bool logWanted(int level) {
    return passes(level);
}

bool logStartWriter(std::string* error) {
    if (!spawnDetached(writerThread, nullptr, WRITER_STACK_BYTES)) {
        if (error != nullptr) *error = systemError("create a thread");
        return false;
    }
    underLock([](MutexLock&) REQUIRES(state.mutex) { state.writerRunning = true; });
    return true;
}

void logFlush() {
    bool opened = underLock([](MutexLock& lock) REQUIRES(state.mutex) { return drain(lock); });
    if (!opened) cannotOpen(logFile);
}

void logShutdown() {
    bool opened = underLock([](MutexLock& lock) REQUIRES(state.mutex) {
        logLevel.store(LOG_DISABLED, std::memory_order_relaxed);
        return drain(lock);
    });
    if (!opened) cannotOpen(logFile);
}
