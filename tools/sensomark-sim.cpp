// sensomark-sim: a stand-in climate device on a pseudo-terminal, for users without hardware and
// for the system tests; it can also inject the faults a real serial line shows.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr int WRITE_STALL_TIMEOUT_MS = 1000;  // nobody read for this long: drop the line
constexpr int POLL_SLICE_MS = 100;            // a signal is noticed within this time
constexpr int SPLIT_PAUSE_MS = 20;
constexpr size_t LONG_LINE_BYTES = 100 * 1024;
constexpr int RANDOM_KEY_FIELDS = 20;
constexpr uint32_t GARBAGE_MAX_BYTES = 200;
constexpr double MAGNUS_A = 17.62;
constexpr double MAGNUS_B_CELSIUS = 243.12;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

// Owns one descriptor; closes it on destruction or reset.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

struct Options {
    std::string link, device, line;
    long long interval_ms = 1000, count = 0, seed = 1;
    double temperature = 21.5, humidity = 48.0;
    long long garbage_every = 0, long_line_every = 0, random_keys_every = 0;
    long long silence_after = 0, silence_secs = 40, hangup_after = 0, hangup_secs = 1;
    bool split = false, quiet = false;
};

// Repeatable across standard libraries: uses only the raw mt19937 output, which is fixed.
class Rng {
  public:
    explicit Rng(uint32_t seed) : gen_(seed) {}
    double uniform(double lo, double hi) { return lo + (hi - lo) * (gen_() / 4294967296.0); }
    uint32_t below(uint32_t n) { return gen_() % n; }

  private:
    std::mt19937 gen_;
};

// Slowly drifting climate; each value stays within its bounds, widened to hold the start.
class Climate {
  public:
    Climate(double t, double h)
        : t_(t),
          h_(h),
          t_lo_(std::min(5.0, t)),
          t_hi_(std::max(35.0, t)),
          h_lo_(std::min(20.0, h)),
          h_hi_(std::max(90.0, h)) {}
    std::string next(Rng& rng) {
        t_ = std::clamp(t_ + rng.uniform(-0.1, 0.1), t_lo_, t_hi_);
        h_ = std::clamp(h_ + rng.uniform(-0.3, 0.3), h_lo_, h_hi_);
        // Dew point from the printed values, so a reader can recompute it from the line.
        double t = std::round(t_ * 10) / 10, h = std::round(h_ * 10) / 10;
        double g = std::log(h / 100) + MAGNUS_A * t / (MAGNUS_B_CELSIUS + t);
        double dew = MAGNUS_B_CELSIUS * g / (MAGNUS_A - g);
        char buf[96];
        snprintf(buf, sizeof buf, "temperature=%.1f humidity=%.1f dewpoint=%.1f", t, h, dew);
        return buf;
    }

  private:
    double t_, h_, t_lo_, t_hi_, h_lo_, h_hi_;
};

// Where lines go: a pty master (with our own slave kept open) or a --device path.
struct Output {
    Fd out, slave;
    std::string name;
    bool is_pty = false;
};

void drain(const Output& o) {
    char buf[512];
    while (o.is_pty && read(o.out.get(), buf, sizeof buf) > 0) {
    }
}

// Waits ms milliseconds while discarding anything the master has to read; returns early on a
// stop signal.
void pause_ms(const Output& o, long long ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        drain(o);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {o.is_pty ? o.out.get() : -1, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, POLL_SLICE_MS)));
    } while (!g_stop && std::chrono::steady_clock::now() < deadline);
}

enum class WriteResult { kOk, kStalled, kFailed };

// Like write(2), but retries short writes and EINTR; kStalled when no byte could be written
// for WRITE_STALL_TIMEOUT_MS (the rest is dropped), kFailed with errno on other errors.
WriteResult write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return WriteResult::kFailed;
        pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, WRITE_STALL_TIMEOUT_MS);
        if (r == 0 || g_stop) return WriteResult::kStalled;
        if (r < 0 && errno != EINTR) return WriteResult::kFailed;
    }
    return WriteResult::kOk;
}

// Sends text plus CR LF and logs "sent <shown>"; false on a write error, already reported.
bool send(const Output& o, const Options& opt, Rng& rng, const std::string& text,
          const std::string& shown) {
    std::string line = text + "\r\n";
    size_t first = opt.split ? 1 + rng.below(static_cast<uint32_t>(line.size() - 1)) : line.size();
    WriteResult r = write_all(o.out.get(), line.data(), first);
    if (r == WriteResult::kOk && first < line.size()) {
        pause_ms(o, SPLIT_PAUSE_MS);
        r = write_all(o.out.get(), line.data() + first, line.size() - first);
    }
    if (r == WriteResult::kFailed) {
        fprintf(stderr, "sensomark-sim: write %s: %s\n", o.name.c_str(), strerror(errno));
        return false;
    }
    if (r == WriteResult::kStalled) {
        if (!g_stop) printf("dropped line: nobody read for %d ms\n", WRITE_STALL_TIMEOUT_MS);
    } else if (!opt.quiet) {
        printf("sent %s\n", shown.c_str());
    }
    return true;
}

std::string garbage(Rng& rng) {
    static const char SPECIAL[] = {'\r', '\n', '\0', '\xff'};
    std::string s(1 + rng.below(GARBAGE_MAX_BYTES), '\0');
    for (char& c : s)
        c = static_cast<char>(rng.below(4) == 0 ? SPECIAL[rng.below(4)] : rng.below(256));
    return s;
}

std::string random_keys(Rng& rng) {
    std::string s;
    for (int i = 0; i < RANDOM_KEY_FIELDS; ++i) {
        if (i > 0) s += ' ';
        s += "k" + std::to_string(rng.below(10000)) + "=" + std::to_string(rng.below(10));
    }
    return s;
}

// Points link at target via a temporary name, so readers never see a missing or half-made link.
bool point_link(const std::string& link, const std::string& target) {
    std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "sensomark-sim: link %s: %s\n", link.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes link only while it still points at target: another simulator may have taken it over.
void remove_link(const std::string& link, const std::string& target) {
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

// Opens a new pty whose slave is raw, so nothing echoes back before the daemon sets its modes.
bool open_pty(Output& o) {
    int master = -1, slave = -1;
    char name[128];
    termios tio{};
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (openpty(&master, &slave, name, &tio, nullptr) != 0) {
        fprintf(stderr, "sensomark-sim: openpty: %s\n", strerror(errno));
        return false;
    }
    o.out.reset(master);
    o.slave.reset(slave);  // held so the pty survives the daemon closing and reopening it
    o.name = name;
    o.is_pty = true;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
}

bool open_device(Output& o, const std::string& path) {
    o.out.reset(open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_APPEND | O_CLOEXEC));
    if (o.out.get() < 0) {
        fprintf(stderr, "sensomark-sim: open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    o.name = path;
    termios tio{};
    if (tcgetattr(o.out.get(), &tio) == 0) {  // a real serial port: same modes as the device
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tio.c_cflag |= CLOCAL;
        tcsetattr(o.out.get(), TCSANOW, &tio);
    }
    return true;
}

// Prints "device <path>" for tests to read and re-points --link; false if the link failed.
bool announce(const Output& o, const Options& opt) {
    printf("device %s\n", o.name.c_str());
    return opt.link.empty() || point_link(opt.link, o.name);
}

void usage(FILE* f) {
    fputs(
        "usage: sensomark-sim [options]\n"
        "  --link PATH            keep symlink PATH pointing at the current pty slave\n"
        "  --device PATH          write to this existing tty/file instead of a pty\n"
        "  --interval MS          milliseconds between lines (default 1000; 0 = no pause)\n"
        "  --count N              stop after N lines (default 0 = until SIGINT/SIGTERM)\n"
        "  --temperature T        start temperature in degrees Celsius (default 21.5)\n"
        "  --humidity H           start relative humidity in percent (default 48.0)\n"
        "  --seed N               random seed (default 1)\n"
        "  --line TEXT            send TEXT every interval instead of generated values\n"
        "  --garbage-every N      after every N-th line, send a burst of random bytes\n"
        "  --split                write each line in two parts with a short pause between\n"
        "  --long-line-every N    after every N-th line, send a 100 KiB line\n"
        "  --random-keys-every N  after every N-th line, send 20 fields with random keys\n"
        "  --silence-after N      after N lines, send nothing for --silence-secs (once)\n"
        "  --silence-secs S       length of the silence in seconds (default 40)\n"
        "  --hangup-after N       every N lines, close the pty and open a new one\n"
        "  --hangup-secs S        seconds without a pty at each hangup (default 1)\n"
        "  --quiet                do not log each line sent\n"
        "  -h, --help             this text\n",
        f);
}

// Parses a whole decimal number within [lo, hi]; integers only when integer is set.
bool parse_number(const char* s, bool integer, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = integer ? static_cast<double>(strtoll(s, &end, 10)) : strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Returns 0 when the options are good, otherwise the exit code (2, or -1 after --help).
int parse_options(int argc, char** argv, Options* opt) {
    constexpr double MAX_COUNT = 1e12, MAX_INTERVAL_MS = 86400000, MAX_SECS = 86400;
    struct Spec {
        const char* name;
        std::variant<std::string*, bool*, long long*, double*> target;
        double lo = 0, hi = 0;
    };
    const Spec specs[] = {
        {"link", &opt->link},
        {"device", &opt->device},
        {"interval", &opt->interval_ms, 0, MAX_INTERVAL_MS},
        {"count", &opt->count, 0, MAX_COUNT},
        {"temperature", &opt->temperature, -100, 100},
        {"humidity", &opt->humidity, 0.1, 100},
        {"seed", &opt->seed, 0, UINT32_MAX},
        {"line", &opt->line},
        {"garbage-every", &opt->garbage_every, 0, MAX_COUNT},
        {"split", &opt->split},
        {"long-line-every", &opt->long_line_every, 0, MAX_COUNT},
        {"random-keys-every", &opt->random_keys_every, 0, MAX_COUNT},
        {"silence-after", &opt->silence_after, 0, MAX_COUNT},
        {"silence-secs", &opt->silence_secs, 0, MAX_SECS},
        {"hangup-after", &opt->hangup_after, 0, MAX_COUNT},
        {"hangup-secs", &opt->hangup_secs, 0, MAX_SECS},
        {"quiet", &opt->quiet},
    };
    std::vector<option> longs;
    for (const Spec& s : specs) {
        bool flag = std::holds_alternative<bool*>(s.target);
        longs.push_back({s.name, flag ? no_argument : required_argument, nullptr, 0});
    }
    longs.push_back({"help", no_argument, nullptr, 'h'});
    longs.push_back({nullptr, 0, nullptr, 0});

    int c, index = 0;
    while ((c = getopt_long(argc, argv, "h", longs.data(), &index)) != -1) {
        if (c != 0) {  // --help, or getopt has already reported a bad option
            usage(c == 'h' ? stdout : stderr);
            return c == 'h' ? -1 : 2;
        }
        const Spec& s = specs[index];
        double v = 0;
        bool ok = true;
        if (auto str = std::get_if<std::string*>(&s.target)) {
            **str = optarg;
        } else if (auto flag = std::get_if<bool*>(&s.target)) {
            **flag = true;
        } else if (auto i = std::get_if<long long*>(&s.target)) {
            ok = parse_number(optarg, true, s.lo, s.hi, &v);
            **i = static_cast<long long>(v);
        } else {
            ok = parse_number(optarg, false, s.lo, s.hi, &v);
            *std::get<double*>(s.target) = v;
        }
        if (!ok) {
            fprintf(stderr, "sensomark-sim: bad value for --%s: %s\n", s.name, optarg);
            return 2;
        }
    }
    const char* problem = nullptr;
    struct stat st;
    if (optind < argc) {
        problem = "unexpected argument";
    } else if (!opt->device.empty() && (!opt->link.empty() || opt->hangup_after > 0)) {
        problem = "--device cannot be combined with --link or --hangup-after";
    } else if (!opt->link.empty() && lstat(opt->link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        problem = "--link path exists and is not a symlink";
    }
    if (problem) fprintf(stderr, "sensomark-sim: %s\n", problem);
    return problem ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (int rc = parse_options(argc, argv, &opt)) return rc < 0 ? 0 : rc;

    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: poll and write return EINTR at once
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);             // a --device FIFO without reader: EPIPE, not death
    setvbuf(stdout, nullptr, _IOLBF, 0);  // tests read stdout through a pipe, line by line

    Output o;
    if (!opt.device.empty()) {
        if (!open_device(o, opt.device)) return 2;
    } else if (!open_pty(o)) {
        return 1;
    }
    int rc = announce(o, opt) ? 0 : 1;
    Rng rng(static_cast<uint32_t>(opt.seed));
    Climate climate(opt.temperature, opt.humidity);
    auto every = [](long long n, long long k) { return k > 0 && n % k == 0; };

    for (long long n = 1; rc == 0 && !g_stop; ++n) {
        std::string line = opt.line.empty() ? climate.next(rng) : opt.line;
        bool ok = send(o, opt, rng, line, line);
        if (ok && every(n, opt.garbage_every)) {
            std::string g = garbage(rng);
            ok = send(o, opt, rng, g, "garbage (" + std::to_string(g.size()) + " bytes)");
        }
        if (ok && every(n, opt.long_line_every)) {
            std::string shown = "long line (" + std::to_string(LONG_LINE_BYTES) + " bytes)";
            ok = send(o, opt, rng, std::string(LONG_LINE_BYTES, 'x'), shown);
        }
        if (ok && every(n, opt.random_keys_every)) {
            std::string k = random_keys(rng);
            ok = send(o, opt, rng, k, k);
        }
        if (!ok) rc = 1;
        if (rc != 0 || g_stop || (opt.count > 0 && n >= opt.count)) break;
        if (every(n, opt.hangup_after)) {
            // Like an unplugged adapter: the path disappears and the daemon's read fails.
            printf("hangup for %lld s\n", opt.hangup_secs);
            if (!opt.link.empty()) remove_link(opt.link, o.name);
            o.out.reset();
            o.slave.reset();
            o.is_pty = false;
            pause_ms(o, opt.hangup_secs * 1000);
            if (g_stop) break;
            if (!open_pty(o) || !announce(o, opt)) rc = 1;
        }
        if (n == opt.silence_after) {
            printf("silent for %lld s\n", opt.silence_secs);
            pause_ms(o, opt.silence_secs * 1000);
            if (g_stop) break;
            printf("resumed\n");
        }
        pause_ms(o, opt.interval_ms);
    }
    if (!opt.link.empty()) remove_link(opt.link, o.name);
    return rc;
}
