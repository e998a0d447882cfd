// Detaching from the terminal: fork, setsid, fork, chdir("/"), /dev/null.
#include "daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "logging.h"

namespace {

// The daemon's end of the pipe to the starting process; taken (set to -1) by
// the first report.
std::atomic<int> reportFd{-1};

void failIf(bool failed, const char* message) {
    if (failed) {
        logEvent(LOG_CRITICAL, message);
        reportStartup(3);
        exit(3);
    }
}

// The starting process: waits for the daemon's report and leaves with it.
[[noreturn]] void awaitReport(int fd) {
    pollfd p = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, STARTUP_WAIT_S * 1000);
    } while (ready < 0 && errno == EINTR);
    // Still starting after the wait: it runs, so the start is no failure.
    if (ready == 0) _exit(0);
    unsigned char code = 1;
    if (read(fd, &code, 1) != 1) code = 1;  // ended without a word
    _exit(code);
}

// Closes every descriptor but keep (above 2); close_range does it in few calls where the
// kernel has it, which matters when the descriptor limit is large.
void closeAllDescriptors(int keep) {
    if (close_range(0, keep - 1, 0) == 0 && close_range(keep + 1, UINT_MAX, 0) == 0) return;
    for (int fd = getdtablesize(); fd >= 0; --fd) {
        if (fd != keep) close(fd);
    }
}

}  // namespace

void daemonize() {
    // Whatever stdio holds must reach the terminal now: the parents leave with
    // _exit, and the daemon's copy would go to /dev/null.
    fflush(stdout);
    fflush(stderr);
    int report[2];
    failIf(pipe2(report, O_CLOEXEC) == -1, "cannot fork session group leader");
    if (report[1] <= STDERR_FILENO) {
        // Started without standard streams: keep the pipe clear of 0, 1 and 2.
        int moved = fcntl(report[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(report[1]);
        report[1] = moved;
    }
    pid_t pid = fork();
    failIf(pid == -1, "cannot fork session group leader");
    if (pid > 0) {
        close(report[1]);
        awaitReport(report[0]);
    }
    close(report[0]);
    reportFd.store(report[1]);

    failIf(setsid() == -1, "setsid failed");

    pid = fork();
    failIf(pid == -1, "cannot fork daemonized child");
    if (pid > 0) _exit(0);  // the session leader leaves; the child can never get a terminal

    failIf(chdir("/") == -1, "chdir root failed");

    closeAllDescriptors(report[1]);
    int null = open("/dev/null", O_RDWR);  // becomes descriptor 0
    dup2(null, 1);
    dup2(null, 2);
    logEvent(LOG_DEBUG, "daemonized process");
}

void reportStartup(int exitCode) {
    int fd = reportFd.exchange(-1);
    if (fd < 0) return;
    unsigned char code = static_cast<unsigned char>(exitCode);
    if (write(fd, &code, 1) != 1) {
        // The starting process is gone; nobody is waiting for the word.
    }
    close(fd);
}
