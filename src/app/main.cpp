// app/: the daemon put together, on top of every other folder: main reads the
// command line and the configuration and sets up the process (log, signals,
// daemon switch); modules makes, starts and stops every module in order
// (alerting joins the alerts to the sensors, the web port and MQTT).
// core/, below all but common/: the daemon switch (daemon), signals and the
// shutdown flag (sighandler), the event log (logging), dropping root
// (privileges), the service manager's notifications (sdnotify), the usage text
// and the orderly exit (tool). The log's writer thread writes every line; every
// other thread enters only to log, to read the shutdown flag or, ending,
// through shutdown().
//
// sensomarkUSB: serves the readings of serial climate sensors to TCP clients.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "daemon.h"
#include "logging.h"
#include "modules.h"
#include "sdnotify.h"
#include "sighandler.h"
#include "tool.h"

namespace {
const char VERSION[] = "0.8.1";
const char DAEMON_LOG_FILE[] = "/var/log/sensomarkUSB.log";
}  // namespace

namespace {

// Reads the configuration file: the given name, then the default name in
// /etc; the defaults when neither can be read.
Config readConfigFile(const char* configFile, bool daemon) {
    ConfigFound found;
    Config config = loadConfig(configFile, ConfigUse::DAEMON, &found);
    if (daemon) return config;
    if (found == ConfigFound::GIVEN)
        logEvent(LOG_STAT, std::string("using config file './") + configFile + "'");
    else if (found == ConfigFound::SYSTEM)
        logEvent(LOG_STAT, std::string("using config file '") + SYSTEM_CONFIG_FILE + "'");
    else
        logEvent(LOG_STAT, "no config file found, using defaults");
    return config;
}

// The log cannot go on (its file cannot be opened, its lock failed): a
// daemon's starting process hears the code too.
[[noreturn]] void endOnLogFailure(int exitCode) {
    reportStartup(exitCode);
    exit(exitCode);
}

// Applies the log keys of section "main": the log file first, so that what
// follows goes there, then the level; logs what reading had to say and ends
// start-up at a key whose value cannot be used.
void applyLogKeys(const Config& config, bool daemon) {
    if (!config.logFile.empty() && daemon) logFile = config.logFile;
    setLogLevel(config.logLevel);
    for (const ConfigNote& note : config.notes) {
        logEvent(note.level, note.text);
        if (note.fatal) shutdown(EXIT_CONFIG);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    printf("sensomarkUSB %s\n\n", VERSION);
    fflush(stdout);  // the log writes to the descriptor, not through stdio
    bool daemon = false;
    logInit();
    setLogFatalHook(endOnLogFailure);

    int option;
    while ((option = getopt(argc, argv, "?hd")) != -1) {
        switch (option) {
            case 'd':
                daemon = true;
                break;
            case 'h':
                showHelp();
                return 0;
            default:
                showHelp();
                return 1;
        }
    }
    const char* configFile = CONFIG_FILE_NAME;
    if (optind < argc) configFile = argv[optind];
    if (optind + 1 < argc) {
        puts("trailing arguments on command line");
        showHelp();
        return 1;
    }
    if (daemon) logFile = DAEMON_LOG_FILE;

    Config config = readConfigFile(configFile, daemon);
    applyLogKeys(config, daemon);
    Modules modules(config);

    if (daemon) {
        logEvent(LOG_CRITICAL, "starting sensomarkUSB as daemon");
        daemonize();
    } else {
        logEvent(LOG_CRITICAL, "starting sensomarkUSB");
    }
    // Up to here the only thread wrote each line itself; from now on no
    // thread of the service waits for the log's output.
    std::string error;
    if (!logStartWriter(&error)) logEvent(LOG_CRITICAL, "cannot start the log writer: " + error);
    // Every wait watches this descriptor, so it must exist before a signal
    // handler can write it and before any thread waits.
    if (!initShutdownEvent(&error))
        logEvent(LOG_CRITICAL, "cannot create the wake-up event, waits poll: " + error);
    signal(SIGINT, catch_shutdown_signal);
    signal(SIGTERM, catch_shutdown_signal);
    signal(SIGHUP, catch_hangup_signal);
    notifyInit();
    // A vanished log reader (a closed pipe on standard output) must not end
    // the daemon; sockets send with MSG_NOSIGNAL anyway.
    signal(SIGPIPE, SIG_IGN);

    // Every module started in order; the stop ends them in reverse.
    modules.stop(modules.run());
}
