// Turns SIGINT and SIGTERM into the shutdown request.
#include "sighandler.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "syserror.h"

std::atomic<int> shouldShutdown{0};

namespace {
// Written once on the start-up thread before any other thread exists.
int eventFd = -1;
int hangupFd = -1;

const int FALLBACK_STEP_MS = 200;
}  // namespace

bool initShutdownEvent(std::string* error) {
    if (hangupFd < 0) hangupFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd < 0) eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd < 0 && error != nullptr) *error = systemError("create an event");
    return eventFd >= 0;
}

int hangupEventFd() {
    return hangupFd;
}

bool takeHangup() {
    uint64_t count = 0;
    return hangupFd >= 0 && read(hangupFd, &count, sizeof(count)) == sizeof(count);
}

void catch_hangup_signal(int) {
    int savedErrno = errno;
    uint64_t one = 1;
    if (hangupFd >= 0 && write(hangupFd, &one, sizeof(one)) < 0) {
        // Full counter: a hang-up is pending already.
    }
    errno = savedErrno;
}

int shutdownEventFd() {
    return eventFd;
}

void requestShutdown() {
    shouldShutdown.store(1);
    if (eventFd < 0) return;
    // The counter only grows, so the descriptor stays readable for every wait.
    uint64_t one = 1;
    if (write(eventFd, &one, sizeof(one)) < 0) {
        // Full counter: it is readable already.
    }
}

int shutdownWaitMs() {
    return eventFd >= 0 ? -1 : FALLBACK_STEP_MS;
}

bool waitForShutdown(int timeoutMs) {
    if (eventFd < 0 && (timeoutMs < 0 || timeoutMs > FALLBACK_STEP_MS))
        timeoutMs = FALLBACK_STEP_MS;
    pollfd p = {eventFd, POLLIN, 0};
    poll(&p, eventFd >= 0 ? 1 : 0, timeoutMs);
    return shouldShutdown.load() != 0;
}

void catch_shutdown_signal(int) {
    int savedErrno = errno;  // the interrupted code may be about to read errno
    signal(SIGINT, catch_shutdown_signal);
    sigset_t all, old;
    sigfillset(&all);
    // Blocks everything for the rest of the handler; the kernel restores the
    // thread's mask when the handler returns.
    sigprocmask(SIG_SETMASK, &all, &old);
    requestShutdown();
    errno = savedErrno;
}
