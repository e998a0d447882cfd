// loadgen: closed-loop TCP load for the benchmark. Many client connections on one epoll thread;
// reports replies per second, latency percentiles, wrong replies, connect storms and idle holds.
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

const int MAX_EVENTS = 1024;
const int EPOLL_WAIT_MS = 10;
const size_t RECV_CHUNK_BYTES = 4096;
// A reply line longer than this without its line end counts as wrong.
const size_t MAX_REPLY_BYTES = 4096;
const long WANTED_DESCRIPTORS = 65536;
const auto PROBE_RETRY = std::chrono::milliseconds(50);
// Bound for setting up and answering the idle clients, and for their final round.
const auto IDLE_PHASE_TIMEOUT = std::chrono::seconds(120);
// Bound for a server to exit after SIGTERM.
const auto EXIT_WAIT_TIMEOUT = std::chrono::seconds(10);

enum class Mode { RUN, STORM, IDLE, PROBE, SHUTDOWN };

struct Options {
    Mode mode = Mode::RUN;
    int port = 0;
    std::string query = "sensomark.com1.1";
    std::string expect = "valid=1;value=<num>;";
    int connections = 1;
    double durationS = 5;
    double warmupS = 1;
    int depth = 1;
    double holdS = 10;
    int burst = 256;  // connects pending at once while idle clients are set up
    pid_t serverPid = 0;
    double timeoutS = 10;
    double signalAfterS = 2;
    // A second server measured in turn with the first (run and storm modes).
    int pairPort = 0;
    pid_t pairPid = 0;
    double sliceS = 1;     // measured seconds of one turn
    double settleS = 0.2;  // unmeasured seconds at the start of each turn
};

void usage() {
    fputs(
        "usage: loadgen --port N [--mode run|storm|idle|probe|shutdown] [options]\n"
        "  --query TEXT        query line sent (default sensomark.com1.1)\n"
        "  --expect PATTERN    expected reply; <num> is one or more digits or full stops\n"
        "                      (default valid=1;value=<num>;)\n"
        "  --connections N     connections (run, shutdown), clients (idle), slots (storm)\n"
        "  --duration S        measured seconds (default 5)\n"
        "  --warmup S          unmeasured seconds before (default 1)\n"
        "  --depth D           queries in flight per connection (default 1)\n"
        "  --hold S            idle: seconds the clients are held (default 10)\n"
        "  --burst N           idle: connects pending at once (default 256)\n"
        "  --server-pid PID    read the server's CPU time, memory and threads from /proc;\n"
        "                      shutdown: the process that gets SIGTERM\n"
        "  --timeout S         probe: give up after S seconds (default 10)\n"
        "  --signal-after S    shutdown: seconds of load before SIGTERM (default 2)\n"
        "  --pair-port N       run, storm: a second server, loaded in turns with the first:\n"
        "                      a warm-up of each, then turns of --slice measured seconds\n"
        "                      (default 1) after --settle seconds (default 0.2), until each\n"
        "                      has --duration seconds; one result line per server (side=0\n"
        "                      for --port, side=1 for --pair-port)\n"
        "  --pair-pid PID      the second server's process, for /proc\n",
        stderr);
}

// An expected reply: literal text in which "<num>" stands for one or more digits or full stops
// (matched greedily).
class Pattern {
  public:
    explicit Pattern(const std::string& text) {
        const std::string token = "<num>";
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t hit = text.find(token, pos);
            std::string literal = text.substr(pos, hit == std::string::npos ? hit : hit - pos);
            if (!literal.empty()) parts.push_back({false, literal});
            if (hit == std::string::npos) break;
            parts.push_back({true, ""});
            pos = hit + token.size();
        }
    }

    bool matches(const char* data, size_t len) const {
        size_t at = 0;
        for (const Part& part : parts) {
            if (part.number) {
                size_t start = at;
                while (at < len &&
                       (isdigit(static_cast<unsigned char>(data[at])) || data[at] == '.'))
                    ++at;
                if (at == start) return false;
            } else {
                if (len - at < part.literal.size()) return false;
                if (memcmp(data + at, part.literal.data(), part.literal.size()) != 0) return false;
                at += part.literal.size();
            }
        }
        return at == len;
    }

  private:
    struct Part {
        bool number;
        std::string literal;
    };
    std::vector<Part> parts;
};

// What /proc tells about the server at one moment.
struct ProcSample {
    bool ok = false;
    double cpuS = 0;  // utime + stime of all its threads
    long rssKiB = 0;
    long threads = 0;
    Clock::time_point at;
};

ProcSample sampleProcess(pid_t pid) {
    ProcSample s;
    s.at = Clock::now();
    if (pid <= 0) return s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return s;
    size_t close = text.rfind(')');
    if (close == std::string::npos) return s;
    std::istringstream fields(text.substr(close + 2));
    // Fields from the third on: state is 3, utime 14, stime 15.
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    s.cpuS = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::stol(line.substr(6));
        if (line.rfind("Threads:", 0) == 0) s.threads = std::stol(line.substr(8));
    }
    s.ok = true;
    return s;
}

double percentileUs(const std::vector<uint64_t>& sortedNs, double fraction) {
    if (sortedNs.empty()) return 0;
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sortedNs.size()));
    if (rank >= sortedNs.size()) rank = sortedNs.size() - 1;
    return static_cast<double>(sortedNs[rank]) / 1000.0;
}

std::string latencyFields(std::vector<uint64_t>& ns) {
    std::sort(ns.begin(), ns.end());
    char text[256];
    snprintf(text, sizeof(text), "p50_us=%.1f p90_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f",
             percentileUs(ns, 0.50), percentileUs(ns, 0.90), percentileUs(ns, 0.99),
             percentileUs(ns, 0.999), ns.empty() ? 0.0 : static_cast<double>(ns.back()) / 1000.0);
    return text;
}

// The client connections and the epoll set that watches them, all on the calling thread.
class Clients {
  public:
    enum class State { CLOSED, CONNECTING, OPEN };

    struct Conn {
        State state = State::CLOSED;
        int fd = -1;
        std::string partial;                  // bytes of a reply line not yet complete
        std::vector<Clock::time_point> sent;  // send times of queries in flight, oldest first
        size_t sentHead = 0;
        Clock::time_point started;  // when the connect began
        int answered = 0;           // replies on this connection
    };

    // Connections from perSide on go to options.pairPort.
    Clients(const Options& options, size_t count, size_t perSide = SIZE_MAX)
        : options(options),
          pattern(options.expect),
          conns(count),
          perSide(perSide),
          epoll(epoll_create1(0)) {
        request = options.query + "\n";
        for (Conn& c : conns) c.sent.reserve(static_cast<size_t>(options.depth) + 1);
    }
    ~Clients() {
        for (size_t i = 0; i < conns.size(); ++i) closeConn(i);
    }
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    size_t size() const { return conns.size(); }
    Conn& at(size_t i) { return conns[i]; }
    bool ready() const { return epoll.get() >= 0; }

    // Starts a non-blocking connect; the connection is OPEN once onWritable reports it.
    bool startConnect(size_t i) {
        Conn& c = conns[i];
        closeConn(i);
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) return false;
        int yes = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        int port = i < perSide ? options.port : options.pairPort;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.started = Clock::now();
        if (connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
            errno != EINPROGRESS) {
            closeConn(i);
            return false;
        }
        c.state = State::CONNECTING;
        c.partial.clear();
        c.sent.clear();
        c.sentHead = 0;
        c.answered = 0;
        struct epoll_event ev = {};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, c.fd, &ev) != 0) {
            closeConn(i);
            return false;
        }
        return true;
    }

    // After EPOLLOUT on a connecting socket: true when it is now open.
    bool finishConnect(size_t i) {
        Conn& c = conns[i];
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
        struct epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        if (epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd, &ev) != 0) return false;
        c.state = State::OPEN;
        return true;
    }

    void closeConn(size_t i) {
        Conn& c = conns[i];
        if (c.fd >= 0) close(c.fd);  // also leaves the epoll set
        c.fd = -1;
        c.state = State::CLOSED;
    }

    // Sends one query line; false when the send failed or was short.
    bool sendQuery(size_t i, Clock::time_point now) {
        Conn& c = conns[i];
        ssize_t n = send(c.fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n != static_cast<ssize_t>(request.size())) return false;
        c.sent.push_back(now);
        return true;
    }

    size_t inFlight(size_t i) const { return conns[i].sent.size() - conns[i].sentHead; }

    // Reads what has arrived and calls onReply(i, latency, correct) per complete reply line.
    // False when the peer closed or the read failed.
    template <typename F>
    bool readReplies(size_t i, Clock::time_point now, F onReply) {
        Conn& c = conns[i];
        char buffer[RECV_CHUNK_BYTES];
        ssize_t n = recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        c.partial.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (;;) {
            size_t end = c.partial.find('\n', start);
            if (end == std::string::npos) break;
            bool correct = end > start && c.partial[end - 1] == '\r' &&
                           pattern.matches(c.partial.data() + start, end - 1 - start);
            Clock::duration latency{};
            if (c.sentHead < c.sent.size()) {
                latency = now - c.sent[c.sentHead++];
                if (c.sentHead == c.sent.size()) {
                    c.sent.clear();
                    c.sentHead = 0;
                }
            } else {
                correct = false;  // a reply nobody asked for
            }
            ++c.answered;
            start = end + 1;
            onReply(i, latency, correct);
            if (c.fd < 0) return true;  // onReply closed it
        }
        c.partial.erase(0, start);
        if (c.partial.size() > MAX_REPLY_BYTES) return false;
        return true;
    }

    int wait(struct epoll_event* events, int timeoutMs) {
        int n = epoll_wait(epoll.get(), events, MAX_EVENTS, timeoutMs);
        return n < 0 ? 0 : n;
    }

  private:
    const Options& options;
    Pattern pattern;
    std::string request;
    std::vector<Conn> conns;
    const size_t perSide;
    UniqueFd epoll;
};

std::string format(const char* fmt, double value) {
    char text[64];
    snprintf(text, sizeof(text), fmt, value);
    return text;
}

// One turn of one side (0: --port, 1: --pair-port); replies count within [measureFrom, end).
struct Slice {
    int side;
    Clock::time_point measureFrom, end;
};

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(Seconds(s));
}

// One server: the warm-up, then the measured time. Two servers: a warm-up of each, then turns
// of sliceS measured seconds, each after settleS unmeasured ones, until each side has durationS
// measured seconds. A passing burst of other load on the machine then falls on both alike.
std::vector<Slice> makeSchedule(const Options& o, Clock::time_point start) {
    std::vector<Slice> slices;
    Clock::time_point at = start;
    auto add = [&](int side, double unmeasuredS, double measuredS) {
        Slice slice{side, at + seconds(unmeasuredS), at + seconds(unmeasuredS + measuredS)};
        at = slice.end;
        slices.push_back(slice);
    };
    if (o.pairPort == 0) {
        add(0, o.warmupS, o.durationS);
        return slices;
    }
    add(0, o.warmupS, 0);
    add(1, o.warmupS, 0);
    int turns = std::max(1, static_cast<int>(std::ceil(o.durationS / o.sliceS - 1e-9)));
    for (int t = 0; t < turns; ++t) {
        add(0, o.settleS, o.durationS / turns);
        add(1, o.settleS, o.durationS / turns);
    }
    return slices;
}

// What one side did in its measured windows.
struct SideStats {
    uint64_t counted = 0, errors = 0, wrong = 0;
    std::vector<uint64_t> latencies;
    double measuredS = 0, cpuS = 0;
    bool cpuOk = true;
    long threads = 0;
};

// Walks the schedule: which slice is current, and the server's CPU time over each window.
class Turns {
  public:
    Turns(const Options& options, Clock::time_point start, std::vector<SideStats>& stats)
        : options(options), slices(makeSchedule(options, start)), stats(stats) {}

    bool over() const { return current >= slices.size(); }
    int activeSide() const { return over() ? -1 : slices[current].side; }
    bool counts(int side, Clock::time_point now) const {
        return !over() && slices[current].side == side && now >= slices[current].measureFrom &&
               now < slices[current].end;
    }
    // Moves on with the clock; true when a new slice began.
    bool advance(Clock::time_point now) {
        bool moved = false;
        while (!over()) {
            const Slice& slice = slices[current];
            bool windowed = slice.end > slice.measureFrom;
            if (windowed && !sampling && now >= slice.measureFrom && now < slice.end) {
                first = sampleProcess(pidOf(slice.side));
                sampling = true;
            }
            if (now < slice.end) break;
            SideStats& st = stats[static_cast<size_t>(slice.side)];
            if (windowed) {
                st.measuredS += Seconds(slice.end - slice.measureFrom).count();
                ProcSample last = sampleProcess(pidOf(slice.side));
                if (sampling && first.ok && last.ok) {
                    st.cpuS += last.cpuS - first.cpuS;
                    st.threads = last.threads;
                } else {
                    st.cpuOk = false;
                }
            }
            sampling = false;
            ++current;
            moved = true;
        }
        return moved;
    }

  private:
    pid_t pidOf(int side) const { return side == 0 ? options.serverPid : options.pairPid; }

    const Options& options;
    std::vector<Slice> slices;
    std::vector<SideStats>& stats;
    size_t current = 0;
    bool sampling = false;
    ProcSample first;
};

// head, then the rate (rateKey per second), latencies, errors, and the server's CPU time per
// counted reply or connection (perKey).
std::string sideLine(const std::string& head, SideStats& st, const std::string& rateKey,
                     const std::string& perKey) {
    double rate = st.measuredS > 0 ? static_cast<double>(st.counted) / st.measuredS : 0;
    std::string line = head + format((" " + rateKey + "=%.1f ").c_str(), rate) +
                       latencyFields(st.latencies) + " errors=" + std::to_string(st.errors) +
                       " wrong=" + std::to_string(st.wrong);
    if (st.cpuOk && st.counted > 0 && st.threads > 0) {
        line += format((" server_cpu_us_per_" + perKey + "=%.2f").c_str(),
                       st.cpuS * 1e6 / static_cast<double>(st.counted));
        line += " server_threads=" + std::to_string(st.threads);
    }
    return line;
}

// Closed loop on options.connections connections (per server): each keeps options.depth queries
// in flight while its server has the turn. In shutdown mode the load goes on after signalAfterS
// until SIGTERM has ended the server.
int runLoad(const Options& options, bool shutdownMode) {
    const size_t perSide = static_cast<size_t>(options.connections);
    const int sides = options.pairPort > 0 ? 2 : 1;
    const size_t count = perSide * static_cast<size_t>(sides);
    Clients clients(options, count, perSide);
    if (!clients.ready()) return 2;
    std::vector<SideStats> stats(static_cast<size_t>(sides));
    for (SideStats& st : stats) st.latencies.reserve(1 << 20);
    auto sideOf = [perSide](size_t i) { return i < perSide ? 0 : 1; };

    UniqueFd pidFd;
    if (shutdownMode) {
        pidFd.reset(static_cast<int>(syscall(SYS_pidfd_open, options.serverPid, 0)));
        if (kill(options.serverPid, 0) != 0) {
            fprintf(stderr, "loadgen: no process %d\n", options.serverPid);
            return 2;
        }
    }

    // Connect everything before the clock starts; at most `burst` connects at once.
    auto setupDeadline = Clock::now() + IDLE_PHASE_TIMEOUT;
    size_t opened = 0, open = 0, pending = 0;
    std::vector<struct epoll_event> events(MAX_EVENTS);
    while (open < count) {
        while (opened < count && pending < static_cast<size_t>(options.burst)) {
            if (!clients.startConnect(opened)) {
                fprintf(stderr, "loadgen: connect: %s\n", strerror(errno));
                return 2;
            }
            ++opened;
            ++pending;
        }
        int n = clients.wait(events.data(), EPOLL_WAIT_MS);
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            if (clients.at(i).state != Clients::State::CONNECTING) continue;
            if (!clients.finishConnect(i)) {
                fprintf(stderr, "loadgen: connect failed\n");
                return 2;
            }
            --pending;
            ++open;
        }
        if (Clock::now() > setupDeadline) {
            fprintf(stderr, "loadgen: only %zu of %zu connections opened\n", open, count);
            return 2;
        }
    }

    Options schedule = options;
    if (shutdownMode) {
        schedule.warmupS = 0;
        schedule.durationS = options.signalAfterS;
    }
    auto start = Clock::now();
    Turns turns(schedule, start, stats);
    // Whether connection i may ask: its server has the turn (in shutdown mode: always).
    auto mayAsk = [&](size_t i) { return shutdownMode || turns.activeSide() == sideOf(i); };
    // Fills the pipeline of every open connection whose server has the turn.
    auto startTurn = [&](Clock::time_point now) {
        for (size_t i = 0; i < count; ++i) {
            if (!mayAsk(i) || clients.at(i).state != Clients::State::OPEN) continue;
            for (size_t d = clients.inFlight(i); d < static_cast<size_t>(options.depth); ++d) {
                if (!clients.sendQuery(i, now)) ++stats[sideOf(i)].errors;
            }
        }
    };
    startTurn(start);

    auto onReply = [&](size_t i, Clock::duration latency, bool correct) {
        auto now = Clock::now();
        SideStats& st = stats[sideOf(i)];
        if (!correct) ++st.wrong;
        if (turns.counts(sideOf(i), now)) {
            ++st.counted;
            st.latencies.push_back(static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(latency).count()));
        }
        if (mayAsk(i) && !clients.sendQuery(i, now)) ++st.errors;
    };

    bool signalled = false;
    Clock::time_point signalAt, exitedAt;
    for (;;) {
        auto now = Clock::now();
        if (turns.advance(now) && !turns.over()) startTurn(now);
        if (turns.over()) {
            if (!shutdownMode) break;
            if (!signalled) {
                signalAt = Clock::now();
                kill(options.serverPid, SIGTERM);
                signalled = true;
            }
        }
        if (signalled) {
            bool gone;
            if (pidFd.get() >= 0) {
                struct pollfd p = {pidFd.get(), POLLIN, 0};
                gone = poll(&p, 1, 0) > 0;
            } else {
                // Without pidfd: gone, or a zombie nobody has reaped yet.
                ProcSample s = sampleProcess(options.serverPid);
                gone = !s.ok || s.threads == 0;
            }
            if (gone) {
                exitedAt = Clock::now();
                break;
            }
            if (Clock::now() - signalAt > EXIT_WAIT_TIMEOUT) {
                fprintf(stderr, "loadgen: server did not exit after SIGTERM\n");
                return 1;
            }
        }
        int n = clients.wait(events.data(), signalled ? 1 : EPOLL_WAIT_MS);
        now = Clock::now();
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            auto& c = clients.at(i);
            SideStats& st = stats[sideOf(i)];
            if (c.state == Clients::State::CONNECTING) {
                // A connection opened again after an error: start its queries.
                if ((events[e].events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) continue;
                if (!clients.finishConnect(i)) {
                    ++st.errors;
                    clients.closeConn(i);
                    continue;
                }
                for (int d = 0; d < options.depth && mayAsk(i); ++d) {
                    if (!clients.sendQuery(i, now)) ++st.errors;
                }
                continue;
            }
            if (c.state != Clients::State::OPEN) continue;
            if (!clients.readReplies(i, now, onReply)) {
                clients.closeConn(i);
                if (signalled) continue;  // the server is going away: expected
                ++st.errors;
                // Keep the number of connections constant.
                if (!clients.startConnect(i)) ++st.errors;
            }
        }
    }

    if (shutdownMode) {
        double ms = std::chrono::duration<double, std::milli>(exitedAt - signalAt).count();
        printf("mode=shutdown connections=%d shutdown_ms=%.1f wrong=%llu\n", options.connections,
               ms, static_cast<unsigned long long>(stats[0].wrong));
        return stats[0].wrong == 0 ? 0 : 1;
    }
    bool ok = true;
    for (int side = 0; side < sides; ++side) {
        SideStats& st = stats[static_cast<size_t>(side)];
        std::string head = "mode=run";
        if (sides == 2) head += " side=" + std::to_string(side);
        head += " connections=" + std::to_string(options.connections) +
                " depth=" + std::to_string(options.depth) +
                " replies=" + std::to_string(st.counted);
        printf("%s\n", sideLine(head, st, "rps", "reply").c_str());
        ok = ok && st.errors == 0 && st.wrong == 0;
    }
    return ok ? 0 : 1;
}

// Connect storm: `connections` slots (per server), each: connect, one query, the reply, close,
// again, while its server has the turn.
int runStorm(const Options& options) {
    const size_t perSide = static_cast<size_t>(options.connections);
    const int sides = options.pairPort > 0 ? 2 : 1;
    const size_t slots = perSide * static_cast<size_t>(sides);
    Clients clients(options, slots, perSide);
    if (!clients.ready()) return 2;
    std::vector<SideStats> stats(static_cast<size_t>(sides));
    for (SideStats& st : stats) st.latencies.reserve(1 << 20);
    auto sideOf = [perSide](size_t i) { return i < perSide ? 0 : 1; };
    std::vector<struct epoll_event> events(MAX_EVENTS);

    Turns turns(options, Clock::now(), stats);
    // Starts slot i's next cycle while its server has the turn; otherwise the slot rests.
    auto restart = [&](size_t i) {
        if (turns.activeSide() != sideOf(i)) {
            clients.closeConn(i);
            return;
        }
        if (!clients.startConnect(i)) ++stats[sideOf(i)].errors;
    };
    auto startTurn = [&] {
        for (size_t i = 0; i < slots; ++i) {
            if (clients.at(i).state == Clients::State::CLOSED) restart(i);
        }
    };
    startTurn();

    for (;;) {
        auto now = Clock::now();
        if (turns.advance(now) && !turns.over()) startTurn();
        if (turns.over()) break;
        int n = clients.wait(events.data(), EPOLL_WAIT_MS);
        now = Clock::now();
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            auto& c = clients.at(i);
            SideStats& st = stats[sideOf(i)];
            if (c.state == Clients::State::CONNECTING) {
                if ((events[e].events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) continue;
                if (!clients.finishConnect(i) || !clients.sendQuery(i, now)) {
                    ++st.errors;
                    restart(i);
                }
                continue;
            }
            if (c.state != Clients::State::OPEN) continue;
            bool done = false;
            bool ok = clients.readReplies(i, now, [&](size_t, Clock::duration, bool correct) {
                if (!correct) ++st.wrong;
                done = true;
            });
            if (done) {
                auto end = Clock::now();
                if (turns.counts(sideOf(i), end)) {
                    ++st.counted;
                    st.latencies.push_back(static_cast<uint64_t>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(end - c.started)
                            .count()));
                }
                restart(i);
            } else if (!ok) {
                ++st.errors;
                restart(i);
            }
        }
    }
    bool ok = true;
    for (int side = 0; side < sides; ++side) {
        SideStats& st = stats[static_cast<size_t>(side)];
        std::string head = "mode=storm";
        if (sides == 2) head += " side=" + std::to_string(side);
        head += " slots=" + std::to_string(options.connections) +
                " connections=" + std::to_string(st.counted);
        printf("%s\n", sideLine(head, st, "cps", "connection").c_str());
        ok = ok && st.errors == 0 && st.wrong == 0;
    }
    return ok ? 0 : 1;
}

// Idle clients: each connects and is answered once, then all are held for options.holdS while the
// server's CPU time, memory and threads are read; then each asks once more.
int runIdle(const Options& options) {
    size_t count = static_cast<size_t>(options.connections);
    Clients clients(options, count);
    if (!clients.ready()) return 2;
    std::vector<struct epoll_event> events(MAX_EVENTS);
    ProcSample base = sampleProcess(options.serverPid);
    uint64_t errors = 0, wrong = 0;

    auto start = Clock::now();
    auto deadline = start + IDLE_PHASE_TIMEOUT;
    size_t opened = 0, pending = 0, answered = 0;
    auto countAnswer = [&](size_t, Clock::duration, bool correct) {
        if (!correct) ++wrong;
        ++answered;
        --pending;
    };
    while (answered + errors < count && Clock::now() < deadline) {
        while (opened < count && pending < static_cast<size_t>(options.burst)) {
            if (clients.startConnect(opened)) {
                ++pending;
            } else {
                ++errors;
            }
            ++opened;
        }
        int n = clients.wait(events.data(), EPOLL_WAIT_MS);
        auto now = Clock::now();
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            auto& c = clients.at(i);
            if (c.state == Clients::State::CONNECTING) {
                if ((events[e].events & (EPOLLOUT | EPOLLERR)) == 0) continue;
                if (!clients.finishConnect(i) || !clients.sendQuery(i, now)) {
                    ++errors;
                    --pending;
                    clients.closeConn(i);
                }
                continue;
            }
            if (c.state != Clients::State::OPEN) continue;
            if (!clients.readReplies(i, now, countAnswer)) {
                ++errors;
                if (c.answered == 0) --pending;
                clients.closeConn(i);
            }
        }
    }
    double setupS = Seconds(Clock::now() - start).count();

    // The hold: nothing should arrive; a close or stray byte is an error.
    ProcSample held1 = sampleProcess(options.serverPid);
    auto holdEnd = held1.at + std::chrono::duration_cast<Clock::duration>(Seconds(options.holdS));
    while (Clock::now() < holdEnd) {
        int n = clients.wait(events.data(), EPOLL_WAIT_MS * 10);
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            if (clients.at(i).state != Clients::State::OPEN) continue;
            ++errors;
            clients.closeConn(i);
        }
    }
    ProcSample held2 = sampleProcess(options.serverPid);

    // Every held client asks once more and must be answered.
    size_t expected = 0, answeredAfter = 0;
    auto now = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        if (clients.at(i).state != Clients::State::OPEN) continue;
        if (clients.sendQuery(i, now)) {
            ++expected;
        } else {
            ++errors;
        }
    }
    deadline = Clock::now() + IDLE_PHASE_TIMEOUT;
    while (answeredAfter < expected && Clock::now() < deadline) {
        int n = clients.wait(events.data(), EPOLL_WAIT_MS);
        now = Clock::now();
        for (int e = 0; e < n; ++e) {
            size_t i = events[e].data.u64;
            if (clients.at(i).state != Clients::State::OPEN) continue;
            bool ok = clients.readReplies(i, now, [&](size_t, Clock::duration, bool correct) {
                if (!correct) ++wrong;
                ++answeredAfter;
            });
            if (!ok) {
                ++errors;
                clients.closeConn(i);
            }
        }
    }

    std::string line =
        "mode=idle clients=" + std::to_string(count) + " answered=" + std::to_string(answered) +
        " answered_after_hold=" + std::to_string(answeredAfter) + format(" setup_s=%.2f", setupS) +
        " errors=" + std::to_string(errors) + " wrong=" + std::to_string(wrong);
    if (base.ok && held1.ok && held2.ok) {
        double heldS = Seconds(held2.at - held1.at).count();
        line += format(" cpu_pct=%.3f", (held2.cpuS - held1.cpuS) * 100.0 / heldS);
        line += " rss_base_kib=" + std::to_string(base.rssKiB) +
                " rss_held_kib=" + std::to_string(held2.rssKiB);
        line += format(" rss_per_client_kib=%.2f", static_cast<double>(held2.rssKiB - base.rssKiB) /
                                                       static_cast<double>(count));
        line += " threads=" + std::to_string(held2.threads);
    }
    printf("%s\n", line.c_str());
    bool allAnswered = answered == count && answeredAfter == count;
    return allAnswered && errors == 0 && wrong == 0 ? 0 : 1;
}

// Asks until a reply matches the pattern (the server is up and has data), or the time-out.
int runProbe(const Options& options) {
    auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(options.timeoutS));
    std::string last;
    while (Clock::now() < deadline) {
        Clients clients(options, 1);
        std::vector<struct epoll_event> events(MAX_EVENTS);
        bool done = false;
        if (clients.startConnect(0)) {
            auto tryUntil = std::min(deadline, Clock::now() + std::chrono::seconds(1));
            while (!done && Clock::now() < tryUntil) {
                int n = clients.wait(events.data(), EPOLL_WAIT_MS);
                auto now = Clock::now();
                for (int e = 0; e < n && !done; ++e) {
                    auto& c = clients.at(0);
                    if (c.state == Clients::State::CONNECTING) {
                        if (!clients.finishConnect(0) || !clients.sendQuery(0, now)) {
                            tryUntil = now;
                            break;
                        }
                        continue;
                    }
                    bool ok = clients.readReplies(0, now, [&](size_t, Clock::duration, bool right) {
                        if (right) {
                            done = true;
                        } else {
                            last = "unexpected reply";
                            tryUntil = now;
                        }
                    });
                    if (!ok) tryUntil = now;
                }
            }
        }
        if (done) {
            printf("mode=probe ok=1\n");
            return 0;
        }
        std::this_thread::sleep_for(PROBE_RETRY);
    }
    fprintf(stderr, "loadgen: no matching reply on port %d within %.0f s %s\n", options.port,
            options.timeoutS, last.c_str());
    return 1;
}

bool parseOptions(int argc, char** argv, Options& o) {
    enum {
        PORT = 1000,
        MODE,
        QUERY,
        EXPECT,
        CONNECTIONS,
        DURATION,
        WARMUP,
        DEPTH,
        HOLD,
        BURST,
        SERVER_PID,
        TIMEOUT,
        SIGNAL_AFTER,
        PAIR_PORT,
        PAIR_PID,
        SLICE,
        SETTLE
    };
    static const struct option longOptions[] = {
        {"port", required_argument, nullptr, PORT},
        {"mode", required_argument, nullptr, MODE},
        {"query", required_argument, nullptr, QUERY},
        {"expect", required_argument, nullptr, EXPECT},
        {"connections", required_argument, nullptr, CONNECTIONS},
        {"duration", required_argument, nullptr, DURATION},
        {"warmup", required_argument, nullptr, WARMUP},
        {"depth", required_argument, nullptr, DEPTH},
        {"hold", required_argument, nullptr, HOLD},
        {"burst", required_argument, nullptr, BURST},
        {"server-pid", required_argument, nullptr, SERVER_PID},
        {"timeout", required_argument, nullptr, TIMEOUT},
        {"signal-after", required_argument, nullptr, SIGNAL_AFTER},
        {"pair-port", required_argument, nullptr, PAIR_PORT},
        {"pair-pid", required_argument, nullptr, PAIR_PID},
        {"slice", required_argument, nullptr, SLICE},
        {"settle", required_argument, nullptr, SETTLE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (option) {
            case PORT:
                o.port = atoi(optarg);
                break;
            case MODE:
                if (value == "run") {
                    o.mode = Mode::RUN;
                } else if (value == "storm") {
                    o.mode = Mode::STORM;
                } else if (value == "idle") {
                    o.mode = Mode::IDLE;
                } else if (value == "probe") {
                    o.mode = Mode::PROBE;
                } else if (value == "shutdown") {
                    o.mode = Mode::SHUTDOWN;
                } else {
                    return false;
                }
                break;
            case QUERY:
                o.query = value;
                break;
            case EXPECT:
                o.expect = value;
                break;
            case CONNECTIONS:
                o.connections = atoi(optarg);
                break;
            case DURATION:
                o.durationS = atof(optarg);
                break;
            case WARMUP:
                o.warmupS = atof(optarg);
                break;
            case DEPTH:
                o.depth = atoi(optarg);
                break;
            case HOLD:
                o.holdS = atof(optarg);
                break;
            case BURST:
                o.burst = atoi(optarg);
                break;
            case SERVER_PID:
                o.serverPid = atoi(optarg);
                break;
            case TIMEOUT:
                o.timeoutS = atof(optarg);
                break;
            case SIGNAL_AFTER:
                o.signalAfterS = atof(optarg);
                break;
            case PAIR_PORT:
                o.pairPort = atoi(optarg);
                break;
            case PAIR_PID:
                o.pairPid = atoi(optarg);
                break;
            case SLICE:
                o.sliceS = atof(optarg);
                break;
            case SETTLE:
                o.settleS = atof(optarg);
                break;
            default:
                return false;
        }
    }
    if (optind != argc || o.port <= 0 || o.port > 65535) return false;
    if (o.connections < 1 || o.depth < 1 || o.burst < 1 || o.durationS <= 0) return false;
    if (o.mode == Mode::SHUTDOWN && o.serverPid <= 0) return false;
    if (o.pairPort < 0 || o.pairPort > 65535 || o.sliceS <= 0 || o.settleS < 0) return false;
    if (o.pairPort > 0 && o.mode != Mode::RUN && o.mode != Mode::STORM) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit(WANTED_DESCRIPTORS);
    switch (options.mode) {
        case Mode::RUN:
            return runLoad(options, false);
        case Mode::SHUTDOWN:
            return runLoad(options, true);
        case Mode::STORM:
            return runStorm(options);
        case Mode::IDLE:
            return runIdle(options);
        case Mode::PROBE:
            return runProbe(options);
    }
    return 2;
}
