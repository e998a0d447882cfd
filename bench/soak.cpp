// Soak and fault test of the real daemon: two simulated devices that hang up and send garbage,
// over-long lines, random keys and a silence; clients that churn, pipeline, send garbage,
// overflow their request and reset mid-reply; then SIGTERM. Prints figures; exits 1 when a
// check fails.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- settings ----------------------------------------------------------------------------

struct Options {
    int seconds = 60;
    std::string daemon = "build/sensomarkUSB";
    std::string sim = "build/tools/sensomark-sim";
    std::vector<std::string> wrapper;  // e.g. valgrind and its options, put before the daemon
    int churnClients = 50;
    int pipelineClients = 20;
    int rudeClients = 2;      // of each kind: garbage, over-long, reset
    long rssBoundKiB = 4096;  // 0: not checked (under a wrapper RSS is the wrapper's)
    int slowFactor = 1;       // multiplies every time-out, for runs under valgrind
    bool keep = false;
};

void usage() {
    puts(
        "usage: sensomark-soak [--seconds N] [--daemon PATH] [--sim PATH] [--wrapper 'CMD ARGS']\n"
        "                      [--churn N] [--pipeline N] [--rude N] [--rss-bound-kib N]\n"
        "                      [--slow N] [--keep]\n"
        "Runs the daemon under load and faults for N seconds (default 60), then checks that\n"
        "every query was answered correctly, memory, descriptors and threads came back, and\n"
        "SIGTERM ended it with code 0. --wrapper runs the daemon under a tool such as valgrind;\n"
        "--slow multiplies the time-outs; --keep keeps the working directory.");
}

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error("missing value for " + a);
            return argv[++i];
        };
        if (a == "--seconds") {
            o->seconds = std::stoi(value());
        } else if (a == "--daemon") {
            o->daemon = value();
        } else if (a == "--sim") {
            o->sim = value();
        } else if (a == "--wrapper") {
            std::istringstream words(value());
            for (std::string w; words >> w;) o->wrapper.push_back(w);
        } else if (a == "--churn") {
            o->churnClients = std::stoi(value());
        } else if (a == "--pipeline") {
            o->pipelineClients = std::stoi(value());
        } else if (a == "--rude") {
            o->rudeClients = std::stoi(value());
        } else if (a == "--rss-bound-kib") {
            o->rssBoundKiB = std::stol(value());
        } else if (a == "--slow") {
            o->slowFactor = std::max(1, std::stoi(value()));
        } else if (a == "--keep") {
            o->keep = true;
        } else if (a == "-h" || a == "--help") {
            usage();
            exit(0);
        } else {
            usage();
            return false;
        }
    }
    return o->seconds > 0;
}

// Devices and the names the configuration gives them.
const char SIM0_LINK[] = "ttySIM0";
const char SIM1_LINK[] = "ttySIM1";
const char GHOST_DEVICE[] = "/nonexistent/ttyGHOST";

const int SIM_INTERVAL_MS = 50;
const int CHURN_PAUSE_MS = 20;
const int PIPELINE_BATCH = 20;
const int PIPELINE_PAUSE_MS = 5;
const int RUDE_PAUSE_MS = 100;
const size_t OVERLONG_REQUEST_BYTES = 70 * 1024;  // beyond the daemon's 64 KiB
const int RESET_PIPELINE_QUERIES = 300;
const int REPLY_TIMEOUT_MS = 10000;
const int SETTLE_TIMEOUT_MS = 10000;
const int EXIT_TIMEOUT_MS = 5000;

// ---- small system helpers ----------------------------------------------------------------

// Owns one descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }

  private:
    int fd;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int countMatches(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Waits until predicate() holds, checking every 20 ms; false after the time-out.
bool eventually(const std::function<bool()>& predicate, milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// A fresh directory under /tmp, removed on destruction unless kept.
struct WorkDir {
    WorkDir() {
        char tmpl[] = "/tmp/sensomark-soak-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~WorkDir() {
        if (keep) return;
        nftw(
            path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
    bool keep = false;
};

// A child process with standard output and error in a file; killed on destruction if it
// still runs.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& workDir,
          const std::string& outPath) {
        childPid = fork();
        if (childPid < 0) throw std::runtime_error("fork failed");
        if (childPid > 0) return;
        if (chdir(workDir.c_str()) != 0) _exit(126);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0U, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ~Child() {
        if (running()) {
            kill(childPid, SIGKILL);
            waitpid(childPid, &rawStatus, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return childPid; }
    bool running() {
        if (exited) return false;
        if (waitpid(childPid, &rawStatus, WNOHANG) == childPid) exited = true;
        return !exited;
    }
    // Sends sig and waits; the exit code, 128+N after signal N, or -1 after the time-out.
    int stop(int sig, milliseconds timeout) {
        if (running()) kill(childPid, sig);
        if (!eventually([&] { return !running(); }, timeout)) return -1;
        return exitCode();
    }
    int exitCode() const {
        if (WIFEXITED(rawStatus)) return WEXITSTATUS(rawStatus);
        if (WIFSIGNALED(rawStatus)) return 128 + WTERMSIG(rawStatus);
        return -1;
    }

  private:
    pid_t childPid = -1;
    int rawStatus = 0;
    bool exited = false;
};

// ---- what /proc says about the daemon ------------------------------------------------------

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

int threadCount(pid_t pid) {
    int n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Open descriptors by kind: sockets, terminals (the devices) and the rest.
struct Descriptors {
    int sockets = 0, terminals = 0, other = 0;
    int total() const { return sockets + terminals + other; }
    std::string text() const {
        return std::to_string(total()) + " (" + std::to_string(sockets) + " sockets, " +
               std::to_string(terminals) + " devices, " + std::to_string(other) + " other)";
    }
};

Descriptors descriptors(pid_t pid) {
    Descriptors d;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return d;
    while (dirent* e = readdir(listing)) {
        if (e->d_name[0] == '.') continue;
        char target[256] = {};
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        std::string t(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (t.compare(0, 7, "socket:") == 0) {
            ++d.sockets;
        } else if (t.compare(0, 9, "/dev/pts/") == 0 || t == "/dev/ptmx") {
            ++d.terminals;
        } else {
            ++d.other;
        }
    }
    closedir(listing);
    return d;
}

// ---- the query mix -------------------------------------------------------------------------

enum class Expect { READING, VALID0, EMPTY };

struct Query {
    std::string text;
    Expect expect;
    bool wellFormed;  // a configured name with .1, .2 or .3
};

std::vector<Query> queryMix() {
    std::vector<Query> q;
    for (const char* name : {"alpha", "alpha.in", "beta"}) {
        for (int s = 1; s <= 3; ++s)
            q.push_back({name + ("." + std::to_string(s)), Expect::READING, true});
    }
    for (int s = 1; s <= 3; ++s) q.push_back({"ghost." + std::to_string(s), Expect::VALID0, true});
    for (const char* text : {"alpha.0", "beta.4", "alpha.in", "beta.-2", "alpha.99999999999"})
        q.push_back({text, Expect::VALID0, false});
    // The empty request is not in the mix: in a pipeline its line end would join the run of
    // the line before (counted once); the churning clients send it on its own.
    for (const char* text : {"gamma.1", "alpha", ".1", "alpha.in.x.1", "ALPHA.1"})
        q.push_back({text, Expect::EMPTY, false});
    return q;
}

// "valid=0", or "valid=1;value=" with at least one digit or full stop and only those (after an
// optional minus sign), then ";".
bool isReading(const std::string& reply) {
    if (reply == "valid=0") return true;
    const std::string head = "valid=1;value=";
    if (reply.size() < head.size() + 2 || reply.compare(0, head.size(), head) != 0) return false;
    if (reply.back() != ';') return false;
    size_t digits = head.size() + (reply[head.size()] == '-');
    return reply.size() > digits + 1 &&
           reply.find_first_not_of("0123456789.", digits) == reply.size() - 1;
}

bool correct(const Query& q, const std::string& reply) {
    switch (q.expect) {
        case Expect::READING:
            return isReading(reply);
        case Expect::VALID0:
            return reply == "valid=0";
        case Expect::EMPTY:
            return reply.empty();
    }
    return false;
}

// ---- counters ------------------------------------------------------------------------------

struct Counters {
    std::atomic<long> wellFormedSent{0}, wellFormedCorrect{0};
    std::atomic<long> otherSent{0}, otherCorrect{0};
    std::atomic<long> wrongReplies{0}, missingReplies{0}, connectFailures{0};
    std::atomic<long> churnConnections{0}, pipelineBatches{0}, pipelineDropped{0};
    std::atomic<long> garbageConnections{0}, garbageBadReplies{0};
    std::atomic<long> overlongCutOff{0}, overlongNotCut{0};
    std::atomic<long> resets{0};

    std::mutex examplesMutex;
    std::vector<std::string> examples;  // the first few wrong replies, guarded by examplesMutex

    void wrong(const std::string& what) {
        ++wrongReplies;
        std::lock_guard<std::mutex> lock(examplesMutex);
        if (examples.size() < 10) examples.push_back(what);
    }
};

// ---- one TCP connection --------------------------------------------------------------------

class Connection {
  public:
    explicit Connection(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) fd.reset();
    }
    bool ok() const { return fd.get() >= 0; }
    int get() const { return fd.get(); }

    // Like send(2), but sends everything; false when the peer is gone.
    bool sendAll(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fd.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // The next reply line without its CR LF; false on close, error or time-out.
    bool readReply(std::string* line, milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            size_t end = pending.find("\r\n");
            if (end != std::string::npos) {
                line->assign(pending, 0, end);
                pending.erase(0, end + 2);
                return true;
            }
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p = {fd.get(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buffer[4096];
            ssize_t n = recv(fd.get(), buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            pending.append(buffer, static_cast<size_t>(n));
        }
    }
    // True when the peer closes or resets within the time-out; replies are discarded.
    bool closedByPeer(milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        char buffer[4096];
        while (Clock::now() < deadline) {
            pollfd p = {fd.get(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            if (recv(fd.get(), buffer, sizeof(buffer), 0) <= 0) return true;
        }
        return false;
    }
    // Closes with RST instead of FIN.
    void resetHard() {
        linger hard = {1, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        fd.reset();
    }

  private:
    Fd fd;
    std::string pending;
};

// ---- the clients ---------------------------------------------------------------------------

struct Load {
    int port;
    milliseconds replyTimeout;
    const std::vector<Query>& mix;
    Counters& counters;
    std::atomic<bool>& stop;
};

// Checks one reply and counts it; who names the client in the examples of wrong replies.
void account(Load& load, const char* who, const Query& q, bool received, const std::string& reply) {
    (q.wellFormed ? load.counters.wellFormedSent : load.counters.otherSent)++;
    if (!received) {
        ++load.counters.missingReplies;
        load.counters.wrong(std::string(who) + ": no reply to '" + q.text + "'");
        return;
    }
    if (correct(q, reply)) {
        (q.wellFormed ? load.counters.wellFormedCorrect : load.counters.otherCorrect)++;
    } else {
        load.counters.wrong(std::string(who) + ": '" + q.text + "' answered '" + reply + "'");
    }
}

const Query EMPTY_QUERY = {"", Expect::EMPTY, false};

// A single-byte line end: a CR LF split between two reads would count as two line ends.
const char* lineEnd(std::mt19937& rng) {
    return rng() % 4 == 0 ? "\r" : "\n";
}

void pause(int ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

// Connects, asks one to three questions one by one, closes; again and again.
void churnClient(Load& load, unsigned seed) {
    std::mt19937 rng(seed);
    while (!load.stop) {
        Connection c(load.port);
        if (!c.ok()) {
            ++load.counters.connectFailures;
            pause(CHURN_PAUSE_MS);
            continue;
        }
        ++load.counters.churnConnections;
        int n = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < n; ++i) {
            const Query& q = rng() % 20 == 0 ? EMPTY_QUERY : load.mix[rng() % load.mix.size()];
            std::string reply;
            bool received =
                c.sendAll(q.text + lineEnd(rng)) && c.readReply(&reply, load.replyTimeout);
            account(load, "churn", q, received, reply);
            if (!received) break;
        }
        pause(CHURN_PAUSE_MS);
    }
}

// Holds one connection and sends batches of queries in one write each; replies come in order.
void pipelineClient(Load& load, unsigned seed) {
    std::mt19937 rng(seed);
    auto c = std::make_unique<Connection>(load.port);
    while (!load.stop) {
        if (!c->ok()) {
            ++load.counters.connectFailures;
            pause(PIPELINE_PAUSE_MS);
            c = std::make_unique<Connection>(load.port);
            continue;
        }
        std::vector<const Query*> batch;
        std::string bytes;
        for (int i = 0; i < PIPELINE_BATCH; ++i) {
            batch.push_back(&load.mix[rng() % load.mix.size()]);
            bytes += batch.back()->text + lineEnd(rng);
        }
        bool alive = c->sendAll(bytes);
        for (const Query* q : batch) {
            std::string reply;
            alive = alive && c->readReply(&reply, load.replyTimeout);
            account(load, "pipeline", *q, alive, reply);
        }
        if (!alive) {
            // The daemon never closes a well-behaved client.
            ++load.counters.pipelineDropped;
            c = std::make_unique<Connection>(load.port);
        }
        ++load.counters.pipelineBatches;
        pause(PIPELINE_PAUSE_MS);
    }
}

// Sends random bytes (line ends and NUL bytes among them); whatever comes back must still be
// reply lines.
void garbageClient(Load& load, unsigned seed) {
    std::mt19937 rng(seed);
    while (!load.stop) {
        Connection c(load.port);
        if (!c.ok()) {
            ++load.counters.connectFailures;
        } else {
            ++load.counters.garbageConnections;
            std::string bytes(100 + rng() % 1900, '\0');
            for (char& b : bytes)
                b = static_cast<char>(rng() % 8 == 0 ? "\r\n\0."[rng() % 4] : rng());
            c.sendAll(bytes);
            std::string reply;
            while (c.readReply(&reply, milliseconds(200))) {
                if (reply.find_first_of("\r\n") != std::string::npos ||
                    (!reply.empty() && !isReading(reply))) {
                    ++load.counters.garbageBadReplies;
                    load.counters.wrong("garbage answered '" + reply + "'");
                }
            }
        }
        pause(RUDE_PAUSE_MS);
    }
}

// Sends a request longer than the daemon holds, without a line end: it must cut us off.
void overlongClient(Load& load, unsigned) {
    while (!load.stop) {
        Connection c(load.port);
        if (!c.ok()) {
            ++load.counters.connectFailures;
        } else {
            c.sendAll(std::string(OVERLONG_REQUEST_BYTES, 'x'));  // fails once we are cut off
            if (c.closedByPeer(load.replyTimeout)) {
                ++load.counters.overlongCutOff;
            } else {
                ++load.counters.overlongNotCut;
                load.counters.wrong("over-long request not cut off");
            }
        }
        pause(RUDE_PAUSE_MS);
    }
}

// Pipelines many queries and resets the connection while the replies are on their way.
void resetClient(Load& load, unsigned seed) {
    std::mt19937 rng(seed);
    while (!load.stop) {
        Connection c(load.port);
        if (!c.ok()) {
            ++load.counters.connectFailures;
        } else {
            std::string bytes;
            for (int i = 0; i < RESET_PIPELINE_QUERIES; ++i)
                bytes += load.mix[rng() % 9].text + "\n";  // well-formed names with data
            c.sendAll(bytes);
            std::string reply;
            c.readReply(&reply, milliseconds(100));  // the first replies are out
            c.resetHard();
            ++load.counters.resets;
        }
        pause(RUDE_PAUSE_MS);
    }
}

// ---- the run -------------------------------------------------------------------------------

struct Check {
    std::string name;
    bool passed;
    std::string detail;
};

int freePort() {
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

std::string lastLine(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Distinct random keys ("k<number>=") among the lines a simulator logged as sent.
size_t distinctRandomKeys(const std::string& simLog) {
    std::set<std::string> keys;
    std::istringstream lines(simLog);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "sent k") != 0) continue;
        std::istringstream fields(line.substr(5));
        for (std::string f; fields >> f;) keys.insert(f.substr(0, f.find('=')));
    }
    return keys.size();
}

// The simulator's command line: a line every SIM_INTERVAL_MS on a pty behind link, plus faults.
std::vector<std::string> simulator(const std::string& sim, const std::string& link,
                                   const std::string& faults) {
    std::vector<std::string> argv = {sim, "--link", link, "--interval",
                                     std::to_string(SIM_INTERVAL_MS)};
    std::istringstream words(faults);
    for (std::string w; words >> w;) argv.push_back(w);
    return argv;
}

// The absolute form of a program path: the children start in the working directory.
std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        throw std::runtime_error("cannot find " + path);
    }
    return resolved;
}

int run(Options opt) {
    opt.daemon = absolute(opt.daemon);
    opt.sim = absolute(opt.sim);
    // A time-out, stretched for a daemon under a slow wrapper.
    auto scaled = [&](int ms) { return milliseconds(ms * opt.slowFactor); };
    WorkDir dir;
    dir.keep = opt.keep;
    int port = freePort();
    std::vector<Check> checks;
    auto check = [&](const std::string& name, bool passed, const std::string& detail) {
        checks.push_back({name, passed, detail});
    };

    // Devices first: the daemon finds their links at once.
    // Device 1 hangs up every 100 lines for a second and sends garbage and 100 KiB lines;
    // device 2 sends 20 random keys after every line, writes each line in two pieces and
    // falls silent once for 5 s.
    auto sim0 = simulator(opt.sim, dir.file(SIM0_LINK),
                          "--seed 11 --hangup-after 100 --hangup-secs 1 --garbage-every 5 "
                          "--long-line-every 40");
    auto sim1 = simulator(opt.sim, dir.file(SIM1_LINK),
                          "--seed 12 --random-keys-every 1 --split --silence-after 200 "
                          "--silence-secs 5");
    Child device0(sim0, dir.path, dir.file("sim0.log"));
    Child device1(sim1, dir.path, dir.file("sim1.log"));
    if (!eventually(
            [&] {
                return access(dir.file(SIM0_LINK).c_str(), F_OK) == 0 &&
                       access(dir.file(SIM1_LINK).c_str(), F_OK) == 0;
            },
            milliseconds(5000))) {
        fprintf(stderr, "the simulated devices did not start (%s)\n", opt.sim.c_str());
        dir.keep = true;
        return 1;
    }

    std::ofstream(dir.file("sensomarkUSB.conf"))
        << "[main]\nport = " << port << "\nloglevel = stat\nbacklog = 128\n\n[sensors]\n"
        << dir.file(SIM0_LINK) << " = alpha alpha.in\n"
        << dir.file(SIM1_LINK) << " = beta\n"
        << GHOST_DEVICE << " = ghost\n";
    std::vector<std::string> argv = opt.wrapper;
    argv.push_back(opt.daemon);
    argv.push_back(dir.file("sensomarkUSB.conf"));
    std::string logPath = dir.file("daemon.log");
    Child daemon(argv, dir.path, logPath);
    pid_t pid = daemon.pid();
    if (!eventually([&] { return !daemon.running() || Connection(port).ok(); },
                    scaled(SETTLE_TIMEOUT_MS)) ||
        !daemon.running()) {
        fprintf(stderr, "the daemon did not start listening; its log:\n%s\n",
                readFile(logPath).c_str());
        dir.keep = true;
        return 1;
    }
    // The idle state: no client thread left from the start-up probe, the devices open.
    int baseThreads = 0;
    eventually(
        [&] {
            int now = threadCount(pid);
            pause(200 * opt.slowFactor);
            return (baseThreads = threadCount(pid)) == now;
        },
        scaled(SETTLE_TIMEOUT_MS));
    Descriptors baseFds = descriptors(pid);

    // The load.
    Counters counters;
    std::atomic<bool> stop{false};
    std::vector<Query> mix = queryMix();
    Load load{port, scaled(REPLY_TIMEOUT_MS), mix, counters, stop};
    std::vector<std::thread> clients;
    unsigned seed = 1;
    for (int i = 0; i < opt.churnClients; ++i)
        clients.emplace_back(churnClient, std::ref(load), seed++);
    for (int i = 0; i < opt.pipelineClients; ++i)
        clients.emplace_back(pipelineClient, std::ref(load), seed++);
    for (int i = 0; i < opt.rudeClients; ++i) {
        clients.emplace_back(garbageClient, std::ref(load), seed++);
        clients.emplace_back(overlongClient, std::ref(load), seed++);
        clients.emplace_back(resetClient, std::ref(load), seed++);
    }
    printf("soak: %d s, %d churning, %d pipelining, %d rude clients; daemon pid %d, port %d\n",
           opt.seconds, opt.churnClients, opt.pipelineClients, 3 * opt.rudeClients, pid, port);
    fflush(stdout);

    // Resident memory once a second; the first sample after the warm-up is the reference.
    const int warmupS = std::max(1, std::min(10, opt.seconds / 4));
    long warmRss = -1, peakRss = 0;
    bool crashed = false;
    auto start = Clock::now();
    for (int s = 1; s <= opt.seconds && !crashed; ++s) {
        std::this_thread::sleep_until(start + std::chrono::seconds(s));
        if (!daemon.running()) {
            crashed = true;
            break;
        }
        long rss = residentKiB(pid);
        peakRss = std::max(peakRss, rss);
        if (s == warmupS) warmRss = rss;
        if (s % std::max(1, opt.seconds / 6) == 0) {
            printf("  %4d s: rss %ld KiB, threads %d, descriptors %d, queries answered %ld\n", s,
                   rss, threadCount(pid), descriptors(pid).total(),
                   counters.wellFormedCorrect.load() + counters.otherCorrect.load());
            fflush(stdout);
        }
    }
    stop = true;
    for (std::thread& t : clients) t.join();

    check("no crash", !crashed && daemon.running(),
          crashed ? "the daemon ended during the run, code " + std::to_string(daemon.exitCode())
                  : "alive through the run");

    // Back to the idle state once the clients are gone.
    int endThreads = -1;
    Descriptors endFds;
    if (daemon.running()) {
        bool threadsBack =
            eventually([&] { return (endThreads = threadCount(pid)) == baseThreads; },
                       scaled(SETTLE_TIMEOUT_MS));
        bool fdsBack = eventually(
            [&] {
                endFds = descriptors(pid);
                return endFds.sockets == baseFds.sockets && endFds.other == baseFds.other &&
                       endFds.terminals <= 2;
            },
            scaled(SETTLE_TIMEOUT_MS));
        check("threads back to the baseline", threadsBack,
              std::to_string(baseThreads) + " before the clients, " + std::to_string(endThreads) +
                  " after");
        check("descriptors back to the baseline", fdsBack,
              baseFds.text() + " before the clients, " + endFds.text() + " after");
    }
    long endRss = daemon.running() ? residentKiB(pid) : -1;
    if (opt.rssBoundKiB > 0) {
        check("resident memory flat",
              warmRss > 0 && endRss > 0 && endRss - warmRss <= opt.rssBoundKiB,
              std::to_string(warmRss) + " KiB after the " + std::to_string(warmupS) +
                  " s warm-up, " + std::to_string(endRss) + " KiB at the end (growth " +
                  std::to_string(endRss - warmRss) + " KiB, bound " +
                  std::to_string(opt.rssBoundKiB) + " KiB), peak " + std::to_string(peakRss) +
                  " KiB");
    }

    // The end.
    auto signalled = Clock::now();
    int code = daemon.stop(SIGTERM, scaled(EXIT_TIMEOUT_MS));
    auto exitMs = std::chrono::duration_cast<milliseconds>(Clock::now() - signalled).count();
    std::string log = readFile(logPath);
    check("SIGTERM ends it with code 0", code == 0,
          "exit code " + std::to_string(code) + " after " + std::to_string(exitMs) + " ms");
    check("\"ending daemon\" is the last log line", endsWith(lastLine(log), " - ending daemon"),
          "'" + lastLine(log) + "'");
    device0.stop(SIGTERM, milliseconds(EXIT_TIMEOUT_MS));
    device1.stop(SIGTERM, milliseconds(EXIT_TIMEOUT_MS));

    long wellSent = counters.wellFormedSent, wellOk = counters.wellFormedCorrect;
    long otherSent = counters.otherSent, otherOk = counters.otherCorrect;
    check("every well-formed query answered correctly", wellSent > 0 && wellOk == wellSent,
          std::to_string(wellOk) + " of " + std::to_string(wellSent));
    check("every other query answered correctly", otherOk == otherSent,
          std::to_string(otherOk) + " of " + std::to_string(otherSent) +
              " (unknown names, bad quantities)");
    check("no well-behaved client dropped",
          counters.pipelineDropped == 0 && counters.connectFailures == 0,
          std::to_string(counters.pipelineDropped.load()) + " pipelines dropped, " +
              std::to_string(counters.connectFailures.load()) + " connects failed");
    if (opt.rudeClients > 0) {
        check("over-long requests cut off",
              counters.overlongNotCut == 0 && counters.overlongCutOff > 0,
              std::to_string(counters.overlongCutOff.load()) + " cut off, " +
                  std::to_string(counters.overlongNotCut.load()) + " not");
        check("garbage answered with reply lines only", counters.garbageBadReplies == 0,
              std::to_string(counters.garbageConnections.load()) + " garbage connections, " +
                  std::to_string(counters.garbageBadReplies.load()) + " bad replies");
    }
    std::string sim0Log = readFile(dir.file("sim0.log"));
    std::string sim1Log = readFile(dir.file("sim1.log"));
    int hangups = countMatches(sim0Log, "hangup for");
    int reopened = countMatches(log, std::string("start sensing on '") + dir.file(SIM0_LINK) + "'");
    check("the unplugged device is read again", hangups == 0 || reopened >= 2,
          std::to_string(hangups) + " hang-ups, " + std::to_string(reopened) + " opens");

    printf("figures:\n");
    printf("  queries: %ld well-formed, %ld other; %ld churn connections, %ld pipelined batches\n",
           wellSent, otherSent, counters.churnConnections.load(), counters.pipelineBatches.load());
    printf(
        "  rude: %ld garbage connections, %ld over-long requests cut off, %ld resets mid-reply\n",
        counters.garbageConnections.load(), counters.overlongCutOff.load(), counters.resets.load());
    printf("  device 1: %d lines, %d hang-ups, %d garbage bursts, %d long lines (100 KiB)\n",
           countMatches(sim0Log, "sent temperature="), hangups,
           countMatches(sim0Log, "sent garbage"), countMatches(sim0Log, "sent long line"));
    printf(
        "  device 2: %d lines, %d random-key lines with %zu distinct keys, %d silence, split "
        "writes\n",
        countMatches(sim1Log, "sent temperature="), countMatches(sim1Log, "sent k"),
        distinctRandomKeys(sim1Log), countMatches(sim1Log, "silent for"));
    printf("  daemon log: %d client connections, %d lost, %d reply send errors, %d device losses\n",
           countMatches(log, "incoming connection from"),
           countMatches(log, "lost client connection"),
           countMatches(log, "error sending client reply"),
           countMatches(log, "lost sensor connection on"));
    printf("  resident memory: %ld KiB after warm-up, peak %ld KiB, %ld KiB at the end\n", warmRss,
           peakRss, endRss);
    for (const std::string& e : counters.examples) printf("  wrong: %s\n", e.c_str());

    bool allPassed = true;
    printf("checks:\n");
    for (const Check& c : checks) {
        printf("  %s  %s: %s\n", c.passed ? "ok  " : "FAIL", c.name.c_str(), c.detail.c_str());
        allPassed = allPassed && c.passed;
    }
    if (!allPassed) {
        dir.keep = true;
        printf("working directory kept: %s\n", dir.path.c_str());
    }
    printf("soak %s\n", allPassed ? "passed" : "FAILED");
    return allPassed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Options opt;
    try {
        if (!parseOptions(argc, argv, &opt)) return 2;
        return run(opt);
    } catch (const std::exception& e) {
        fprintf(stderr, "sensomark-soak: %s\n", e.what());
        return 2;
    }
}
