// The history writer thread and its file operations.
#include "historywriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <set>
#include <system_error>

#include "historydisk.h"
#include "historyfile.h"
#include "logging.h"
#include "mutex.h"
#include "net.h"
#include "syserror.h"
#include "threads.h"

struct WriterControl {
    Mutex mutex;
    std::condition_variable_any wake;
    bool stopping GUARDED_BY(mutex) = false;
    bool done GUARDED_BY(mutex) = false;
};

namespace {
const int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// Free bytes a whole write leaves besides its own: the file system's blocks.
const uint64_t ROOM_MARGIN_BYTES = 64 * 1024;
// Threads that read the files at a start: the cores, up to this many.
const size_t MAX_LOAD_THREADS = 4;

bool noRoom(int error) {
    return error == ENOSPC || error == EDQUOT;
}

// Bytes the file system of dir has free for this process; UINT64_MAX when unknown.
uint64_t freeBytes(const std::string& dir) {
    struct statvfs st = {};
    if (statvfs(dir.c_str(), &st) != 0) return UINT64_MAX;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

// Writes data to fd, flushing it with fsync when sync; 0 or the error (and
// *error set). Counted in bytes and fsyncs either way.
int writeOut(int fd, const std::string& data, bool sync, std::atomic<uint64_t>& bytes,
             std::atomic<uint64_t>& fsyncs, std::string* error) {
    bytes += data.size();
    if (int e = writeAll(fd, data, error)) return e;
    if (!sync) return 0;
    ++fsyncs;
    if (fsync(fd) == 0) return 0;
    int e = errno;
    *error = systemError("fsync", e);
    return e;
}

// The last version of each bucket (tier and key) of buckets.
std::vector<StoredBucket> lastVersions(const std::vector<StoredBucket>& buckets) {
    std::vector<StoredBucket> last;
    std::set<std::pair<int, int64_t>> seen;
    for (auto b = buckets.rbegin(); b != buckets.rend(); ++b)
        if (seen.emplace(b->tier, b->key).second) last.push_back(*b);
    return last;
}

std::string busyText(const std::string& dir, const std::string& pid) {
    return "statedir '" + dir + "' is in use by another sensomarkUSB" +
           (pid.empty() ? "" : " (pid " + pid + ")");
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
        d.asides = h->asideCount();
        state->devices.push_back(std::move(d));
    });
}

HistoryWriter::~HistoryWriter() {
    stop();
}

bool HistoryWriter::lock() {
    if (state->lock.held()) return true;
    std::string detail;
    switch (state->lock.take(state->dir, &detail)) {
        case StateLock::Result::TAKEN:
            return true;
        case StateLock::Result::BUSY:
            logEvent(LOG_CRITICAL, busyText(state->dir, detail));
            return false;
        case StateLock::Result::FAILED:
            break;
    }
    state->lockError = detail;
    logEvent(LOG_CRITICAL, "cannot lock statedir '" + state->dir + "': " + detail +
                               "; its history files are read and written once it can be locked");
    return true;
}

void HistoryWriter::load() {
    if (!state->lock.held() && state->lockError.empty()) lock();
    if (!state->lock.held()) return;
    renameLegacyFiles();
    loadAll(*state, History::utcMinuteOf(History::wallNow()), Load::START);
}

void HistoryWriter::loadAll(State& s, int64_t nowMinute, Load mode) {
    // Inflating years of files is most of a start: the devices are shared out
    // among a thread per core, and their log lines come in device order after.
    std::vector<LoadLog> logs(s.devices.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < s.devices.size();)
            loadDevice(s, s.devices[i], nowMinute, mode, &logs[i]);
    };
    const size_t threads = std::min<size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), MAX_LOAD_THREADS, s.devices.size()});
    std::vector<std::thread> helpers;
    helpers.reserve(threads);  // push_back below never throws with a thread in hand
    std::string error;         // fewer helpers: those there are (and this thread) load the rest
    for (std::thread t; helpers.size() + 1 < threads && startThread(&t, work, &error);)
        helpers.push_back(std::move(t));
    work();
    for (std::thread& t : helpers) t.join();
    for (const LoadLog& log : logs)
        for (const auto& [level, text] : log) logEvent(level, text);
}

void HistoryWriter::renameLegacyFiles() {
    // A name is claimed by every device whose file it is under either rule.
    std::map<std::string, int> claims;
    for (const Device& d : state->devices) {
        std::string legacy = legacyHistoryFileName(d.device), name = historyFileName(d.device);
        ++claims[name];
        if (legacy != name) ++claims[legacy];
    }
    std::set<std::string> told;
    for (Device& d : state->devices) {
        std::string legacy = legacyHistoryFileName(d.device);
        if (legacy == historyFileName(d.device) || legacy.size() > 255) continue;
        const std::string from = state->dir + "/" + legacy;
        struct stat st = {};
        if (lstat(from.c_str(), &st) != 0 || lstat(d.path.c_str(), &st) == 0) continue;
        if (claims[legacy] > 1) {
            if (!told.insert(legacy).second) continue;
            logEvent(LOG_CRITICAL, "history file '" + from +
                                       "' may be that of more than one device, left as it is");
        } else if (rename(from.c_str(), d.path.c_str()) == 0) {
            logEvent(LOG_STAT, "history file '" + from + "' renamed to '" + d.path + "'");
        } else {
            logEvent(LOG_CRITICAL,
                     "cannot rename history file '" + from + "': " + systemError("rename"));
        }
    }
}

void HistoryWriter::moveAside(State& s, Device& d, const std::string& reason, LoadLog* log) {
    const std::string name = d.path.substr(s.dir.size() + 1);
    const std::string aside = asidePath(s.dir, name, "corrupt");
    if (rename(d.path.c_str(), aside.c_str()) == 0) {
        pruneAside(s.dir, name, "corrupt", ASIDE_KEPT);
        log->emplace_back(LOG_CRITICAL, "history file '" + d.path + "' " + reason +
                                            ", moved aside to '" + aside + "'");
    } else {
        log->emplace_back(LOG_CRITICAL, "history file '" + d.path + "' " + reason + ", " +
                                            systemError("move it aside"));
    }
    d.exists = false;
}

void HistoryWriter::loadDevice(State& s, Device& d, int64_t nowMinute, Load mode, LoadLog* log) {
    std::string bytes, reason;
    ReadOutcome read = readHistoryBytes(d.path, &bytes, &reason);
    if (read == ReadOutcome::MISSING) {
        d.exists = false;
        return;
    }
    HistoryFileContent content;
    if (read == ReadOutcome::READ) content = readHistoryFile(bytes);
    if (read == ReadOutcome::UNUSABLE || !content.headerOk) {
        moveAside(s, d, read == ReadOutcome::UNUSABLE ? reason : "is unreadable", log);
        return;
    }
    // Buckets far ahead of the clock would hold recording off until then: a
    // clock that was set forward and back. They stay in the file until it is
    // written whole, and then in a copy kept aside.
    std::vector<StoredBucket>& buckets = content.buckets;
    int64_t newest = INT64_MIN, first = INT64_MAX;
    for (const StoredBucket& b : buckets) newest = std::max(newest, b.key);
    size_t before = buckets.size();
    if (mode == Load::REFILL || newest - nowMinute > SensorHistory::AHEAD_LIMIT_MINUTES) {
        for (const StoredBucket& b : buckets)
            if (b.key > nowMinute) first = std::min(first, b.key);
        buckets.erase(std::remove_if(buckets.begin(), buckets.end(),
                                     [&](const StoredBucket& b) { return b.key > nowMinute; }),
                      buckets.end());
    }
    if (mode == Load::START)
        d.history->restore(buckets);
    else
        d.history->restore(lastVersions(buckets), true);
    if (buckets.size() < before) {
        if (mode != Load::REFILL)
            log->emplace_back(
                LOG_CRITICAL,
                "history file '" + d.path + "': " + std::to_string(before - buckets.size()) +
                    " buckets from " + History::utcMinuteText(first) +
                    " on lie ahead of the clock, the newest more than a day: set aside");
        d.wholeNeeded = true;
        if (d.keepAs == nullptr) d.keepAs = "ahead";
    }
    if (content.damagedBytes > 0) {
        if (d.keepAs == nullptr || std::string(d.keepAs) != "corrupt")
            log->emplace_back(
                LOG_CRITICAL,
                "history file '" + d.path + "': skipped " + std::to_string(content.damagedBytes) +
                    " damaged bytes in " + std::to_string(content.damagedPlaces) +
                    (content.damagedPlaces == 1 ? " place" : " places") + ", loaded the rest");
        d.wholeNeeded = true;
        d.keepAs = "corrupt";
    }
    d.exists = true;
    d.fileBytes = bytes.size();
    d.wholeBytes =
        content.version == 1 ? bytes.size() : std::min<uint64_t>(content.wholeBytes, bytes.size());
    if (content.version == 1) d.wholeNeeded = true;
    if (mode == Load::START) {
        d.history->collect(&d.mark, true, nullptr);
        d.written->store(d.mark.changes);
    } else {
        d.wholeNeeded = true;  // what the history held and the file lacked
    }
    log->emplace_back(LOG_DEBUG, "history of '" + d.device +
                                     "': " + std::to_string(buckets.size()) + " buckets read");
}

HistoryWriter::Outcome HistoryWriter::writeWhole(State& s, Device& d, std::string* error) {
    // Checked before compressing: a tight disk would waste the work.
    uint64_t room = freeBytes(s.dir);
    if (room < d.fileBytes + ROOM_MARGIN_BYTES) {
        *error = std::to_string(room) + " bytes free";
        return Outcome::NO_ROOM;
    }
    SensorHistory::Mark mark = d.mark;
    std::vector<StoredBucket> buckets;
    d.history->collect(&mark, true, &buckets);
    std::string records = historyRecords(buckets);
    std::string data = historyFileHeader(static_cast<uint32_t>(16 + records.size())) + records;
    if (room < data.size() + ROOM_MARGIN_BYTES) {
        *error = std::to_string(room) + " bytes free";
        return Outcome::NO_ROOM;
    }
    const std::string temporary = d.path + ".tmp";
    unlink(temporary.c_str());  // left by a crash, or planted: never opened
    {
        UniqueFd f(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | OPEN_FLAGS, 0644));
        if (!f.valid()) {
            int e = errno;
            *error = systemError("create '" + temporary + "'", e);
            return noRoom(e) ? Outcome::NO_ROOM : Outcome::FAILED;
        }
        int e = writeOut(f.get(), data, true, s.bytes, s.fsyncs, error);
        if (e != 0) {
            unlink(temporary.c_str());
            return noRoom(e) ? Outcome::NO_ROOM : Outcome::FAILED;
        }
    }
    const std::string name = d.path.substr(s.dir.size() + 1);
    std::string aside;
    struct stat st = {};
    if (d.keepAs != nullptr && lstat(d.path.c_str(), &st) == 0) {
        aside = asidePath(s.dir, name, d.keepAs);
        if (!keepCopy(d.path, aside, error)) {
            unlink(temporary.c_str());
            return Outcome::FAILED;
        }
        pruneAside(s.dir, name, d.keepAs, ASIDE_KEPT);
    }
    if (rename(temporary.c_str(), d.path.c_str()) != 0) {
        *error = systemError("rename '" + temporary + "'");
        unlink(temporary.c_str());
        return Outcome::FAILED;
    }
    UniqueFd folder(open(s.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        fsync(folder.get());
        ++s.fsyncs;
    }
    d.mark = mark;
    d.exists = true;
    d.fileBytes = d.wholeBytes = data.size();
    d.wholeNeeded = d.roomWaitLogged = false;
    if (!aside.empty())
        logEvent(LOG_CRITICAL, "history file '" + d.path + "' written whole again, its former " +
                                   "bytes kept in '" + aside + "'");
    d.keepAs = nullptr;
    logEvent(LOG_DEBUG, "history of '" + d.device + "': " + std::to_string(data.size()) +
                            " bytes written whole");
    return Outcome::WRITTEN;
}

HistoryWriter::Outcome HistoryWriter::append(State& s, Device& d, bool sync, std::string* error) {
    SensorHistory::Mark mark = d.mark;
    std::vector<StoredBucket> buckets;
    d.history->collect(&mark, false, &buckets);
    std::string data = historyRecords(buckets);
    UniqueFd f(open(d.path.c_str(), O_WRONLY | O_APPEND | OPEN_FLAGS));
    struct stat st = {};
    if (!f.valid() || fstat(f.get(), &st) != 0) {
        int e = errno;
        if (e == ENOENT) d.exists = false;  // removed: written whole next
        *error = systemError("open", e);
        return Outcome::FAILED;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "it is no longer a regular file";
        return Outcome::FAILED;
    }
    const uint64_t before = static_cast<uint64_t>(st.st_size);
    if (before + data.size() > MAX_HISTORY_FILE_BYTES) {
        *error = "it would grow past " + std::to_string(MAX_HISTORY_FILE_BYTES) +
                 " bytes before there is room to write it whole";
        return Outcome::NO_ROOM;
    }
    int e = writeOut(f.get(), data, sync, s.bytes, s.fsyncs, error);
    if (e != 0) {
        // What went out would end the file in a torn record: cut it off.
        if (ftruncate(f.get(), static_cast<off_t>(before)) != 0) d.wholeNeeded = true;
        return noRoom(e) ? Outcome::NO_ROOM : Outcome::FAILED;
    }
    d.mark = mark;
    d.fileBytes = before + data.size();
    logEvent(LOG_DEBUG,
             "history of '" + d.device + "': " + std::to_string(data.size()) + " bytes appended");
    return Outcome::WRITTEN;
}

void HistoryWriter::failed(Device& d, int64_t nowMs, const std::string& error, bool final) {
    if (final) {
        logEvent(LOG_CRITICAL, "history file '" + d.path + "' not written at the stop: " + error);
        return;
    }
    if (d.lastFailureLogMs != INT64_MIN && nowMs - d.lastFailureLogMs < FAILURE_LOG_EVERY_MS)
        return;
    d.lastFailureLogMs = nowMs;
    d.failureLogged = true;
    logEvent(LOG_CRITICAL, "cannot write history file '" + d.path + "': " + error);
}

void HistoryWriter::succeeded(Device& d) {
    d.written->store(d.mark.changes);
    if (d.failureLogged) logEvent(LOG_STAT, "history file '" + d.path + "' written again");
    d.failureLogged = false;
}

void HistoryWriter::syncDevice(State& s, Device& d, int64_t nowMs) {
    uint64_t asides = d.history->asideCount();
    if (asides != d.asides) {
        // Buckets ahead of the clock were dropped: take back from the file
        // what they had replaced, and write it whole without them.
        d.asides = asides;
        LoadLog log;
        loadDevice(s, d, History::utcMinuteOf(History::wallNow()), Load::REFILL, &log);
        for (const auto& [level, text] : log) logEvent(level, text);
    }
    const bool pending = d.history->changedSince(d.mark);
    const bool compact = d.fileBytes > d.wholeBytes + std::max(d.wholeBytes, COMPACT_MIN_BYTES);
    std::string error;
    if (d.exists ? d.wholeNeeded || compact : pending) {
        Outcome outcome = writeWhole(s, d, &error);
        if (outcome == Outcome::WRITTEN) {
            succeeded(d);
            return;
        }
        if (outcome == Outcome::FAILED || !d.exists) {
            failed(d, nowMs, error, false);
            return;
        }
        if (!d.roomWaitLogged)
            logEvent(LOG_STAT, "history file '" + d.path +
                                   "' waits for room to be written whole (" + error +
                                   "); appending meanwhile");
        d.roomWaitLogged = true;
    }
    if (!pending) return;
    if (append(s, d, true, &error) == Outcome::WRITTEN)
        succeeded(d);
    else
        failed(d, nowMs, error, false);
}

void HistoryWriter::finalWrites(State& s, int64_t nowMs) {
    // Every append first, then one flush of the file system for all of them:
    // a file system flushes its disk at every fsync, some hundred times too
    // many for a box of many devices on an SD card.
    std::vector<Device*> appended;
    for (Device& d : s.devices) {
        if (!d.history->changedSince(d.mark)) continue;
        std::string error;
        const bool whole = !d.exists;  // flushed as it is written
        Outcome outcome = whole ? writeWhole(s, d, &error) : append(s, d, false, &error);
        if (outcome != Outcome::WRITTEN)
            failed(d, nowMs, error, true);
        else if (whole)
            succeeded(d);
        else
            appended.push_back(&d);
    }
    if (appended.empty()) return;
    UniqueFd folder(open(s.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ++s.fsyncs;
    std::string error;
    if (!folder.valid() || syncfs(folder.get()) != 0)
        error =
            systemError(folder.valid() ? "sync the statedir's file system" : "open the statedir");
    for (Device* d : appended) {
        if (error.empty())
            succeeded(*d);
        else
            failed(*d, nowMs, error, true);
    }
}

bool HistoryWriter::takeLockLate(State& s, int64_t nowMs, bool final) {
    std::string detail;
    StateLock::Result result = s.lock.take(s.dir, &detail);
    if (result == StateLock::Result::TAKEN) {
        // The folder came after the start: what its files hold joins the history.
        loadAll(s, History::utcMinuteOf(History::wallNow()), Load::LATE);
        return true;
    }
    if (result == StateLock::Result::BUSY) detail = busyText(s.dir, detail);
    for (Device& d : s.devices)
        if (d.history->changedSince(d.mark)) failed(d, nowMs, detail, final);
    return false;
}

void HistoryWriter::step(State& s, int64_t nowMs, bool final) {
    if (s.nextSyncMs == 0) s.nextSyncMs = nowMs + s.syncMs;
    bool syncDue = nowMs >= s.nextSyncMs;
    if (syncDue) s.nextSyncMs = nowMs + s.syncMs;
    if (!syncDue && !final) return;
    if (!s.lock.held() && !takeLockLate(s, nowMs, final)) return;
    if (final) return finalWrites(s, nowMs);
    for (Device& d : s.devices) syncDevice(s, d, nowMs);
}

void HistoryWriter::tick(int64_t nowMs, bool final) {
    step(*state, nowMs, final);
}

void HistoryWriter::run(std::shared_ptr<State> s, std::shared_ptr<WriterControl> c) {
    for (;;) {
        {
            MutexLock lock(c->mutex);
            int64_t wait = std::max<int64_t>(0, s->nextSyncMs - History::steadyMs());
            if (s->nextSyncMs == 0) wait = 0;
            lock.waitFor(c->wake, std::chrono::milliseconds(wait),
                         [&]() REQUIRES(c->mutex) { return c->stopping; });
            if (c->stopping) break;
        }
        step(*s, History::steadyMs(), false);
    }
    step(*s, History::steadyMs(), true);
    MutexLock lock(c->mutex);
    c->done = true;
    c->wake.notify_all();
}

bool HistoryWriter::start() {
    std::string error;
    auto s = state;
    auto c = control;
    if (startThread(
            &thread, [s, c] { run(s, c); }, &error))
        return true;
    logEvent(LOG_CRITICAL, "cannot start the history writer: " + error);
    return false;
}

void HistoryWriter::stop() {
    if (!thread.joinable()) {
        bool stopped;
        {
            MutexLock lock(control->mutex);
            stopped = control->stopping;
            control->stopping = true;
        }
        if (!stopped) step(*state, History::steadyMs(), true);
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
        return;
    }
    // The thread hangs on the disk: what it has not written is named, and it
    // is left behind.
    for (const Device& d : state->devices) {
        SensorHistory::Mark written;
        written.changes = d.written->load();
        if (d.history->changedSince(written))
            logEvent(LOG_CRITICAL, "history file '" + d.path + "' not written at the stop: not " +
                                       "done within " + std::to_string(STOP_WAIT_MS) + " ms");
    }
    thread.detach();
}
