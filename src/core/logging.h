// The one process-wide event log: one time-stamped line per event, written to
// standard output or appended to logFile. Every thread may log; once the
// writer runs, logging only queues the line and never waits for the output.
#pragma once
#include <string>

const int LOG_DISABLED = -1;
const int LOG_CRITICAL = 0;
const int LOG_STAT = 1;
const int LOG_DEBUG = 2;

// Path of the log file; empty means standard output. Set only during the
// single-threaded start-up; never destroyed, so threads may log while the
// process ends.
extern std::string& logFile;

// Makes the log ready; called before the first event.
void logInit();
// Called instead of exit when the log cannot go on, with the exit code: 2 when
// the log file cannot be opened, 3 when the log lock fails. The message is on
// standard error already. Must not return; without a hook the log calls exit.
// Set during start-up.
using LogFatalHook = void (*)(int exitCode);
void setLogFatalHook(LogFatalHook hook);
// Sets the threshold: events with a level above it are dropped.
void setLogLevel(int newLevel);
// Queues "YYYY-MM-DD HH:MM:SS - message" when 0 <= level <= threshold; bytes
// below 0x20 and 0x7f appear as "\x1b". Up to 1 MiB of lines wait for a slow
// output; beyond that non-critical lines are dropped and counted, and the
// count is logged once the output drains. Before logStartWriter the caller
// writes the line itself.
void logEvent(int level, std::string message);
// Like logEvent, but the writer need not be woken: the line goes out with the
// calling thread's next event, which must follow at once.
void logEventBeforeNext(int level, std::string message);
// Whether an event of level would be written now; lets a caller skip building
// a message that would be dropped.
bool logWanted(int level);
// Starts the log's own writer thread; from then on no caller waits for the
// output. Call once on the start-up thread, after the daemon switch (a thread
// does not survive fork). False, with the log still written by the callers,
// when the thread cannot be started (error, when given, says why).
bool logStartWriter(std::string* error = nullptr);
// Waits, at most half a second, until the lines taken so far are written; a
// stalled output is then given up. Ends the process (code 2) when the log file
// cannot be opened for them.
void logFlush();
// Drops every later event, then flushes as logFlush does. Safe against
// threads that still log afterwards.
void logShutdown();
