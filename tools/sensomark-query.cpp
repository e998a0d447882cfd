// sensomark-query: asks a running sensomarkUSB for readings and prints them as
// plain lines, JSON, Prometheus metrics, or as a monitoring-plugin check.
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "net.h"
#include "querylib.h"
#include "syserror.h"
#include "tool.h"

namespace {
const char PROGRAM[] = "sensomark-query";
const char DEFAULT_HOST[] = "127.0.0.1";
const char ANY_ADDRESS[] = "0.0.0.0";
const double DEFAULT_TIMEOUT_SECONDS = 10;
const double MAX_TIMEOUT_SECONDS = 86400;
const size_t MAX_REPLY_BYTES = 64 * 1024;
const size_t RECV_CHUNK_BYTES = 4096;
const size_t MAX_QUOTED_REPLY_BYTES = 80;
const int EXIT_TROUBLE = 3;

using Clock = std::chrono::steady_clock;

void usage() {
    printf(
        "Usage: sensomark-query [options] NAME.N ...\n"
        "       sensomark-query [options] --all [--config FILE]\n"
        "Asks a running sensomarkUSB for readings; N is 1 (temperature), 2 (humidity)\n"
        "or 3 (dew point).\n"
        "\n"
        "Options:\n"
        "  -H, --host HOST       daemon host (default 127.0.0.1)\n"
        "  -p, --port PORT       daemon port (default 4000, or main:port of the configuration)\n"
        "  -t, --timeout SECS    time-out for connecting and for each reply (default 10)\n"
        "      --all             ask for the three quantities of every configured sensor name\n"
        "      --config FILE     configuration file to read names, port and listen address\n"
        "                        from (default sensomarkUSB.conf, then /etc/sensomarkUSB.conf)\n"
        "      --json            one JSON object per query\n"
        "      --prometheus      metrics for node_exporter's textfile collector\n"
        "      --check           monitoring plugin: one status line with performance data\n"
        "  -w, --warning RANGE   with --check: warning range, e.g. 30, 10:, ~:35, 10:30, @20:25\n"
        "  -c, --critical RANGE  with --check: critical range\n"
        "      --stale STATE     with --check: state for data without a fresh value:\n"
        "                        ok, warning, critical or unknown (default)\n"
        "  -h, --help            show this help\n"
        "\n"
        "Exit codes: 0 every reply has a value, 1 stale data, 2 unknown sensor name,\n"
        "3 error. With --check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n");
}

enum class Format { PLAIN, JSON, PROMETHEUS, CHECK };

struct Options {
    std::string host = DEFAULT_HOST;
    bool hostGiven = false;
    int port = DEFAULT_PORT;
    bool portGiven = false;
    double timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    bool all = false;
    std::string configFile = CONFIG_FILE_NAME;
    bool configGiven = false;
    Format format = Format::PLAIN;
    CheckOptions check;
    std::vector<std::string> queries;
};

// Reports a failure the way the output format expects and gives exit code 3:
// a plugin prints an UNKNOWN status line, everything else complains on stderr.
int fail(Format format, const std::string& message) {
    if (format == Format::CHECK) {
        printf("SENSOMARK UNKNOWN - %s\n", message.c_str());
    } else {
        fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    }
    return EXIT_TROUBLE;
}

bool parseInt(const char* text, int min, int max, int* value) {
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < min || n > max) return false;
    *value = static_cast<int>(n);
    return true;
}

bool parseSeconds(const char* text, double* seconds) {
    char* end = nullptr;
    double s = strtod(text, &end);
    if (end == text || *end != '\0' || !(s > 0) || s > MAX_TIMEOUT_SECONDS) return false;
    *seconds = s;
    return true;
}

// Reads the command line into *options. False with *error for a bad one;
// *help is set for -h.
bool parseCommandLine(int argc, char* argv[], Options* options, bool* help, std::string* error) {
    enum { OPT_ALL = 256, OPT_CONFIG, OPT_JSON, OPT_PROMETHEUS, OPT_CHECK, OPT_STALE };
    static const option LONG_OPTIONS[] = {
        {"host", required_argument, nullptr, 'H'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"warning", required_argument, nullptr, 'w'},
        {"critical", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},
        {"all", no_argument, nullptr, OPT_ALL},
        {"config", required_argument, nullptr, OPT_CONFIG},
        {"json", no_argument, nullptr, OPT_JSON},
        {"prometheus", no_argument, nullptr, OPT_PROMETHEUS},
        {"check", no_argument, nullptr, OPT_CHECK},
        {"stale", required_argument, nullptr, OPT_STALE},
        {nullptr, 0, nullptr, 0},
    };
    int formats = 0;
    bool staleGiven = false;
    std::string firstError;
    auto complain = [&firstError](const std::string& message) {
        if (firstError.empty()) firstError = message;
    };
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":H:p:t:w:c:h", LONG_OPTIONS, nullptr)) != -1) {
        switch (opt) {
            case 'H':
                options->host = optarg;
                options->hostGiven = true;
                break;
            case 'p':
                if (!parseInt(optarg, 1, MAX_PORT, &options->port)) {
                    complain(std::string("bad port '") + optarg + "'");
                }
                options->portGiven = true;
                break;
            case 't':
                if (!parseSeconds(optarg, &options->timeoutSeconds)) {
                    complain(std::string("bad time-out '") + optarg + "': give seconds above 0");
                }
                break;
            case 'w':
                options->check.warningText = optarg;
                options->check.warning.emplace();
                break;
            case 'c':
                options->check.criticalText = optarg;
                options->check.critical.emplace();
                break;
            case 'h':
                *help = true;
                return true;
            case OPT_ALL:
                options->all = true;
                break;
            case OPT_CONFIG:
                options->configFile = optarg;
                options->configGiven = true;
                break;
            case OPT_JSON:
                options->format = Format::JSON;
                ++formats;
                break;
            case OPT_PROMETHEUS:
                options->format = Format::PROMETHEUS;
                ++formats;
                break;
            case OPT_CHECK:
                options->format = Format::CHECK;
                ++formats;
                break;
            case OPT_STALE:
                if (!parseState(optarg, &options->check.staleState)) {
                    complain(std::string("bad state '") + optarg +
                             "' for --stale: give ok, warning, critical or unknown");
                }
                staleGiven = true;
                break;
            case ':':
                complain(std::string("option '") + argv[optind - 1] + "' needs a value");
                break;
            default:
                complain(optopt ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                                : std::string("unknown option '") + argv[optind - 1] + "'");
                break;
        }
    }
    for (int i = optind; i < argc; ++i) options->queries.push_back(argv[i]);

    // The ranges are read once the format is known, so that their complaint has the right form.
    CheckOptions& check = options->check;
    if (check.warning && !parseRange(check.warningText, &*check.warning)) {
        complain("bad warning range '" + check.warningText + "'");
    }
    if (check.critical && !parseRange(check.criticalText, &*check.critical)) {
        complain("bad critical range '" + check.criticalText + "'");
    }
    if (formats > 1) complain("give only one of --json, --prometheus and --check");
    if (options->format != Format::CHECK && (check.warning || check.critical || staleGiven)) {
        complain("-w, -c and --stale belong to --check");
    }
    if (options->all && !options->queries.empty()) complain("give either --all or query names");
    if (!options->all && options->queries.empty()) complain("no query given (see --help)");
    *error = firstError;
    return firstError.empty();
}

// Takes the port, the listen address and (for --all) the sensor names from
// the configuration, searched like the daemon does: the given file, else the
// system file. Without a file the daemon's defaults stand.
void applyConfig(Options* options) {
    ConfigFound found;
    Config config = loadConfig(options->configFile, ConfigUse::CLIENT, &found);
    if (options->configGiven && found != ConfigFound::GIVEN) {
        fprintf(stderr, "%s: cannot read '%s', %s\n", PROGRAM, options->configFile.c_str(),
                found == ConfigFound::SYSTEM ? (std::string("using ") + SYSTEM_CONFIG_FILE).c_str()
                                             : "using the defaults");
    }
    if (!options->portGiven) options->port = config.port;
    if (!options->hostGiven && !config.listen.empty() && config.listen[0] != ANY_ADDRESS)
        options->host = config.listen[0];
    if (!options->all) return;

    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const SensorEntry& sensor : config.sensors) {
        for (const std::string& name : sensor.names) {
            if (seen.insert(name).second) names.push_back(name);
        }
    }
    // The daemon names its default sensor when the file configures none.
    if (config.sensors.empty()) names.push_back(DEFAULT_SENSOR_NAME);
    for (const std::string& name : names) {
        for (const Quantity& q : QUANTITIES) {
            options->queries.push_back(name + "." + std::to_string(q.type));
        }
    }
}

Clock::duration timeoutOf(const Options& options) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
}

std::string endpoint(const Options& options) {
    bool ipv6 = options.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(options.port);
}

// Like poll(2) on one descriptor, but waits until deadline at the latest and
// waits again after EINTR. Returns >0 when ready, 0 at the deadline, -1 on failure.
int pollUntil(pollfd* p, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return 0;
        int ready = poll(p, 1, static_cast<int>(left.count()) + 1);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

// Connects to the daemon within the time-out.
bool connectDaemon(const Options& options, UniqueFd* socketFd, std::string* error) {
    int timeoutMs = static_cast<int>(std::ceil(options.timeoutSeconds * 1000));
    std::string reason;
    *socketFd = connectTo(options.host, options.port, timeoutMs, &reason);
    if (socketFd->valid()) return true;
    *error = "cannot connect to " + endpoint(options) + ": " + reason;
    return false;
}

// Sends every query (pipelined; LF alone ends each, so that no split CR LF can
// look like an extra empty request) and collects one reply line per query.
// Sends and reads never block (MSG_DONTWAIT): writing while the daemon's
// replies fill the other direction must not stall either side.
bool exchange(const Options& options, int fd, const std::vector<Query>& queries,
              std::vector<std::string>* lines, std::string* error) {
    std::string out;
    for (const Query& q : queries) out += q.text + "\n";
    size_t sent = 0;
    std::string pending;
    Clock::duration timeout = timeoutOf(options);
    Clock::time_point deadline = Clock::now() + timeout;
    const std::string peer = endpoint(options);
    while (lines->size() < queries.size()) {
        pollfd p = {fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        int ready = pollUntil(&p, deadline);
        if (ready == 0) {
            *error =
                "no reply from " + peer + " within " + formatNumber(options.timeoutSeconds) + " s";
            return false;
        }
        if (ready < 0) {
            *error = systemError("wait for the daemon");
            return false;
        }
        if (p.revents & POLLOUT) {
            ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                *error = "lost connection to " + peer + ": " + errorText(errno);
                return false;
            }
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[RECV_CHUNK_BYTES];
        ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n == 0) {
            *error = peer + " closed the connection after " + std::to_string(lines->size()) +
                     " of " + std::to_string(queries.size()) + " replies";
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            *error = "lost connection to " + peer + ": " + errorText(errno);
            return false;
        }
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while (lines->size() < queries.size() && (end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines->push_back(line);
            pending.erase(0, end + 1);
            deadline = Clock::now() + timeout;
        }
        if (pending.size() > MAX_REPLY_BYTES) {
            *error = "reply from " + peer + " is too long";
            return false;
        }
    }
    return true;
}

std::string quoted(const std::string& text) {
    std::string shown = text.substr(0, MAX_QUOTED_REPLY_BYTES);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    return "'" + shown + (text.size() > MAX_QUOTED_REPLY_BYTES ? "...'" : "'");
}
}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    bool help = false;
    std::string error;
    if (!parseCommandLine(argc, argv, &options, &help, &error)) {
        return fail(options.format, error);
    }
    if (help) {
        usage();
        return 0;
    }
    if (options.all || options.configGiven) applyConfig(&options);

    std::vector<Query> queries;
    for (const std::string& text : options.queries) {
        Query query;
        if (!parseQuery(text, &query, &error)) return fail(options.format, error);
        queries.push_back(query);
    }

    UniqueFd socketFd;
    std::vector<std::string> lines;
    if (!connectDaemon(options, &socketFd, &error) ||
        !exchange(options, socketFd.get(), queries, &lines, &error)) {
        return fail(options.format, error);
    }
    socketFd.reset();

    std::vector<Result> results;
    for (size_t i = 0; i < queries.size(); ++i) {
        Result result{queries[i], lines[i], Reply()};
        if (!parseReply(lines[i], &result.reply)) {
            return fail(options.format, "unexpected reply " + quoted(lines[i]) + " to '" +
                                            queries[i].text + "' from " + endpoint(options));
        }
        results.push_back(result);
    }

    std::string text;
    int code = replyExitCode(results);
    switch (options.format) {
        case Format::PLAIN:
            text = formatPlain(results);
            break;
        case Format::JSON:
            text = formatJson(results);
            break;
        case Format::PROMETHEUS:
            text = formatPrometheus(results);
            break;
        case Format::CHECK: {
            PluginState state = STATE_UNKNOWN;
            text = formatCheck(results, options.check, &state);
            code = state;
            break;
        }
    }
    fputs(text.c_str(), stdout);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "%s: cannot write the output: %s\n", PROGRAM, errorText(errno).c_str());
        return EXIT_TROUBLE;
    }
    return code;
}
