// The notify program's runs; see notifier.h.
#include "notifier.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "logging.h"
#include "syserror.h"
#include "threads.h"

extern char** environ;

namespace {
const char ENV_PREFIX[] = "SENSOMARK_";

int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What one run came to.
struct Run {
    bool exited = false;    // the program ended by itself
    bool timedOut = false;  // killed at the time limit
    bool stopped = false;   // killed at the stop
    int status = 0;         // of waitpid
    std::string output;     // its first MAX_OUTPUT_BYTES
    size_t outputCut = 0;   // bytes beyond them
};

// Reads what out has now (at most 16 buffers, so that a writer as fast as
// the reader cannot hold it) into run; false at its end.
bool readOutput(int out, Run* run) {
    char buffer[16384];
    for (int reads = 0; reads < 16; ++reads) {
        ssize_t n = read(out, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 && errno == EAGAIN;
        size_t keep =
            std::min(static_cast<size_t>(n), Notifier::MAX_OUTPUT_BYTES - run->output.size());
        run->output.append(buffer, keep);
        run->outputCut += static_cast<size_t>(n) - keep;
    }
    return true;
}

// The program's spawn settings: its own process group, no blocked signals,
// every signal at its default (the daemon ignores SIGPIPE), standard input
// /dev/null, standard output and error to outFd, nothing else open.
struct SpawnSetup {
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    explicit SpawnSetup(int outFd) {
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&files, outFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&files, outFd, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
#endif
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// "raised cellar humidity 'above 70'": the event in a log line.
std::string eventTitle(const AlertEvent& e) {
    return std::string(e.raised ? "raised " : "cleared ") + e.name +
           (e.quantity.empty() ? "" : " " + e.quantity) + " '" + e.alert + "'";
}

// The environment of one run: environment (NAME=VALUE, the daemon's)
// without its SENSOMARK_ variables, then those of event e.
std::vector<std::string> environmentOf(const AlertEvent& e, const char* const* environment) {
    std::vector<std::string> env;
    for (const char* const* v = environment; v != nullptr && *v != nullptr; ++v)
        if (strncmp(*v, ENV_PREFIX, sizeof(ENV_PREFIX) - 1) != 0) env.emplace_back(*v);
    const std::pair<const char*, std::string> ours[] = {
        {"EVENT", e.raised ? "raised" : "cleared"},
        {"ALERT", e.alert},
        {"NAME", e.name},
        {"QUANTITY", e.quantity},
        {"VALUE", e.value},
        {"LIMIT", e.limit},
        {"SINCE", isoTime(e.since)},
        {"MESSAGE", e.message},
    };
    for (const auto& [name, value] : ours)
        env.push_back(ENV_PREFIX + std::string(name) + "=" + value);
    return env;
}
}  // namespace

Notifier::Notifier(std::string program, int timeLimitMs)
    : program(std::move(program)),
      timeLimitMs(timeLimitMs),
      wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Notifier::~Notifier() {
    stop();
}

bool Notifier::start() {
    std::string error;
    if (!wake.valid()) error = systemError("create its wake-up event", wakeError);
    if (error.empty() && startThread(
                             &thread, [this] { run(); }, &error))
        return true;
    logEvent(LOG_CRITICAL, "cannot start the notifier: " + error);
    return false;
}

void Notifier::notify(const AlertEvent& event) {
    bool stopped;
    {
        MutexLock lock(mutex);
        stopped = stopping;
        if (!stopped && queue.size() < QUEUE_LIMIT) {
            queue.push_back(event);
            ready.notify_one();
            return;
        }
    }
    dropped.fetch_add(1);
    logEvent(LOG_CRITICAL, std::string(stopped ? "the daemon stops" : "notify queue full") +
                               ", not notifying " + eventTitle(event));
}

void Notifier::stop() {
    size_t left;
    {
        MutexLock lock(mutex);
        if (stopping && !thread.joinable()) return;
        stopping = true;
        left = queue.size();
        queue.clear();
        ready.notify_all();
    }
    uint64_t one = 1;
    if (wake.valid() && write(wake.get(), &one, sizeof(one)) < 0) {
        // The counter is full: it is readable anyway.
    }
    if (thread.joinable()) thread.join();
    if (left == 0) return;
    dropped.fetch_add(left);
    logEvent(LOG_CRITICAL, std::to_string(left) + " alert notifications not run: the daemon stops");
}

NotifyCounts Notifier::counts() const {
    return {ok.load(), failed.load(), dropped.load()};
}

bool Notifier::stopRequested() {
    MutexLock lock(mutex);
    return stopping;
}

void Notifier::run() {
    // Signals are the service's to take; the program gets its own mask.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        AlertEvent event;
        {
            MutexLock lock(mutex);
            lock.wait(ready, [&]() REQUIRES(mutex) { return stopping || !queue.empty(); });
            if (stopping) return;
            event = std::move(queue.front());
            queue.pop_front();
        }
        execute(event);
    }
}

void Notifier::execute(const AlertEvent& event) {
    std::string title = eventTitle(event);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        failed.fetch_add(1);
        logEvent(LOG_CRITICAL,
                 systemError("create the notify command's pipe") + ", not notifying " + title);
        return;
    }
    UniqueFd out(fds[0]), in(fds[1]);
    fcntl(out.get(), F_SETFL, O_NONBLOCK);

    std::vector<std::string> env = environmentOf(event, environ);
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(&v[0]);
    envp.push_back(nullptr);
    std::string argv0 = program;
    char* argv[] = {&argv0[0], nullptr};
    pid_t pid = -1;
    int spawned;
    {
        SpawnSetup setup(in.get());
        spawned =
            posix_spawn(&pid, program.c_str(), &setup.files, &setup.attributes, argv, envp.data());
    }
    in.reset();
    if (spawned != 0) {
        failed.fetch_add(1);
        logEvent(LOG_CRITICAL,
                 systemError("run notify command '" + program + "'", spawned) + " for " + title);
        return;
    }
    logEvent(LOG_DEBUG, "notify command '" + program + "' runs for " + title);

    Run run;
    bool open = true;
    int64_t deadline = steadyMs() + timeLimitMs;
    for (;;) {
        // Waited for without reaping: the zombie keeps the group's id its own.
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            run.exited = true;
            break;
        }
        int64_t left = deadline - steadyMs();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        if (stopRequested()) {
            run.stopped = true;
            break;
        }
        pollfd fds[2] = {{open ? out.get() : -1, POLLIN, 0}, {wake.get(), POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>(std::min<int64_t>(left, CHECK_EVERY_MS)));
        if (ready > 0 && fds[0].revents != 0) open = readOutput(out.get(), &run);
    }
    kill(-pid, SIGKILL);
    if (open) readOutput(out.get(), &run);  // what it wrote before its end
    while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }

    bool good = run.exited && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    (good ? ok : failed).fetch_add(1);
    int level = good ? LOG_STAT : LOG_CRITICAL;
    std::string who = "notify command '" + program + "'";
    for (size_t start = 0; start < run.output.size();) {
        size_t end = run.output.find('\n', start);
        if (end == std::string::npos) end = run.output.size();
        if (end > start) logEvent(level, who + " said: " + run.output.substr(start, end - start));
        start = end + 1;
    }
    if (run.outputCut > 0)
        logEvent(level,
                 who + " wrote " + std::to_string(run.outputCut) + " bytes more, not logged");
    std::string limitText = timeLimitMs % 1000 == 0 ? std::to_string(timeLimitMs / 1000) + " s"
                                                    : std::to_string(timeLimitMs) + " ms";
    if (run.timedOut) {
        logEvent(LOG_CRITICAL,
                 who + " did not end within " + limitText + " and was killed, for " + title);
    } else if (run.stopped) {
        logEvent(LOG_STAT, who + " was killed at the stop, for " + title);
    } else if (WIFSIGNALED(run.status)) {
        logEvent(LOG_CRITICAL, who + " was ended by signal " +
                                   std::to_string(WTERMSIG(run.status)) + ", for " + title);
    } else if (!good) {
        logEvent(LOG_CRITICAL, who + " failed with exit code " +
                                   std::to_string(WEXITSTATUS(run.status)) + ", for " + title);
    }
}
