// Keeps every device's history in a folder (the statedir), one file per
// device, written gently for SD cards by a thread of its own, and by one
// daemon only (StateLock):
// - the buckets that changed go to the end of the file at most once per sync
//   interval, with one fsync, and only when a value came since the last
//   write; a failed append is cut back to the length before it;
// - the file is written whole (temporary file, fsync, rename, fsync of the
//   folder) when its appends have outgrown its whole part, or when it was
//   damaged, of an older version or held buckets ahead of the clock (the old
//   bytes kept aside first), and only when the disk has room for it;
// - the stop appends what is pending, then flushes the file system once.
// A failing device logs one critical line at once, then at most one an hour,
// and one line when it is written again. The start-up thread takes the lock
// and loads; then only the writer's thread touches the files.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "history.h"
#include "statelock.h"

class HistoryWriter {
  public:
    static constexpr int64_t FAILURE_LOG_EVERY_MS = 3600 * 1000;
    // How long the stop waits for the last appends before it gives up.
    static constexpr int STOP_WAIT_MS = 1500;
    // Appends beyond the whole part that make a whole write due, at the least.
    static constexpr uint64_t COMPACT_MIN_BYTES = 64 * 1024;
    // Copies of damaged files (and of files whose buckets ahead of the clock
    // were set aside) kept per device and kind: NAME.corrupt-N, NAME.ahead-N.
    static constexpr int ASIDE_KEPT = 3;

    // Keeps the devices of history in folder dir, writing every syncMs.
    HistoryWriter(const History& history, std::string dir, int64_t syncMs);
    // Stops the thread (see stop).
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Takes the folder's lock. False, after a critical line naming the folder
    // and the holder's pid, when another process holds it; a lock that cannot
    // be taken for another reason (a missing folder) is tried again before
    // every write, and nothing is written without it.
    bool lock();
    // Renames files named by the earlier rule, then reads every device's file
    // into its history; call before values arrive. A file that is no history
    // file is moved aside (NAME.corrupt-N) and its device starts empty.
    void load();
    // Starts the writer thread; false (after logging) when it cannot be made.
    bool start();
    // Appends what every history holds beyond its file, flushes them with one
    // syncfs(2) and ends the thread, waiting at most STOP_WAIT_MS for it (a
    // disk that hangs must not hang the stop); every device it could not
    // write logs a critical line.
    void stop();

    // What is due at time nowMs (a monotonic clock): appends and whole files
    // when a sync interval has passed since the last, appends when final. The
    // thread calls it; tests and the benchmark drive it by hand.
    void tick(int64_t nowMs, bool final = false);

    uint64_t bytesWritten() const { return state->bytes.load(); }
    uint64_t fsyncCount() const { return state->fsyncs.load(); }

  private:
    struct Device {
        std::string device;
        std::string path;
        std::shared_ptr<SensorHistory> history;
        SensorHistory::Mark mark;
        uint64_t asides = 0;           // the history's set-asides the file has seen
        bool exists = false;           // a file to append to
        uint64_t fileBytes = 0;        // its length
        uint64_t wholeBytes = 0;       // its length when last written whole
        bool wholeNeeded = false;      // written whole as soon as there is room
        const char* keepAs = nullptr;  // "corrupt", "ahead": its bytes go aside first
        int64_t lastFailureLogMs = INT64_MIN;
        bool failureLogged = false;  // in this run of failures
        bool roomWaitLogged = false;
        // The changes of the history on disk, read by a stop that gave up.
        std::shared_ptr<std::atomic<uint64_t>> written = std::make_shared<std::atomic<uint64_t>>(0);
    };
    // Shared with the thread, which may outlive a stop that gave up on it.
    struct State {
        std::string dir;
        int64_t syncMs;
        std::vector<Device> devices;
        StateLock lock;
        std::string lockError;  // why it is not held
        int64_t nextSyncMs = 0;
        std::atomic<uint64_t> bytes{0};
        std::atomic<uint64_t> fsyncs{0};
    };
    enum class Outcome { WRITTEN, NO_ROOM, FAILED };
    // START: the file is the history; LATE: the lock came after the start;
    // REFILL: buckets ahead of the clock were set aside. The last two take
    // from the file only what the history lacks.
    enum class Load { START, LATE, REFILL };

    void renameLegacyFiles();
    // The log lines of one device's load, told once every device is loaded.
    using LoadLog = std::vector<std::pair<int, std::string>>;
    static void loadAll(State& s, int64_t nowMinute, Load mode);
    static void loadDevice(State& s, Device& d, int64_t nowMinute, Load mode, LoadLog* log);
    static void moveAside(State& s, Device& d, const std::string& reason, LoadLog* log);
    static bool takeLockLate(State& s, int64_t nowMs, bool final);
    static void step(State& s, int64_t nowMs, bool final);
    static void syncDevice(State& s, Device& d, int64_t nowMs);
    static void finalWrites(State& s, int64_t nowMs);
    static Outcome writeWhole(State& s, Device& d, std::string* error);
    static Outcome append(State& s, Device& d, bool sync, std::string* error);
    static void failed(Device& d, int64_t nowMs, const std::string& error, bool final);
    static void succeeded(Device& d);
    static void run(std::shared_ptr<State> s, std::shared_ptr<struct WriterControl> control);

    std::shared_ptr<State> state;
    std::shared_ptr<struct WriterControl> control;
    std::thread thread;
};
