// Turns SIGINT and SIGTERM into the shutdown request.
#include "sighandler.h"

#include <cerrno>
#include <csignal>

std::atomic<int> shouldShutdown{0};

void catch_shutdown_signal(int) {
    int savedErrno = errno;  // the interrupted code may be about to read errno
    signal(SIGINT, catch_shutdown_signal);
    sigset_t all, old;
    sigfillset(&all);
    // Blocks everything for the rest of the handler; the kernel restores the
    // thread's mask when the handler returns.
    sigprocmask(SIG_SETMASK, &all, &old);
    shouldShutdown.store(1);
    errno = savedErrno;
}
