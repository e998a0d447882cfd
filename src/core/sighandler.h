// The process-wide shutdown flag, the descriptor that wakes every wait when
// it is set, and the handler that sets both on SIGINT and SIGTERM.
#pragma once
#include <atomic>
#include <string>

// 0 while the daemon runs; set to 1 once, never back. Lock-free, so a signal
// handler may set it and any thread may read it.
extern std::atomic<int> shouldShutdown;
static_assert(std::atomic<int>::is_always_lock_free, "the shutdown flag must be lock-free");

// Makes the wake-up descriptors (shutdown and hang-up). Call once on the start-up thread, after the
// daemon switch (which closes every descriptor) and before the signal handlers
// are installed and any thread starts. False when it cannot be made (error,
// when given, says why).
bool initShutdownEvent(std::string* error = nullptr);
// Readable from the moment shutdown is requested on; -1 before initShutdownEvent.
int shutdownEventFd();
// Sets the flag and wakes every wait. Async-signal-safe.
void requestShutdown();
// The time-out of a wait that also watches shutdownEventFd(): none while the
// event exists, else a step of 200 ms after which the caller tests the flag.
int shutdownWaitMs();
// Waits until shutdown is requested, at most timeoutMs (-1: no limit).
// Returns whether it was requested.
bool waitForShutdown(int timeoutMs);

// Readable after SIGHUP until drained by takeHangup; -1 before initShutdownEvent.
int hangupEventFd();
// True (once per burst of signals) when SIGHUP arrived since the last call.
bool takeHangup();
// Handler for SIGHUP: only makes hangupEventFd readable. Async-signal-safe.
void catch_hangup_signal(int sig);

// Handler for SIGINT and SIGTERM: re-installs itself for SIGINT and requests
// shutdown. It does nothing else, so it is async-signal-safe.
void catch_shutdown_signal(int sig);
