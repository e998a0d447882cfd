// The process-wide shutdown flag and the handler that sets it on SIGINT and
// SIGTERM. Every service loop polls the flag without a lock.
#pragma once
#include <atomic>

// 0 while the daemon runs; set to 1 once, never back. Lock-free, so a signal
// handler may set it and any thread may read it.
extern std::atomic<int> shouldShutdown;
static_assert(std::atomic<int>::is_always_lock_free, "the shutdown flag must be lock-free");

// Handler for SIGINT and SIGTERM: re-installs itself for SIGINT and sets the
// flag. It does nothing else, so it is async-signal-safe.
void catch_shutdown_signal(int sig);
