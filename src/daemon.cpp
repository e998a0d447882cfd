// Detaching from the terminal: fork, setsid, fork, chdir("/"), /dev/null.
#include "daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "logging.h"

namespace {

void failIf(bool failed, const char* message) {
    if (failed) {
        logEvent(LOG_CRITICAL, message);
        exit(3);
    }
}

// Closes every descriptor; close_range does it in one call where the kernel
// has it, which matters when the descriptor limit is large.
void closeAllDescriptors() {
    if (close_range(0, UINT_MAX, 0) == 0) return;
    for (int fd = getdtablesize(); fd >= 0; --fd) close(fd);
}

}  // namespace

void daemonize() {
    // Whatever stdio holds must reach the terminal now: the parents leave with
    // _exit, and the daemon's copy would go to /dev/null.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    failIf(pid == -1, "cannot fork session group leader");
    if (pid > 0) _exit(0);

    failIf(setsid() == -1, "setsid failed");

    pid = fork();
    failIf(pid == -1, "cannot fork daemonized child");
    if (pid > 0) _exit(0);  // the session leader leaves; the child can never get a terminal

    failIf(chdir("/") == -1, "chdir root failed");

    closeAllDescriptors();
    int null = open("/dev/null", O_RDWR);  // becomes descriptor 0
    dup(null);
    dup(null);
    logEvent(LOG_DEBUG, "daemonized process");
}
