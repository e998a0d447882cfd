// Soak and fault test of the real daemon: two simulated devices that hang up and send garbage,
// over-long lines, random keys and a silence; clients that churn, pipeline, send garbage,
// overflow their request and reset mid-reply; then SIGTERM. Prints figures; exits 1 when a
// check fails.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

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

// ---- the children -------------------------------------------------------------------------

bool running(Process& process) {
    return process.wait(milliseconds(0)) == -1;
}

// Sends sig unless the process has ended, and waits; the exit code, 128+N after signal N, or
// -1 after the time-out.
int stopProcess(Process& process, int sig, milliseconds timeout) {
    if (running(process)) process.signal(sig);
    return process.wait(timeout);
}

// The absolute form of a program path: the children start in the working directory.
std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        throw std::runtime_error("cannot find " + path);
    }
    return resolved;
}

// The path execv needs for a program: a name without a slash is looked up in PATH.
std::string programPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::istringstream dirs(name.find('/') == std::string::npos && path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return absolute(candidate);
    }
    return name;
}

// ---- what /proc says about the daemon ------------------------------------------------------

long residentKiB(pid_t pid) {
    std::string kib = procStatus(pid, "VmRSS");
    return kib.empty() ? -1 : atol(kib.c_str());
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
        Client c(load.port);
        if (!c.connected()) {
            ++load.counters.connectFailures;
            pause(CHURN_PAUSE_MS);
            continue;
        }
        ++load.counters.churnConnections;
        int n = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < n; ++i) {
            const Query& q = rng() % 20 == 0 ? EMPTY_QUERY : load.mix[rng() % load.mix.size()];
            c.send(q.text + lineEnd(rng));
            std::vector<std::string> replies = c.replies(1, load.replyTimeout);
            bool received = !replies.empty();
            account(load, "churn", q, received, received ? replies[0] : "");
            if (!received) break;
        }
        pause(CHURN_PAUSE_MS);
    }
}

// Holds one connection and sends batches of queries in one write each; replies come in order.
void pipelineClient(Load& load, unsigned seed) {
    std::mt19937 rng(seed);
    auto c = std::make_unique<Client>(load.port);
    while (!load.stop) {
        if (!c->connected()) {
            ++load.counters.connectFailures;
            pause(PIPELINE_PAUSE_MS);
            c = std::make_unique<Client>(load.port);
            continue;
        }
        std::vector<const Query*> batch;
        std::string bytes;
        for (int i = 0; i < PIPELINE_BATCH; ++i) {
            batch.push_back(&load.mix[rng() % load.mix.size()]);
            bytes += batch.back()->text + lineEnd(rng);
        }
        c->send(bytes);
        std::vector<std::string> replies = c->replies(batch.size(), load.replyTimeout);
        for (size_t i = 0; i < batch.size(); ++i) {
            bool received = i < replies.size();
            account(load, "pipeline", *batch[i], received, received ? replies[i] : "");
        }
        if (replies.size() < batch.size()) {
            // The daemon never closes a well-behaved client.
            ++load.counters.pipelineDropped;
            c = std::make_unique<Client>(load.port);
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
        Client c(load.port);
        if (!c.connected()) {
            ++load.counters.connectFailures;
        } else {
            ++load.counters.garbageConnections;
            std::string bytes(100 + rng() % 1900, '\0');
            for (char& b : bytes)
                b = static_cast<char>(rng() % 8 == 0 ? "\r\n\0."[rng() % 4] : rng());
            c.send(bytes);
            for (std::vector<std::string> replies;
                 !(replies = c.replies(1, milliseconds(200))).empty();) {
                const std::string& reply = replies[0];
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
        Client c(load.port);
        if (!c.connected()) {
            ++load.counters.connectFailures;
        } else {
            c.send(std::string(OVERLONG_REQUEST_BYTES, 'x'));  // fails once we are cut off
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
        Client c(load.port);
        if (!c.connected()) {
            ++load.counters.connectFailures;
        } else {
            std::string bytes;
            for (int i = 0; i < RESET_PIPELINE_QUERIES; ++i)
                bytes += load.mix[rng() % 9].text + "\n";  // well-formed names with data
            c.send(bytes);
            c.replies(1, milliseconds(100));  // the first replies are out
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

int run(Options opt) {
    opt.daemon = absolute(opt.daemon);
    opt.sim = absolute(opt.sim);
    // A time-out, stretched for a daemon under a slow wrapper.
    auto scaled = [&](int ms) { return milliseconds(ms * opt.slowFactor); };
    TempDir dir;
    int port = freePort();
    // Ends the run: on failure or when asked, the working directory moves out of TempDir's
    // reach, with the children's output in files named after them.
    auto finish = [&](int code, const std::vector<std::pair<std::string, Process*>>& outputs) {
        if (code == 0 && !opt.keep) return code;
        for (const auto& [name, process] : outputs) dir.write(name, process->output());
        std::string kept = dir.path + "-kept";
        if (rename(dir.path.c_str(), kept.c_str()) == 0) {
            printf("working directory kept: %s\n", kept.c_str());
        }
        return code;
    };
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
    Process device0(sim0, dir.path);
    Process device1(sim1, dir.path);
    std::vector<std::pair<std::string, Process*>> outputs = {{"sim0.log", &device0},
                                                             {"sim1.log", &device1}};
    if (!eventually(
            [&] {
                return access(dir.file(SIM0_LINK).c_str(), F_OK) == 0 &&
                       access(dir.file(SIM1_LINK).c_str(), F_OK) == 0;
            },
            milliseconds(5000))) {
        fprintf(stderr, "the simulated devices did not start (%s)\n", opt.sim.c_str());
        return finish(1, outputs);
    }

    dir.write(
        "sensomarkUSB.conf",
        configText(port, "loglevel = stat\nbacklog = 128\n\n[sensors]\n" + dir.file(SIM0_LINK) +
                             " = alpha alpha.in\n" + dir.file(SIM1_LINK) + " = beta\n" +
                             GHOST_DEVICE + " = ghost\n"));
    std::vector<std::string> argv = opt.wrapper;
    if (!argv.empty()) argv[0] = programPath(argv[0]);
    argv.push_back(opt.daemon);
    argv.push_back(dir.file("sensomarkUSB.conf"));
    Process daemon(argv, dir.path);
    outputs.push_back({"daemon.log", &daemon});
    pid_t pid = daemon.pid();
    if (!eventually([&] { return !running(daemon) || Client(port).connected(); },
                    scaled(SETTLE_TIMEOUT_MS)) ||
        !running(daemon)) {
        fprintf(stderr, "the daemon did not start listening; its log:\n%s\n",
                daemon.output().c_str());
        return finish(1, outputs);
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
        if (!running(daemon)) {
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

    check("no crash", !crashed && running(daemon),
          crashed ? "the daemon ended during the run, code " +
                        std::to_string(daemon.wait(milliseconds(0)))
                  : "alive through the run");

    // Back to the idle state once the clients are gone.
    int endThreads = -1;
    Descriptors endFds;
    if (running(daemon)) {
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
    long endRss = running(daemon) ? residentKiB(pid) : -1;
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
    int code = stopProcess(daemon, SIGTERM, scaled(EXIT_TIMEOUT_MS));
    auto exitMs = std::chrono::duration_cast<milliseconds>(Clock::now() - signalled).count();
    std::string log = daemon.output();
    check("SIGTERM ends it with code 0", code == 0,
          "exit code " + std::to_string(code) + " after " + std::to_string(exitMs) + " ms");
    check("\"ending daemon\" is the last log line", endsWith(lastLine(log), " - ending daemon"),
          "'" + lastLine(log) + "'");
    stopProcess(device0, SIGTERM, milliseconds(EXIT_TIMEOUT_MS));
    stopProcess(device1, SIGTERM, milliseconds(EXIT_TIMEOUT_MS));

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
    int hangups = device0.count("hangup for");
    int reopened = daemon.count("start sensing on '" + dir.file(SIM0_LINK) + "'");
    check("the unplugged device is read again", hangups == 0 || reopened >= 2,
          std::to_string(hangups) + " hang-ups, " + std::to_string(reopened) + " opens");

    printf("figures:\n");
    printf("  queries: %ld well-formed, %ld other; %ld churn connections, %ld pipelined batches\n",
           wellSent, otherSent, counters.churnConnections.load(), counters.pipelineBatches.load());
    printf(
        "  rude: %ld garbage connections, %ld over-long requests cut off, %ld resets mid-reply\n",
        counters.garbageConnections.load(), counters.overlongCutOff.load(), counters.resets.load());
    printf("  device 1: %d lines, %d hang-ups, %d garbage bursts, %d long lines (100 KiB)\n",
           device0.count("sent temperature="), hangups, device0.count("sent garbage"),
           device0.count("sent long line"));
    printf(
        "  device 2: %d lines, %d random-key lines with %zu distinct keys, %d silence, split "
        "writes\n",
        device1.count("sent temperature="), device1.count("sent k"),
        distinctRandomKeys(device1.output()), device1.count("silent for"));
    printf("  daemon log: %d client connections, %d lost, %d reply send errors, %d device losses\n",
           daemon.count("incoming connection from"), daemon.count("lost client connection"),
           daemon.count("error sending client reply"), daemon.count("lost sensor connection on"));
    printf("  resident memory: %ld KiB after warm-up, peak %ld KiB, %ld KiB at the end\n", warmRss,
           peakRss, endRss);
    for (const std::string& e : counters.examples) printf("  wrong: %s\n", e.c_str());

    bool allPassed = true;
    printf("checks:\n");
    for (const Check& c : checks) {
        printf("  %s  %s: %s\n", c.passed ? "ok  " : "FAIL", c.name.c_str(), c.detail.c_str());
        allPassed = allPassed && c.passed;
    }
    printf("soak %s\n", allPassed ? "passed" : "FAILED");
    return finish(allPassed ? 0 : 1, outputs);
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
