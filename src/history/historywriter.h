// Keeps every device's history in a folder (the statedir), one file per
// device, written gently for SD cards by a thread of its own:
// - the buckets that changed go to the end of the file at most once per sync
//   interval, with one fsync, and only when a value came since the last write;
// - the file is written whole (temporary file, fsync, rename, fsync of the
//   folder) at most once a day, after a failed write, and at the stop.
// A write that fails (full disk, read-only or missing folder) logs one
// critical line at most once an hour; the history in memory goes on and the
// next interval tries again, with a whole file.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "history.h"

class HistoryWriter {
  public:
    static constexpr int64_t REWRITE_EVERY_MS = 24 * 3600 * 1000;
    static constexpr int64_t FAILURE_LOG_EVERY_MS = 3600 * 1000;
    // How long the stop waits for the last whole files before it gives up.
    static constexpr int STOP_WAIT_MS = 1500;

    // Keeps the devices of history in folder dir, writing every syncMs.
    HistoryWriter(const History& history, std::string dir, int64_t syncMs);
    // Stops the thread (see stop).
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Reads every device's file into its history; call before values arrive.
    // A file whose header cannot be read is renamed aside to NAME.corrupt.
    void load();
    // Starts the writer thread; false (after logging) when it cannot be made.
    bool start();
    // Writes every changed history whole and ends the thread, waiting at
    // most STOP_WAIT_MS for it (a disk that hangs must not hang the stop).
    void stop();

    // What is due at time nowMs (a monotonic clock): appends when a sync
    // interval has passed since the last, whole files when final or a day
    // has passed. The thread calls it; the benchmark drives it by hand.
    void tick(int64_t nowMs, bool final = false);

    uint64_t bytesWritten() const { return state->bytes.load(); }
    uint64_t fsyncCount() const { return state->fsyncs.load(); }

  private:
    struct Device {
        std::string device;
        std::string path;
        std::shared_ptr<SensorHistory> history;
        SensorHistory::Mark mark;
        bool wholeNeeded = true;  // no good file to append to
        int64_t lastWholeMs = 0;
        bool failing = false;
    };
    // Shared with the thread, which may outlive a stop that gave up on it.
    struct State {
        std::string dir;
        int64_t syncMs;
        std::vector<Device> devices;
        int64_t nextSyncMs = 0;
        int64_t lastFailureLogMs = INT64_MIN;
        std::atomic<uint64_t> bytes{0};
        std::atomic<uint64_t> fsyncs{0};
    };
    static void step(State& s, int64_t nowMs, bool final);
    static bool writeWhole(State& s, Device& d, std::string* error);
    static bool append(State& s, Device& d, const std::string& record, std::string* error);
    static void run(std::shared_ptr<State> s, std::shared_ptr<struct WriterControl> control);

    std::shared_ptr<State> state;
    std::shared_ptr<struct WriterControl> control;
    std::thread thread;
};
