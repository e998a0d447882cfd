// The one process-wide event log: one time-stamped line per event, written to
// standard output or appended to logFile. Every thread may log.
#pragma once
#include <string>

const int LOG_DISABLED = -1;
const int LOG_CRITICAL = 0;
const int LOG_STAT = 1;
const int LOG_DEBUG = 2;

// Path of the log file; empty means standard output. Set only during the
// single-threaded start-up.
extern std::string logFile;

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
// Writes "YYYY-MM-DD HH:MM:SS - message" when 0 <= level <= threshold.
void logEvent(int level, std::string message);
// Like logEvent, but the line may wait in the log until the calling thread's
// next event, so that both go out in one write; that event must follow at once.
void logEventBeforeNext(int level, std::string message);
// Whether an event of level would be written now; lets a caller skip building
// a message that would be dropped.
bool logWanted(int level);
// Drops every later event; safe against threads that still log afterwards.
void logShutdown();
