// The event log: level filter, time stamp, and one whole line per event under
// logMutex. The file is opened anew for every write, so it may be rotated or
// removed at any time.
#include "logging.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

std::string logFile;

namespace {

// The mutex is never destroyed: threads still running while the process ends
// may call logEvent after logShutdown, and must find a valid lock.
pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;

// Written under logMutex; read without it for the cheap early filter.
std::atomic<int> logLevel{LOG_DEBUG};

bool passes(int level) {
    return level >= 0 && level <= logLevel.load(std::memory_order_relaxed);
}

void lockOrDie(int result) {
    if (result != 0) {
        fwrite("cannot lock logMutex\n", 1, 21, stderr);
        exit(3);
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

// Writes whole lines to the log; called by the writer only.
void writeOut(const std::string& lines) {
    FILE* out = stdout;
    if (!logFile.empty()) {
        out = fopen(logFile.c_str(), "a");
        if (out == nullptr) {
            fprintf(stderr, "cannot open log file '%s'\n", logFile.c_str());
            exit(2);
        }
    }
    fwrite(lines.data(), 1, lines.size(), out);
    if (out == stdout) {
        // A pipe or the journal must see each line at once, not per 4 KiB.
        fflush(out);
    } else {
        fclose(out);
    }
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
    }
    writing = false;
    pthread_cond_broadcast(&writerDone);
}

}  // namespace

void logInit() {
    // logMutex is statically initialised with default attributes.
}

void setLogLevel(int newLevel) {
    lockOrDie(pthread_mutex_lock(&logMutex));
    logLevel.store(newLevel, std::memory_order_relaxed);
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

void logEvent(int level, std::string message) {
    if (!passes(level)) return;
    lockOrDie(pthread_mutex_lock(&logMutex));
    if (passes(level)) {
        appendLine(message);
        if (!writing) writePending();
    }
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

void logEventBeforeNext(int level, std::string message) {
    if (!passes(level)) return;
    lockOrDie(pthread_mutex_lock(&logMutex));
    if (passes(level)) appendLine(message);  // written by the next event
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

bool logWanted(int level) {
    return passes(level);
}

void logShutdown() {
    lockOrDie(pthread_mutex_lock(&logMutex));
    logLevel.store(LOG_DISABLED, std::memory_order_relaxed);
    // Lines already taken still go out, the last one ("ending daemon") included.
    while (writing) pthread_cond_wait(&writerDone, &logMutex);
    if (!pendingLines.empty()) writePending();
    lockOrDie(pthread_mutex_unlock(&logMutex));
}
