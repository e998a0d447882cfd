// Helpers for the system tests: temporary directories, programs as child
// processes with their output captured, pseudo-terminals and TCP clients.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

using namespace std::chrono_literals;

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::string path;
};

// Under qemu user emulation (a cross build's tests), every process also runs the
// emulator: one thread more than its own, and its translated code resident.
// Starting threads is slow there too (2,000 reader threads take some 15 s), and
// so is anything a busy machine makes wait: bounds on waits are times SLOWDOWN.
#ifdef SENSOMARK_EMULATED
constexpr bool EMULATED = true;
constexpr int EMULATOR_THREADS = 1;
constexpr long EMULATOR_RSS_KIB = 24 * 1024;
constexpr int SLOWDOWN = 6;
#else
constexpr bool EMULATED = false;
constexpr int EMULATOR_THREADS = 0;
constexpr long EMULATOR_RSS_KIB = 0;
constexpr int SLOWDOWN = 1;
#endif

// Sanitized builds run several times slower; on a busy machine a daemon's
// orderly stop (joining every thread, flushing the log) may take seconds.
#ifdef SENSOMARK_SANITIZED
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
// How long an orderly stop may take after the signal: half a second for a
// stalled log output, the rest for a loaded machine. A broker that hangs
// adds the one second the daemon waits for it.
constexpr std::chrono::seconds STOP_BOUND{SANITIZED ? 4 : 2};

// A TCP port on 127.0.0.1 that was free a moment ago, never the same twice in one
// process, and below the range the kernel picks clients' ports from: a client's
// connect can never take it before the daemon listens on it.
int freePort();
// The local port of a bound socket.
int portOf(const UniqueFd& socket);
// The text of a configuration file for port, followed by extra lines.
std::string configText(int port, const std::string& extra = "");
std::string readFile(const std::string& path);
inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
// Whether text is expected, or begins with it when it ends in "...".
bool matches(const std::string& text, const std::string& expected);
// How often the regular expression pattern matches in text.
int countMatches(const std::string& text, const std::string& pattern);
// The messages of the lines of text that start with a time stamp
// "YYYY-MM-DD HH:MM:SS - ", in order and without it.
std::vector<std::string> logLines(const std::string& text);
// The process whose command line is argv (a daemon that detached itself), or
// ends with it after the emulator's own arguments; -1 when there is none.
pid_t processRunning(const std::vector<std::string>& argv);
// Whether a process of group pgid still runs (zombies aside).
bool groupRunning(pid_t pgid);
// Number of threads of process pid, from /proc; -1 when there is no such process.
int threadCount(pid_t pid);
// The /proc folder of the thread of process pid called name; empty without one.
std::string threadFolder(pid_t pid, const std::string& name);
// The value of field ("Uid", "VmRSS") in /proc/pid/status; empty when absent.
std::string procStatus(pid_t pid, const std::string& field);

// Waits until predicate() holds, checking every step; false after the time-out.
template <typename F>
bool eventually(F predicate, std::chrono::milliseconds timeout = 5s,
                std::chrono::milliseconds step = 10ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// A program as a child process, its standard output and error captured in a
// file. Killed on destruction if still running, and when the thread that
// started it (a test's main thread) ends.
class Process {
  public:
    // apart: standard error goes to errPath instead of the output. outFd >= 0:
    // standard output and error go to that descriptor (a pipe, a pty) instead.
    Process(const std::vector<std::string>& argv, const std::string& workDir, bool apart = false,
            int outFd = -1);
    ~Process();
    // Whether the output holds text within the time-out.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5s);
    int count(const std::string& text) const;  // occurrences in the output so far
    std::string output() const;
    void signal(int sig);
    // The exit code, 128+N after signal N, or -1 when it has not ended within the
    // time-out; seen within a millisecond (the benchmarks time the stop).
    int wait(std::chrono::milliseconds timeout = 5s);
    pid_t pid() const { return childPid; }
    const std::string outPath, errPath;

  private:
    pid_t childPid = -1;
    int status = -1;
};

// Runs argv to completion in workDir; returns the exit code as Process::wait
// (-1 when it ran for a minute and was killed) and the output.
int runProgram(const std::vector<std::string>& argv, const std::string& workDir, std::string* out,
               std::string* err = nullptr);

// The daemon started in dir with config as its sensomarkUSB.conf, once it
// listens (the test fails when it does not): the shipped program, or its test
// build when the environment sets a test seam (SENSOMARK_TEST_*).
std::unique_ptr<Process> startDaemon(const TempDir& dir, const std::string& config,
                                     const std::vector<std::string>& args = {});

// A pseudo-terminal standing in for a serial adapter: the test writes device
// lines to the master; the daemon opens slavePath.
struct Pty {
    Pty();
    ~Pty() { hangUp(); }
    void write(const std::string& bytes) const;
    void hangUp();                // closes both ends: the device is unplugged
    int master = -1, slave = -1;  // slave kept open: the pty lives while the reader reconnects
    std::string slavePath;
};

// A TCP client of host, from the local address from (any when empty).
struct Client {
    explicit Client(int port, const std::string& from = "", const std::string& host = "127.0.0.1");
    ~Client();
    bool connected() const { return fd >= 0; }
    void send(const std::string& bytes) const;
    // The next n reply lines without their CR LF; fewer on time-out or close.
    std::vector<std::string> replies(size_t n, std::chrono::milliseconds timeout = 5s);
    // Sends one query line and returns its reply line.
    std::string query(const std::string& name);
    // Whether the daemon closed the connection within the time-out; what it
    // sent meanwhile is kept in pending.
    bool closedByPeer(std::chrono::milliseconds timeout = 5s);
    void resetHard();  // closes with RST instead of FIN
    int fd = -1;
    std::string pending;  // received, not yet returned as a reply
};

// A connection to port with a small receive buffer that asks for /metrics, sees the
// answer begin and reads no more; not connected when no answer began within timeout.
std::unique_ptr<Client> stalledReader(int port, std::chrono::milliseconds timeout = 10s);

// One HTTP exchange on 127.0.0.1 as received; status 0 when there was no
// HTTP response.
struct WebResponse {
    int status = 0;
    std::string head, body;  // head: up to its last CR LF
    double ms = 0;           // from connect to close
};
// Sends request (a whole request head) to port, from the local address from,
// and reads the response to the end, waiting at most timeout for each part.
WebResponse httpExchange(int port, const std::string& request,
                         std::chrono::milliseconds timeout = 10s, const std::string& from = "");
// GET target.
WebResponse httpGet(int port, const std::string& target);
