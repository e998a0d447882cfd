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

#include "net.h"
#include "protocol.h"

namespace {

constexpr int WRITE_STALL_TIMEOUT_MS = 1000;  // nobody read for this long: drop the line
constexpr int POLL_SLICE_MS = 100;            // a signal is noticed within this time
constexpr int SPLIT_PAUSE_MS = 20;
constexpr size_t LONG_LINE_BYTES = 100 * 1024;
constexpr int RANDOM_KEY_FIELDS = 20;
constexpr uint32_t GARBAGE_MAX_BYTES = 200;
constexpr double MAGNUS_A = 17.62;
constexpr double MAGNUS_B_CELSIUS = 243.12;

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

struct Options {
    std::string link, device, line;
    long long intervalMs = 1000, count = 0, seed = 1;
    double temperature = 21.5, humidity = 48.0;
    long long garbageEvery = 0, longLineEvery = 0, randomKeysEvery = 0;
    long long silenceAfter = 0, silenceSecs = 40, hangupAfter = 0, hangupSecs = 1;
    bool split = false, quiet = false;
};

// Repeatable across standard libraries: uses only the raw mt19937 output, which is fixed.
class Rng {
  public:
    explicit Rng(uint32_t seed) : generator(seed) {}
    double uniform(double lo, double hi) { return lo + (hi - lo) * (generator() / 4294967296.0); }
    uint32_t below(uint32_t n) { return generator() % n; }

  private:
    std::mt19937 generator;
};

// Slowly drifting climate; each value stays within its bounds, widened to hold the start.
class Climate {
  public:
    Climate(double t, double h)
        : temperature(t),
          humidity(h),
          temperatureLow(std::min(5.0, t)),
          temperatureHigh(std::max(35.0, t)),
          humidityLow(std::min(20.0, h)),
          humidityHigh(std::max(90.0, h)) {}
    // The next device line: "temperature=21.5 humidity=48.0 dewpoint=10.1", with the keys of
    // the quantity table.
    std::string next(Rng& rng) {
        temperature =
            std::clamp(temperature + rng.uniform(-0.1, 0.1), temperatureLow, temperatureHigh);
        humidity = std::clamp(humidity + rng.uniform(-0.3, 0.3), humidityLow, humidityHigh);
        // Dew point from the printed values, so a reader can recompute it from the line.
        double t = std::round(temperature * 10) / 10, h = std::round(humidity * 10) / 10;
        double g = std::log(h / 100) + MAGNUS_A * t / (MAGNUS_B_CELSIUS + t);
        double values[QUANTITY_COUNT] = {};
        values[TEMPERATURE - 1] = t;
        values[HUMIDITY - 1] = h;
        values[DEWPOINT - 1] = MAGNUS_B_CELSIUS * g / (MAGNUS_A - g);
        std::string line;
        for (const Quantity& q : QUANTITIES) {
            char field[64];
            snprintf(field, sizeof field, "%s%s=%.1f", line.empty() ? "" : " ", q.key,
                     values[q.type - 1]);
            line += field;
        }
        return line;
    }

  private:
    double temperature, humidity, temperatureLow, temperatureHigh, humidityLow, humidityHigh;
};

// Where lines go: a pty master (with our own slave kept open) or a --device path.
struct Output {
    UniqueFd out, slave;
    std::string name;
    bool isPty = false;
};

void drain(const Output& o) {
    char buf[512];
    while (o.isPty && read(o.out.get(), buf, sizeof buf) > 0) {
    }
}

// Waits ms milliseconds while discarding anything the master has to read; returns early on a
// stop signal.
void pauseMs(const Output& o, long long ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        drain(o);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {o.isPty ? o.out.get() : -1, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, POLL_SLICE_MS)));
    } while (!stopRequested && std::chrono::steady_clock::now() < deadline);
}

enum class WriteResult { OK, STALLED, FAILED };

// Like write(2), but retries short writes and EINTR; STALLED when no byte could be written
// for WRITE_STALL_TIMEOUT_MS (the rest is dropped), FAILED with errno on other errors.
WriteResult writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return WriteResult::FAILED;
        pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, WRITE_STALL_TIMEOUT_MS);
        if (r == 0 || stopRequested) return WriteResult::STALLED;
        if (r < 0 && errno != EINTR) return WriteResult::FAILED;
    }
    return WriteResult::OK;
}

// Sends text plus CR LF and logs "sent <shown>"; false on a write error, already reported.
bool sendLine(const Output& o, const Options& opt, Rng& rng, const std::string& text,
              const std::string& shown) {
    std::string line = text + "\r\n";
    size_t first = opt.split ? 1 + rng.below(static_cast<uint32_t>(line.size() - 1)) : line.size();
    WriteResult r = writeAll(o.out.get(), line.data(), first);
    if (r == WriteResult::OK && first < line.size()) {
        pauseMs(o, SPLIT_PAUSE_MS);
        r = writeAll(o.out.get(), line.data() + first, line.size() - first);
    }
    if (r == WriteResult::FAILED) {
        fprintf(stderr, "sensomark-sim: write %s: %s\n", o.name.c_str(), strerror(errno));
        return false;
    }
    if (r == WriteResult::STALLED) {
        if (!stopRequested) printf("dropped line: nobody read for %d ms\n", WRITE_STALL_TIMEOUT_MS);
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

std::string randomKeys(Rng& rng) {
    std::string s;
    for (int i = 0; i < RANDOM_KEY_FIELDS; ++i) {
        if (i > 0) s += ' ';
        s += "k" + std::to_string(rng.below(10000)) + "=" + std::to_string(rng.below(10));
    }
    return s;
}

// Points link at target via a temporary name, so readers never see a missing or half-made link.
bool pointLink(const std::string& link, const std::string& target) {
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
void removeLink(const std::string& link, const std::string& target) {
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

// Opens a new pty whose slave is raw, so nothing echoes back before the daemon sets its modes.
bool openPty(Output& o) {
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
    o.isPty = true;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
}

bool openDevice(Output& o, const std::string& path) {
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
    return opt.link.empty() || pointLink(opt.link, o.name);
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
bool parseNumber(const char* s, bool integer, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = integer ? static_cast<double>(strtoll(s, &end, 10)) : strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Returns 0 when the options are good, otherwise the exit code (2, or -1 after --help).
int parseOptions(int argc, char** argv, Options* opt) {
    constexpr double MAX_COUNT = 1e12, MAX_INTERVAL_MS = 86400000, MAX_SECS = 86400;
    // An option, the field of Options it sets, and the bounds of a number.
    struct OptionField {
        const char* name;
        std::variant<std::string*, bool*, long long*, double*> target;
        double lo = 0, hi = 0;
    };
    const OptionField fields[] = {
        {"link", &opt->link},
        {"device", &opt->device},
        {"interval", &opt->intervalMs, 0, MAX_INTERVAL_MS},
        {"count", &opt->count, 0, MAX_COUNT},
        {"temperature", &opt->temperature, -100, 100},
        {"humidity", &opt->humidity, 0.1, 100},
        {"seed", &opt->seed, 0, UINT32_MAX},
        {"line", &opt->line},
        {"garbage-every", &opt->garbageEvery, 0, MAX_COUNT},
        {"split", &opt->split},
        {"long-line-every", &opt->longLineEvery, 0, MAX_COUNT},
        {"random-keys-every", &opt->randomKeysEvery, 0, MAX_COUNT},
        {"silence-after", &opt->silenceAfter, 0, MAX_COUNT},
        {"silence-secs", &opt->silenceSecs, 0, MAX_SECS},
        {"hangup-after", &opt->hangupAfter, 0, MAX_COUNT},
        {"hangup-secs", &opt->hangupSecs, 0, MAX_SECS},
        {"quiet", &opt->quiet},
    };
    std::vector<option> longs;
    for (const OptionField& s : fields) {
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
        const OptionField& s = fields[index];
        double v = 0;
        bool ok = true;
        if (auto str = std::get_if<std::string*>(&s.target)) {
            **str = optarg;
        } else if (auto flag = std::get_if<bool*>(&s.target)) {
            **flag = true;
        } else if (auto i = std::get_if<long long*>(&s.target)) {
            ok = parseNumber(optarg, true, s.lo, s.hi, &v);
            **i = static_cast<long long>(v);
        } else {
            ok = parseNumber(optarg, false, s.lo, s.hi, &v);
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
    } else if (!opt->device.empty() && (!opt->link.empty() || opt->hangupAfter > 0)) {
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
    if (int rc = parseOptions(argc, argv, &opt)) return rc < 0 ? 0 : rc;

    struct sigaction sa {};
    sa.sa_handler = onSignal;  // no SA_RESTART: poll and write return EINTR at once
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);             // a --device FIFO without reader: EPIPE, not death
    setvbuf(stdout, nullptr, _IOLBF, 0);  // tests read stdout through a pipe, line by line

    Output o;
    if (!opt.device.empty()) {
        if (!openDevice(o, opt.device)) return 2;
    } else if (!openPty(o)) {
        return 1;
    }
    int rc = announce(o, opt) ? 0 : 1;
    Rng rng(static_cast<uint32_t>(opt.seed));
    Climate climate(opt.temperature, opt.humidity);
    auto every = [](long long n, long long k) { return k > 0 && n % k == 0; };

    for (long long n = 1; rc == 0 && !stopRequested; ++n) {
        std::string line = opt.line.empty() ? climate.next(rng) : opt.line;
        bool ok = sendLine(o, opt, rng, line, line);
        if (ok && every(n, opt.garbageEvery)) {
            std::string g = garbage(rng);
            ok = sendLine(o, opt, rng, g, "garbage (" + std::to_string(g.size()) + " bytes)");
        }
        if (ok && every(n, opt.longLineEvery)) {
            std::string shown = "long line (" + std::to_string(LONG_LINE_BYTES) + " bytes)";
            ok = sendLine(o, opt, rng, std::string(LONG_LINE_BYTES, 'x'), shown);
        }
        if (ok && every(n, opt.randomKeysEvery)) {
            std::string k = randomKeys(rng);
            ok = sendLine(o, opt, rng, k, k);
        }
        if (!ok) rc = 1;
        if (rc != 0 || stopRequested || (opt.count > 0 && n >= opt.count)) break;
        if (every(n, opt.hangupAfter)) {
            // Like an unplugged adapter: the path disappears and the daemon's read fails.
            printf("hangup for %lld s\n", opt.hangupSecs);
            if (!opt.link.empty()) removeLink(opt.link, o.name);
            o.out.reset();
            o.slave.reset();
            o.isPty = false;
            pauseMs(o, opt.hangupSecs * 1000);
            if (stopRequested) break;
            if (!openPty(o) || !announce(o, opt)) rc = 1;
        }
        if (n == opt.silenceAfter) {
            printf("silent for %lld s\n", opt.silenceSecs);
            pauseMs(o, opt.silenceSecs * 1000);
            if (stopRequested) break;
            printf("resumed\n");
        }
        pauseMs(o, opt.intervalMs);
    }
    if (!opt.link.empty()) removeLink(opt.link, o.name);
    return rc;
}
