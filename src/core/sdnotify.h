// Readiness and status for systemd, sent as datagrams to the socket named by
// NOTIFY_SOCKET. Without that variable every call does nothing and no thread
// runs. notifyInit runs on the start-up thread; the others on any thread.
#pragma once
#include <functional>
#include <string>

// Reads NOTIFY_SOCKET and WATCHDOG_USEC and opens the sending socket. Call
// once before any thread starts, after the daemon switch.
void notifyInit();
// Sends one state line such as "READY=1" or "STOPPING=1".
void notifySend(const std::string& state);
// How often the watchdog wants WATCHDOG=1, in ms (half its time-out); -1
// when systemd watches nothing.
int notifyWatchdogMs();
// Starts the thread that sends "STATUS=" + status() after notifyChanged,
// at most once a second.
void notifyStartStatus(std::function<std::string()> status);
// Marks the status as changed; cheap enough for every request.
void notifyChanged();
