// The event log: level filter, time stamp, and one whole line per event under
// logMutex. The file is opened anew for every event, so it may be rotated or
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

// Writes one line; called with logMutex held.
void writeLine(const std::string& message) {
    FILE* out = stdout;
    if (!logFile.empty()) {
        out = fopen(logFile.c_str(), "a");
        if (out == nullptr) {
            fprintf(stderr, "cannot open log file '%s'\n", logFile.c_str());
            exit(2);
        }
    }
    time_t now = time(nullptr);
    struct tm local;
    char stamp[20];
    localtime_r(&now, &local);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

    // The message goes out byte for byte, NUL bytes included.
    std::string line;
    line.reserve(message.size() + 24);
    line.append(stamp).append(" - ").append(message).push_back('\n');
    fwrite(line.data(), 1, line.size(), out);
    if (out == stdout) {
        // A pipe or the journal must see each line at once, not per 4 KiB.
        fflush(out);
    } else {
        fclose(out);
    }
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
    if (passes(level)) writeLine(message);
    lockOrDie(pthread_mutex_unlock(&logMutex));
}

bool logWanted(int level) {
    return passes(level);
}

void logShutdown() {
    setLogLevel(LOG_DISABLED);
}
