// systemd's notification protocol: one datagram per state change to a Unix
// socket, its path in NOTIFY_SOCKET ("@" for the abstract namespace).
#include "sdnotify.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sighandler.h"
#include "threads.h"

namespace {
const int STATUS_MIN_INTERVAL_MS = 1000;
const size_t STATUS_STACK_BYTES = 64 * 1024;

// Set on the start-up thread before any other thread exists; never freed, so
// threads still running at exit find them valid.
int sendFd = -1;
sockaddr_un target;
socklen_t targetLen = 0;
int watchdogMs = -1;
// Written before the status thread starts; read by every thread that changes state.
std::atomic<int> changedFd{-1};
std::atomic<bool> dirty{false};
std::function<std::string()>* statusText = nullptr;

void* statusThread(void*) {
    while (!shouldShutdown.load()) {
        pollfd p[2] = {{changedFd.load(), POLLIN, 0}, {shutdownEventFd(), POLLIN, 0}};
        if (poll(p, p[1].fd >= 0 ? 2 : 1, shutdownWaitMs()) <= 0 || p[0].revents == 0) continue;
        uint64_t count;
        if (read(p[0].fd, &count, sizeof(count)) < 0) {
            // Nothing to read: another wake-up took it.
        }
        dirty.store(false);
        notifySend("STATUS=" + (*statusText)());
        // Changes meanwhile wait for the next turn.
        waitForShutdown(STATUS_MIN_INTERVAL_MS);
    }
    return nullptr;
}
}  // namespace

void notifyInit() {
    const char* path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0' || strlen(path) >= sizeof(target.sun_path)) return;
    target = {};
    target.sun_family = AF_UNIX;
    strncpy(target.sun_path, path, sizeof(target.sun_path) - 1);
    size_t len = strlen(path);
    if (path[0] == '@') target.sun_path[0] = '\0';  // abstract namespace
    targetLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    sendFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    const char* usec = getenv("WATCHDOG_USEC");
    const char* pid = getenv("WATCHDOG_PID");
    bool forUs = pid == nullptr || atol(pid) == getpid();
    long long micros = usec != nullptr ? atoll(usec) : 0;
    if (forUs && micros > 0) watchdogMs = static_cast<int>(std::max(1LL, micros / 2000));
}

void notifySend(const std::string& state) {
    if (sendFd < 0) return;
    // Never waits: a manager that does not read loses a line, the daemon goes on.
    ssize_t n;
    do {
        n = sendto(sendFd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&target), targetLen);
    } while (n < 0 && errno == EINTR);
}

int notifyWatchdogMs() {
    return watchdogMs;
}

void notifyStartStatus(std::function<std::string()> status) {
    if (sendFd < 0 || changedFd.load() >= 0) return;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    statusText = new std::function<std::string()>(std::move(status));
    notifySend("STATUS=" + (*statusText)());
    changedFd.store(fd);
    if (!spawnDetached(statusThread, nullptr, STATUS_STACK_BYTES)) changedFd.store(-1);
}

void notifyChanged() {
    int fd = changedFd.load(std::memory_order_relaxed);
    if (fd < 0 || dirty.load(std::memory_order_relaxed) || dirty.exchange(true)) return;
    uint64_t one = 1;
    if (write(fd, &one, sizeof(one)) < 0) {
        // The counter is full: the thread is due to wake anyway.
    }
}
