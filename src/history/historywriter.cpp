// The history writer thread and its file operations.
#include "historywriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>

#include "historyfile.h"
#include "logging.h"
#include "mutex.h"
#include "net.h"
#include "syserror.h"

struct WriterControl {
    Mutex mutex;
    std::condition_variable_any wake;
    bool stopping GUARDED_BY(mutex) = false;
    bool done GUARDED_BY(mutex) = false;
};

namespace {
int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "failed to CALL (REASON)", the daemon's one form for a failed system call.
std::string failure(const char* call, int error) {
    return systemError(call, error);
}

// Writes all of data to fd; false with *error set otherwise.
bool writeAll(int fd, const std::string& data, std::string* error) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = failure("write", n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes all of data to fd and flushes it to the disk with one fsync
// (counted in s even when the write failed); false with *error set otherwise.
template <typename State>
bool writeSynced(State& s, int fd, const std::string& data, std::string* error) {
    bool written = writeAll(fd, data, error);
    s.bytes += data.size();
    if (written && fsync(fd) != 0) {
        *error = failure("fsync", errno);
        written = false;
    }
    ++s.fsyncs;
    return written;
}

bool readWhole(const std::string& path, std::string* bytes, int* error) {
    UniqueFd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.valid()) {
        *error = errno;
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(f.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            return false;
        }
        if (n == 0) return true;
        bytes->append(buffer, static_cast<size_t>(n));
    }
}
}  // namespace

HistoryWriter::HistoryWriter(const History& history, std::string dir, int64_t syncMs)
    : state(std::make_shared<State>()), control(std::make_shared<WriterControl>()) {
    state->dir = std::move(dir);
    state->syncMs = syncMs;
    history.visit([this](const std::string& device, const std::shared_ptr<SensorHistory>& h) {
        Device d;
        d.device = device;
        d.path = state->dir + "/" + historyFileName(device);
        d.history = h;
        state->devices.push_back(std::move(d));
    });
}

HistoryWriter::~HistoryWriter() {
    stop();
}

void HistoryWriter::load() {
    for (Device& d : state->devices) {
        std::string bytes;
        int error = 0;
        if (!readWhole(d.path, &bytes, &error)) {
            if (error != ENOENT)
                logEvent(LOG_CRITICAL,
                         "cannot read history file '" + d.path + "': " + failure("open", error));
            continue;
        }
        HistoryFileContent content = readHistoryFile(bytes);
        if (!content.headerOk) {
            std::string aside = d.path + ".corrupt";
            if (rename(d.path.c_str(), aside.c_str()) == 0) {
                logEvent(LOG_CRITICAL, "history file '" + d.path +
                                           "' is unreadable, moved aside to '" + aside + "'");
            } else {
                logEvent(LOG_CRITICAL, "history file '" + d.path + "' is unreadable, " +
                                           failure("rename", errno));
            }
            continue;
        }
        d.history->restore(content.buckets);
        d.history->collect(&d.mark, true, nullptr);
        d.wholeNeeded = content.damagedBytes > 0;
        if (d.wholeNeeded)
            logEvent(LOG_CRITICAL, "history file '" + d.path + "': skipped " +
                                       std::to_string(content.damagedBytes) + " damaged bytes");
        logEvent(LOG_DEBUG, "history of '" + d.device +
                                "': " + std::to_string(content.buckets.size()) + " buckets read");
    }
}

bool HistoryWriter::writeWhole(State& s, Device& d, std::string* error) {
    std::vector<StoredBucket> buckets;
    d.history->collect(&d.mark, true, &buckets);
    std::string records = historyRecords(buckets);
    std::string data = historyFileHeader(static_cast<uint32_t>(16 + records.size())) + records;
    std::string temporary = d.path + ".tmp";
    {
        UniqueFd f(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!f.valid()) {
            *error = failure("open", errno);
            return false;
        }
        if (!writeSynced(s, f.get(), data, error)) {
            unlink(temporary.c_str());
            return false;
        }
    }
    if (rename(temporary.c_str(), d.path.c_str()) != 0) {
        *error = failure("rename", errno);
        unlink(temporary.c_str());
        return false;
    }
    UniqueFd folder(open(s.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        fsync(folder.get());
        ++s.fsyncs;
    }
    logEvent(LOG_DEBUG, "history of '" + d.device + "': " + std::to_string(data.size()) +
                            " bytes written whole");
    return true;
}

bool HistoryWriter::append(State& s, Device& d, const std::string& record, std::string* error) {
    UniqueFd f(open(d.path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!f.valid()) {
        *error = failure("open", errno);
        return false;
    }
    bool written = writeSynced(s, f.get(), record, error);
    if (written)
        logEvent(LOG_DEBUG, "history of '" + d.device + "': " + std::to_string(record.size()) +
                                " bytes appended");
    return written;
}

void HistoryWriter::step(State& s, int64_t nowMs, bool final) {
    if (s.nextSyncMs == 0) s.nextSyncMs = nowMs + s.syncMs;
    bool syncDue = nowMs >= s.nextSyncMs;
    if (syncDue) s.nextSyncMs = nowMs + s.syncMs;
    if (!syncDue && !final) return;
    for (Device& d : s.devices) {
        if (d.lastWholeMs == 0) d.lastWholeMs = nowMs;
        if (!d.failing && !d.history->changedSince(d.mark)) continue;
        std::string error;
        bool ok;
        if (final || d.wholeNeeded || d.failing || nowMs - d.lastWholeMs >= REWRITE_EVERY_MS) {
            ok = writeWhole(s, d, &error);
            if (ok) d.lastWholeMs = nowMs;
        } else {
            std::vector<StoredBucket> buckets;
            d.history->collect(&d.mark, false, &buckets);
            ok = append(s, d, historyRecords(buckets), &error);
        }
        if (ok) {
            if (d.failing) logEvent(LOG_STAT, "history file '" + d.path + "' written again");
            d.failing = d.wholeNeeded = false;
            continue;
        }
        // The file may end in a torn record now: the next write is whole.
        d.failing = d.wholeNeeded = true;
        if (s.lastFailureLogMs == INT64_MIN || nowMs - s.lastFailureLogMs >= FAILURE_LOG_EVERY_MS) {
            s.lastFailureLogMs = nowMs;
            logEvent(LOG_CRITICAL, "cannot write history file '" + d.path + "': " + error);
        }
    }
}

void HistoryWriter::tick(int64_t nowMs, bool final) {
    step(*state, nowMs, final);
}

void HistoryWriter::run(std::shared_ptr<State> s, std::shared_ptr<WriterControl> c) {
    for (;;) {
        {
            MutexLock lock(c->mutex);
            int64_t wait = std::max<int64_t>(0, s->nextSyncMs - steadyMs());
            if (s->nextSyncMs == 0) wait = 0;
            lock.waitFor(c->wake, std::chrono::milliseconds(wait),
                         [&]() REQUIRES(c->mutex) { return c->stopping; });
            if (c->stopping) break;
        }
        step(*s, steadyMs(), false);
    }
    step(*s, steadyMs(), true);
    MutexLock lock(c->mutex);
    c->done = true;
    c->wake.notify_all();
}

bool HistoryWriter::start() {
    try {
        thread = std::thread(run, state, control);
    } catch (const std::system_error& e) {
        logEvent(LOG_CRITICAL, std::string("cannot start the history writer: ") + e.what());
        return false;
    }
    return true;
}

void HistoryWriter::stop() {
    if (!thread.joinable()) {
        bool stopped;
        {
            MutexLock lock(control->mutex);
            stopped = control->stopping;
            control->stopping = true;
        }
        if (!stopped) step(*state, steadyMs(), true);
        return;
    }
    bool done;
    {
        MutexLock lock(control->mutex);
        control->stopping = true;
        control->wake.notify_all();
        done = lock.waitFor(control->wake, std::chrono::milliseconds(STOP_WAIT_MS),
                            [&]() REQUIRES(control->mutex) { return control->done; });
    }
    if (done) {
        thread.join();
    } else {
        logEvent(LOG_CRITICAL, "history files not written within " + std::to_string(STOP_WAIT_MS) +
                                   " ms, stopping without them");
        thread.detach();
    }
}
