// Helpers for the system tests: processes, pseudo-terminals, TCP clients.
#include "testutil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    char tmpl[] = "/tmp/sensomark-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) {
    }
}

void TempDir::write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
}

int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

std::string configText(int port, const std::string& extra) {
    return "[main]\nport = " + std::to_string(port) + "\n" + extra;
}

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int countEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& workDir,
            const std::string& outPath, const std::string& errPath) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(workDir.c_str()) != 0) _exit(126);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    close_range(3, ~0U, 0);  // no pty master or client socket of the test may live on in the child
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}
}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::string& workDir) {
    outPath = workDir + "/.process-output-" + std::to_string(rand());
    childPid = spawn(argv, workDir, outPath, outPath);
}

Process::~Process() {
    if (status == -1 && childPid > 0) {
        kill(childPid, SIGKILL);
        waitpid(childPid, nullptr, 0);
    }
}

std::string Process::output() const {
    return readFile(outPath);
}

bool Process::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
}

int Process::count(const std::string& text) const {
    std::string out = output();
    int n = 0;
    for (size_t pos = out.find(text); pos != std::string::npos; pos = out.find(text, pos + 1)) ++n;
    return n;
}

void Process::signal(int sig) {
    kill(childPid, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (status != -1) return decode(status);
    int raw = 0;
    bool done = eventually([&] { return waitpid(childPid, &raw, WNOHANG) == childPid; }, timeout);
    if (!done) return -1;
    status = raw;
    return decode(status);
}

int runProgram(const std::vector<std::string>& argv, const std::string& workDir, std::string* out,
               std::string* err) {
    std::string outPath = workDir + "/.run-out", errPath = err ? workDir + "/.run-err" : outPath;
    pid_t pid = spawn(argv, workDir, outPath, errPath);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = readFile(outPath);
    if (err) *err = readFile(errPath);
    return decode(status);
}

Pty::Pty() {
    struct termios raw;
    cfmakeraw(&raw);
    char name[64];
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    slavePath = name;
}

Pty::~Pty() {
    hangUp();
    if (slave >= 0) close(slave);
}

void Pty::write(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}

void Pty::hangUp() {
    if (slave >= 0) close(slave);
    slave = -1;
    if (master >= 0) close(master);
    master = -1;
}

Client::Client(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        fd = -1;
    }
}

Client::~Client() {
    if (fd >= 0) close(fd);
}

void Client::send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::vector<std::string> Client::replies(size_t n, std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (lines.size() < n) {
        size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 2);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
    }
    return lines;
}

std::string Client::query(const std::string& name) {
    send(name + "\r\n");
    auto lines = replies(1);
    return lines.empty() ? "<no reply>" : lines[0];
}

bool Client::closedByPeer(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) return true;
    }
    return false;
}

void Client::resetHard() {
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
    fd = -1;
}

int openDescriptors(pid_t pid) {
    return countEntries("/proc/" + std::to_string(pid) + "/fd");
}
int threadCount(pid_t pid) {
    return countEntries("/proc/" + std::to_string(pid) + "/task");
}

namespace {
int iniPort(const std::string& config) {
    size_t at = config.find("port = ");
    return at == std::string::npos ? 4000 : atoi(config.c_str() + at + 7);
}
}  // namespace

std::unique_ptr<Process> startDaemon(const TempDir& dir, const std::string& config,
                                     const std::vector<std::string>& args) {
    dir.write("sensomarkUSB.conf", config);
    std::vector<std::string> argv = {SENSOMARK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    auto daemon = std::make_unique<Process>(argv, dir.path);
    // At level "critical" the daemon does not say that it listens: try to connect.
    int port = iniPort(config);
    EXPECT_TRUE(eventually([&] { return Client(port).connected(); })) << daemon->output();
    return daemon;
}
