// webload: the web port under load, for bench/web.sh. Starts the daemon on
// pseudo-terminals that it feeds itself, a line per device each second, then
// measures one of:
//   scrape: the latency of /metrics while clients loop on the status page,
//           then SIGTERM to exit under that load;
//   stall:  resident memory while clients that never read hold /metrics.
// Prints one line of key=value figures.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto START_TIMEOUT = 60s;
const auto REQUEST_TIMEOUT = 30s;
const auto EXIT_TIMEOUT = 30s;
const int FEED_INTERVAL_MS = 1000;

struct Options {
    std::string daemon;
    std::string mode = "scrape";
    int devices = 100;
    int names = 1;  // per device
    bool fullDay = false;
    int pageClients = 4;
    double seconds = 15;
    int intervalMs = 50;
    int stalled = 64;
    int spreadMs = 0;  // stall: the clients arrive over this time
    double holdS = 3;
};

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long rssKiB(pid_t pid) {
    return atol(procStatus(pid, "VmRSS").c_str());
}

struct Reply {
    bool ok = false;
    size_t bytes = 0;  // head and body
    double ms = 0;     // from connect to the end of the response
};

// One request for target; Accept-Encoding gzip when gzip.
Reply get(int port, const std::string& target, bool gzip) {
    WebResponse r = httpExchange(port,
                                 "GET " + target + " HTTP/1.1\r\nHost: bench\r\n" +
                                     (gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n",
                                 REQUEST_TIMEOUT);
    return {r.status == 200, r.head.size() + 2 + r.body.size(), r.ms};
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()));
    return values[rank];
}

// Pseudo-terminals standing in for the devices, fed on a thread of their own.
class Devices {
  public:
    explicit Devices(int count) {
        for (int i = 0; i < count; ++i) {
            ptys.push_back(std::make_unique<Pty>());
            int master = ptys.back()->master;
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        }
        feeder = std::thread([this] { feed(); });
    }
    ~Devices() {
        stop = true;
        feeder.join();
    }
    std::vector<std::unique_ptr<Pty>> ptys;

  private:
    void feed() {
        for (unsigned tick = 0; !stop; ++tick) {
            for (size_t i = 0; i < ptys.size(); ++i) {
                double t = 20 + (tick + i) % 10 * 0.1;
                char line[96];
                int n =
                    snprintf(line, sizeof(line), "temperature=%.1f humidity=%.1f dewpoint=%.1f\r\n",
                             t, t * 2, t / 2);
                if (write(ptys[i]->master, line, static_cast<size_t>(n)) < 0) {
                    // A full buffer: the daemon has not opened the device yet.
                }
            }
            for (int slept = 0; slept < FEED_INTERVAL_MS && !stop; slept += 50)
                std::this_thread::sleep_for(50ms);
        }
    }
    std::atomic<bool> stop{false};
    std::thread feeder;
};

// The daemon of --daemon in a folder of its own, on the devices.
struct Daemon {
    Daemon(const Options& o, const Devices& devices) : port(freePort()), webPort(freePort()) {
        std::string config = configText(port, "metricsport = " + std::to_string(webPort) +
                                                  "\nbacklog = 1024\nloglevel = critical\n"
                                                  "[sensors]\n");
        for (size_t d = 0; d < devices.ptys.size(); ++d) {
            config += devices.ptys[d]->slavePath + " =";
            for (int n = 0; n < o.names; ++n)
                config += " sensor-" + std::to_string(d) + '-' + std::to_string(n);
            config += '\n';
        }
        dir.write("sensomarkUSB.conf", config);
        char* program = realpath(o.daemon.c_str(), nullptr);  // run from dir
        if (program == nullptr) {
            perror(o.daemon.c_str());
            exit(1);
        }
        if (o.fullDay) setenv("SENSOMARK_BENCH_FULL_DAY", "1", 1);
        process = std::make_unique<Process>(std::vector<std::string>{program, "sensomarkUSB.conf"},
                                            dir.path);
        free(program);
    }
    // Waits until the query service serves a valid value for the last name:
    // every device is read. Asks the query port, so the web port has served
    // nothing yet. False when the daemon ended or the time ran out.
    bool ready(const std::string& lastName) {
        return eventually(
                   [&] {
                       return process->wait(0ms) != -1 ||
                              Client(port).query(lastName + ".1").rfind("valid=1;", 0) == 0;
                   },
                   START_TIMEOUT, 200ms) &&
               process->wait(0ms) == -1;
    }
    // SIGTERM; the milliseconds to the exit and the exit code (-1: killed after the time-out).
    std::pair<double, int> terminate() {
        auto start = Clock::now();
        process->signal(SIGTERM);
        int code = process->wait(EXIT_TIMEOUT);
        return {msSince(start), code};
    }

    TempDir dir;
    int port, webPort;
    std::unique_ptr<Process> process;
};

// Scrapes of /metrics every intervalMs for seconds; the latencies in ms and the failures.
std::vector<double> scrapes(const Options& o, int webPort, double seconds, int* failed) {
    std::vector<double> ms;
    auto start = Clock::now();
    while (msSince(start) < seconds * 1000) {
        auto next = Clock::now() + std::chrono::milliseconds(o.intervalMs);
        Reply r = get(webPort, "/metrics", true);
        if (r.ok) {
            ms.push_back(r.ms);
        } else {
            ++*failed;
        }
        std::this_thread::sleep_until(next);
    }
    return ms;
}

int scrapeMode(const Options& o, Devices& devices, Daemon& daemon) {
    Reply cold = get(daemon.webPort, "/", true);
    Reply plain = get(daemon.webPort, "/", false);
    int failed = 0;
    std::vector<double> idle = scrapes(o, daemon.webPort, 3, &failed);

    std::atomic<bool> stop{false};
    std::atomic<long> pages{0}, pageErrors{0};
    std::vector<std::thread> browsers;
    for (int i = 0; i < o.pageClients; ++i)
        browsers.emplace_back([&] {
            while (!stop) (get(daemon.webPort, "/", true).ok ? pages : pageErrors)++;
        });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long pagesBefore = pages;
    auto loaded = Clock::now();
    std::vector<double> busy = scrapes(o, daemon.webPort, o.seconds, &failed);
    double pagesPerS = (pages - pagesBefore) / (msSince(loaded) / 1000);
    long errors = pageErrors;  // before the stop, after which every request fails
    auto [stopMs, code] = daemon.terminate();
    stop = true;
    for (auto& b : browsers) b.join();
    printf(
        "mode=scrape devices=%zu page_bytes=%zu page_gzip_bytes=%zu page_cold_ms=%.1f "
        "idle_p50_ms=%.1f idle_p99_ms=%.1f page_clients=%d pages_per_s=%.1f page_errors=%ld "
        "scrapes=%zu failed=%d p50_ms=%.1f p99_ms=%.1f max_ms=%.1f stop_ms=%.1f exit=%d\n",
        devices.ptys.size(), plain.bytes, cold.bytes, cold.ms, percentile(idle, 0.5),
        percentile(idle, 0.99), o.pageClients, pagesPerS, errors, busy.size(), failed,
        percentile(busy, 0.5), percentile(busy, 0.99), percentile(busy, 1), stopMs, code);
    return 0;
}

int stallMode(const Options& o, Devices& devices, Daemon& daemon) {
    long idle = rssKiB(daemon.process->pid());
    Reply scrape = get(daemon.webPort, "/metrics", false);
    long scraped = rssKiB(daemon.process->pid());
    std::vector<std::unique_ptr<Client>> stalled;
    long most = scraped;
    auto start = Clock::now();
    for (int i = 0; i < o.stalled; ++i) {
        if (o.spreadMs > 0)
            std::this_thread::sleep_until(start +
                                          std::chrono::milliseconds(o.spreadMs * i / o.stalled));
        stalled.push_back(stalledReader(daemon.webPort));
        most = std::max(most, rssKiB(daemon.process->pid()));
    }
    auto hold = Clock::now();
    while (msSince(hold) < o.holdS * 1000) {
        most = std::max(most, rssKiB(daemon.process->pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Reply during = get(daemon.webPort, "/metrics", true);
    size_t held =
        std::count_if(stalled.begin(), stalled.end(), [](const auto& c) { return c->connected(); });
    stalled.clear();
    auto [stopMs, code] = daemon.terminate();
    printf(
        "mode=stall names=%zu metrics_bytes=%zu stalled=%zu spread_ms=%d rss_idle_kib=%ld "
        "rss_scraped_kib=%ld rss_held_max_kib=%ld grown_kib=%ld scrape_while_held_ms=%.1f "
        "stop_ms=%.1f exit=%d\n",
        devices.ptys.size() * static_cast<size_t>(o.names), scrape.bytes, held, o.spreadMs, idle,
        scraped, most, most - idle, during.ms, stopMs, code);
    return 0;
}

void usage() {
    fputs(
        "usage: webload --daemon PATH [--mode scrape|stall] [options]\n"
        "  --devices N        pseudo-terminal devices, each fed a line a second (100)\n"
        "  --names N          names per device (1)\n"
        "  --full-day         the daemon starts with a day of history (a benchmark build)\n"
        "  scrape: --page-clients N (4) loop on GET /; --seconds S (15) of scrapes every\n"
        "          --interval-ms M (50), then SIGTERM\n"
        "  stall:  --stalled N (64) clients that never read /metrics, arriving over\n"
        "          --spread-ms M (0), held --hold S (3)\n",
        stderr);
}

}  // namespace

int main(int argc, char* argv[]) {
    Options o;
    const option longOptions[] = {
        {"daemon", required_argument, nullptr, 'd'},
        {"mode", required_argument, nullptr, 'm'},
        {"devices", required_argument, nullptr, 'n'},
        {"names", required_argument, nullptr, 'k'},
        {"full-day", no_argument, nullptr, 'f'},
        {"page-clients", required_argument, nullptr, 'c'},
        {"seconds", required_argument, nullptr, 's'},
        {"interval-ms", required_argument, nullptr, 'i'},
        {"stalled", required_argument, nullptr, 'S'},
        {"spread-ms", required_argument, nullptr, 'p'},
        {"hold", required_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        switch (c) {
            case 'd':
                o.daemon = optarg;
                break;
            case 'm':
                o.mode = optarg;
                break;
            case 'n':
                o.devices = atoi(optarg);
                break;
            case 'k':
                o.names = atoi(optarg);
                break;
            case 'f':
                o.fullDay = true;
                break;
            case 'c':
                o.pageClients = atoi(optarg);
                break;
            case 's':
                o.seconds = atof(optarg);
                break;
            case 'i':
                o.intervalMs = atoi(optarg);
                break;
            case 'S':
                o.stalled = atoi(optarg);
                break;
            case 'p':
                o.spreadMs = atoi(optarg);
                break;
            case 'h':
                o.holdS = atof(optarg);
                break;
            default:
                usage();
                return 2;
        }
    }
    if (o.daemon.empty() || (o.mode != "scrape" && o.mode != "stall") || o.devices < 1 ||
        o.names < 1) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit(4096);
    Devices devices(o.devices);
    Daemon daemon(o, devices);
    std::string last =
        "sensor-" + std::to_string(o.devices - 1) + "-" + std::to_string(o.names - 1);
    if (!daemon.ready(last)) {
        fprintf(stderr, "webload: the daemon ended or did not serve every device in time\n");
        fputs(daemon.process->output().c_str(), stderr);
        return 1;
    }
    return o.mode == "scrape" ? scrapeMode(o, devices, daemon) : stallMode(o, devices, daemon);
}
