// Runs the notify program of [alerts] once per alert event, one at a time, on
// a thread of its own: any thread queues an event (never waiting; a full queue
// drops it, counted), the notifier thread runs the program and reads its
// output. The stop ends a running program's whole process group.
//
// The program is executed directly (no shell) in a process group of its own,
// standard input /dev/null, standard output and error read into the log (at
// most MAX_OUTPUT_BYTES per event), with the environment of the daemon plus
// SENSOMARK_EVENT, _ALERT, _NAME, _QUANTITY, _VALUE, _LIMIT, _SINCE and
// _MESSAGE. After the time limit its process group is killed; whatever it
// left running in its group when it ended is killed too.
#pragma once
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "alertengine.h"
#include "alertview.h"
#include "mutex.h"
#include "net.h"

class Notifier {
  public:
    static constexpr size_t QUEUE_LIMIT = 16;
    static constexpr int TIME_LIMIT_MS = 30000;
    static constexpr size_t MAX_OUTPUT_BYTES = 4096;
    // How often a running program is checked for its end while its output is quiet.
    static constexpr int CHECK_EVERY_MS = 200;

    // program: an absolute path; timeLimitMs: how long one run may take.
    explicit Notifier(std::string program, int timeLimitMs = TIME_LIMIT_MS);
    // Stops (see stop).
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Starts the thread; false (after logging) when it cannot be made.
    bool start();
    // Queues event for the program; any thread, never waits.
    void notify(const AlertEvent& event) EXCLUDES(mutex);
    // Kills the process group of a running program, drops what is queued
    // (counted) and joins the thread. No program of the notifier runs after.
    void stop() EXCLUDES(mutex);

    NotifyCounts counts() const;

  private:
    void run() EXCLUDES(mutex);
    void execute(const AlertEvent& event) EXCLUDES(mutex);
    bool stopRequested() EXCLUDES(mutex);

    const std::string program;
    const int timeLimitMs;
    UniqueFd wake;                                   // eventfd: readable once stop() was called
    const int wakeError = wake.valid() ? 0 : errno;  // why there is no wake
    std::atomic<uint64_t> ok{0}, failed{0}, dropped{0};

    Mutex mutex;
    std::condition_variable_any ready;
    std::deque<AlertEvent> queue GUARDED_BY(mutex);
    bool stopping GUARDED_BY(mutex) = false;

    // Last: it uses everything above.
    std::thread thread;
};
