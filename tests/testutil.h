// Helpers for the system tests: temporary directories, the daemon as a child
// process with its output captured, pseudo-terminals and TCP clients.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::string path;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

// The daemon (or any program) as a child process; standard output and error
// go to a file that the test reads. Killed on destruction if still running.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::string& workDir);
    ~Process();
    // Waits until the output holds text; false after the time-out.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5s);
    // Counts the occurrences of text in the output so far.
    int count(const std::string& text) const;
    std::string output() const;
    void signal(int sig);
    // Waits for the exit; the exit code, or -1 after the time-out, or 128+N for signal N.
    int wait(std::chrono::milliseconds timeout = 5s);
    pid_t pid() const { return childPid; }

  private:
    pid_t childPid = -1;
    int status = -1;
    std::string outPath;
};

// Runs argv to completion in workDir; returns the exit code and the output.
int runProgram(const std::vector<std::string>& argv, const std::string& workDir, std::string* out,
               std::string* err = nullptr);

// A pseudo-terminal standing in for a serial adapter: the test writes device
// lines to the master; the daemon opens slavePath.
struct Pty {
    Pty();
    ~Pty();
    void write(const std::string& bytes) const;
    void hangUp();  // closes the master: the device is unplugged
    int master = -1;
    int slave = -1;  // kept open so the pty lives while the reader reconnects
    std::string slavePath;
};

// A TCP client on 127.0.0.1.
class Client {
  public:
    explicit Client(int port);
    ~Client();
    bool connected() const { return fd >= 0; }
    void send(const std::string& bytes) const;
    // Reads until n reply lines (ending CR LF) have arrived; returns them
    // without their CR LF. Fewer on time-out or close.
    std::vector<std::string> replies(size_t n, std::chrono::milliseconds timeout = 5s);
    // Sends one query line and returns its reply line.
    std::string query(const std::string& name);
    // True when the daemon closed the connection within the time-out.
    bool closedByPeer(std::chrono::milliseconds timeout = 5s);
    void resetHard();  // closes with RST instead of FIN
    int fd = -1;

  private:
    std::string pending;
};

// Waits until predicate() holds, checking every 10 ms; false after the time-out.
template <typename F>
bool eventually(F predicate, std::chrono::milliseconds timeout = 5s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The text of a configuration file for port, followed by extra lines.
std::string configText(int port, const std::string& extra = "");

// Number of open descriptors and threads of process pid, from /proc.
int openDescriptors(pid_t pid);
int threadCount(pid_t pid);

// Starts the daemon in dir with config as its sensomarkUSB.conf and waits until
// it listens; the test fails when it does not.
std::unique_ptr<Process> startDaemon(const TempDir& dir, const std::string& config,
                                     const std::vector<std::string>& args = {});
