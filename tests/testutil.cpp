// Helpers for the system tests: processes, pseudo-terminals, TCP clients.
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "net.h"

TempDir::TempDir() {
    char tmpl[] = "/tmp/sensomark-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void TempDir::write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
}

int portOf(const UniqueFd& socket) {
    sockaddr_in addr = {};
    socklen_t len = sizeof(addr);
    getsockname(socket.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

int freePort() {
    // A port the kernel hands out (bound to 0) comes from the ephemeral range,
    // where the clients of a parallel test may take it meanwhile; slow runs
    // (emulated ones) saw that. Candidates come from below that range instead,
    // at random (parallel test processes), each checked by binding it.
    static std::set<int> given;
    static std::mt19937 random(static_cast<unsigned>(getpid()) * 2654435761u ^
                               static_cast<unsigned>(time(nullptr)));
    static const int ephemeralLow = [] {
        int low = 0;
        std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
        return low > 2048 ? low : 32768;
    }();
    std::uniform_int_distribution<int> candidate(ephemeralLow / 2, ephemeralLow - 1);
    for (;;) {
        int port = candidate(random);
        if (given.count(port) != 0) continue;
        std::string error;
        if (!openListenSocket("127.0.0.1", port, 1, &error).valid()) continue;
        given.insert(port);
        return port;
    }
}

std::string configText(int port, const std::string& extra) {
    return "[main]\nport = " + std::to_string(port) + "\n" + extra;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool matches(const std::string& text, const std::string& expected) {
    size_t n = expected.size() - 3;
    if (expected.size() < 3 || expected.compare(n, 3, "...") != 0) return text == expected;
    return text.compare(0, n, expected, 0, n) == 0;
}

int countMatches(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), {}));
}

std::vector<std::string> logLines(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - )");
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.size() >= 22 && std::regex_match(line.substr(0, 22), stamp))
            lines.push_back(line.substr(22));
    return lines;
}

// The child gets SIGKILL when the thread that forked it ends: a test that
// crashes or is killed at its time-out leaves nothing running behind.
Process::Process(const std::vector<std::string>& argv, const std::string& workDir, bool apart,
                 int outFd)
    : outPath(workDir + "/.out-" + std::to_string(rand())),
      errPath(apart ? outPath + "e" : outPath) {
    std::vector<char*> args;  // made before fork: the child of a threaded process must not allocate
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    if ((childPid = fork()) != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || chdir(workDir.c_str()) != 0) _exit(126);  // parent gone before prctl
    int out = outFd >= 0 ? outFd : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = apart ? open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out, 1);
    dup2(err, 2);
    close_range(3, ~0U, 0);  // no pty master or client socket of the test may live on in the child
    execv(args[0], args.data());
    _exit(127);
}

Process::~Process() {
    if (status != -1 || childPid <= 0) return;
    kill(childPid, SIGKILL);
    waitpid(childPid, nullptr, 0);
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
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
}

void Process::signal(int sig) {
    kill(childPid, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
    int raw = 0;
    if (status == -1 &&
        eventually([&] { return waitpid(childPid, &raw, WNOHANG) == childPid; }, timeout, 1ms))
        status = raw;
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runProgram(const std::vector<std::string>& argv, const std::string& workDir, std::string* out,
               std::string* err) {
    Process program(argv, workDir, err != nullptr);
    int code = program.wait(60s);  // a program that hangs fails its test, killed on return
    if (out) *out = program.output();
    if (err) *err = readFile(program.errPath);
    return code;
}

Pty::Pty() {
    termios raw;
    cfmakeraw(&raw);
    char name[64];
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    slavePath = name;
}

void Pty::write(const std::string& bytes) const {
    if (::write(master, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("pty write failed");
}

void Pty::hangUp() {
    for (int* fd : {&slave, &master}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

Client::Client(int port, const std::string& from, const std::string& host) {
    std::string error;
    if (from.empty()) {
        fd = connectTo(host, port, 5000, &error).release();
        return;
    }
    sockaddr_in6 to = {}, source = {};  // big enough for either family
    auto address = [](const std::string& text, int port, sockaddr_in6* a) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(a);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) return sizeof(sockaddr_in);
        *a = {AF_INET6, htons(static_cast<uint16_t>(port)), 0, {}, 0};
        inet_pton(AF_INET6, text.c_str(), &a->sin6_addr);
        return sizeof(sockaddr_in6);
    };
    socklen_t len = address(from, 0, &source);
    address(host, port, &to);
    UniqueFd s(socket(source.sin6_family, SOCK_STREAM, 0));
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&source), len) == 0 &&
        connect(s.get(), reinterpret_cast<sockaddr*>(&to), len) == 0)
        fd = s.release();
}

Client::~Client() {
    if (fd >= 0) close(fd);
}

void Client::send(const std::string& bytes) const {
    size_t len = bytes.size();
    sendall(fd, bytes.data(), &len);
}

std::vector<std::string> Client::replies(size_t n, std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    ssize_t got;
    while (lines.size() < n) {
        size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 2);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || waitReadable(fd, static_cast<int>(left.count())) <= 0 ||
            (got = recv(fd, buffer, sizeof(buffer), 0)) <= 0)
            break;
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
    char buffer[4096];
    ssize_t got = 1;
    return eventually(
        [&] {
            if (waitReadable(fd, 0) > 0 && (got = recv(fd, buffer, sizeof(buffer), 0)) > 0)
                pending.append(buffer, static_cast<size_t>(got));
            return got <= 0;
        },
        timeout);
}

void Client::resetHard() {
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
    fd = -1;
}

std::unique_ptr<Client> stalledReader(int port, std::chrono::milliseconds timeout) {
    auto c = std::make_unique<Client>(port);
    int small = 4096;
    setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    c->send("GET /metrics HTTP/1.1\r\n\r\n");
    if (c->connected() && waitReadable(c->fd, static_cast<int>(timeout.count())) != 1) {
        close(c->fd);
        c->fd = -1;
    }
    return c;
}

bool groupRunning(pid_t pgid) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = readFile("/proc/" + pid + "/stat");
        size_t paren = stat.rfind(')');
        char state = 0;
        int ppid = 0, group = 0;
        if (paren != std::string::npos &&
            sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &ppid, &group) == 3 &&
            group == pgid && state != 'Z')
            return true;
    }
    return false;
}

std::string procStatus(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
    return "";
}

pid_t processRunning(const std::vector<std::string>& argv) {
    std::string cmdline;
    for (const std::string& arg : argv) cmdline += arg + '\0';
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        // Run by binfmt_misc, the command line is the emulator's, the program's
        // path, then argv.
        std::string text = readFile(entry.path() / "cmdline");
        size_t at = text.size() - std::min(text.size(), cmdline.size());
        if (text.compare(at, std::string::npos, cmdline) == 0 && (at == 0 || text[at - 1] == '\0'))
            return atoi(entry.path().filename().c_str());
    }
    return -1;
}

int threadCount(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", error);
    return error ? -1 : static_cast<int>(std::distance(tasks, {}));
}

std::string threadFolder(pid_t pid, const std::string& name) {
    for (auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        if (readFile(task.path() / "comm") == name + "\n") return task.path().string() + "/";
    return "";
}

std::unique_ptr<Process> startDaemon(const TempDir& dir, const std::string& config,
                                     const std::vector<std::string>& args) {
    dir.write("sensomarkUSB.conf", config);
    std::vector<std::string> argv = {SENSOMARK_BIN};
#ifdef SENSOMARK_SEAMED_BIN
    // The shipped daemon ignores the test seams; a test that sets one gets the
    // test build of the daemon, which honours them.
    for (const char* seam : {"SENSOMARK_TEST_HISTORYSYNC_MS", "SENSOMARK_TEST_WALL_OFFSET"})
        if (getenv(seam) != nullptr) argv[0] = SENSOMARK_SEAMED_BIN;
#endif
    argv.insert(argv.end(), args.begin(), args.end());
    auto daemon = std::make_unique<Process>(argv, dir.path);
    // At level "critical" the daemon does not say that it listens: try to connect
    // (thousands of devices take seconds to set up in a sanitized build).
    size_t at = config.find("port = ");
    int port = at == std::string::npos ? 4000 : atoi(config.c_str() + at + 7);
    EXPECT_TRUE(eventually([&] { return Client(port).connected(); }, SLOWDOWN * 20s))
        << daemon->output();
    return daemon;
}

WebResponse httpExchange(int port, const std::string& request, std::chrono::milliseconds timeout,
                         const std::string& from) {
    WebResponse r;
    auto start = std::chrono::steady_clock::now();
    Client c(port, from);
    if (!c.connected()) return r;
    c.send(request);
    std::string all;
    char buffer[65536];
    pollfd p = {c.fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&p, 1, static_cast<int>(timeout.count())) == 1;)
        if ((n = recv(c.fd, buffer, sizeof(buffer), 0)) > 0) all.append(buffer, n);
    r.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
    r.status = atoi(all.c_str() + 9);
    r.head = all.substr(0, end + 2);
    r.body = all.substr(end + 4);
    return r;
}

WebResponse httpGet(int port, const std::string& target) {
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\n\r\n");
}
