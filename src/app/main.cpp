// app/: the daemon put together, on top of every other folder: main starts the
// modules on the only thread, then becomes the accept loop; stop() ends them
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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alerting.h"
#include "config.h"
#include "connectionmanager.h"
#include "daemon.h"
#include "history.h"
#include "historywriter.h"
#include "logging.h"
#include "mqtt.h"
#include "privileges.h"
#include "sdnotify.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "tool.h"
#include "webport.h"

namespace {
const char VERSION[] = "0.8.1";
const char DAEMON_LOG_FILE[] = "/var/log/sensomarkUSB.log";
}  // namespace

SensorManager sensorManager;
ConnectionManager connectionManager(&sensorManager);
// Destroyed before the managers it reads, after the metrics thread that asks it.
MqttPublisher mqttPublisher(&sensorManager);
// Every device's history: drawn by the web port, kept on disk by the writer.
History history;
// Destroyed first at exit: its thread reads both managers and the history.
WebPort webPort(&sensorManager, {[] { return connectionManager.clientCount(); },
                                 [] { return connectionManager.requestCount(); }});

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

// The web port: its port (0 when there is none); it shares the addresses and
// the allow list of the query service.
int metricsPort = 0;
ListenOptions listenOptions;
// The account to run as once the sockets listen; empty name: stay as started.
Account runAs;
// The folder of the history files (empty: history in memory only) and the
// interval of their appends.
std::string stateDir;
int64_t historySyncMs = DEFAULT_HISTORY_SYNC_S * 1000;
std::unique_ptr<HistoryWriter> historyWriter;

// The log cannot go on (its file cannot be opened, its lock failed): a
// daemon's starting process hears the code too.
[[noreturn]] void endOnLogFailure(int exitCode) {
    reportStartup(exitCode);
    exit(exitCode);
}

// Applies section "main": the log file first, so that what follows goes
// there, then the level; logs what reading had to say and ends start-up at
// a key whose value cannot be used.
void applyMainKeys(Config& config, bool daemon) {
    if (!config.logFile.empty() && daemon) logFile = config.logFile;
    setLogLevel(config.logLevel);
    for (const ConfigNote& note : config.notes) {
        logEvent(note.level, note.text);
        if (note.fatal) shutdown(EXIT_CONFIG);
    }
    listenOptions.backlog = config.backlog;
    listenOptions.addresses = config.listen;
    listenOptions.maxClients = config.maxClients;
    listenOptions.allow = config.allow;
    runAs = config.user;
    metricsPort = config.metricsPort;
    stateDir = config.stateDir;
    // The daemon switch changes to "/": a relative folder is the start's.
    char cwd[4096];
    if (!stateDir.empty() && stateDir[0] != '/' && getcwd(cwd, sizeof(cwd)) != nullptr)
        stateDir = std::string(cwd) + "/" + stateDir;
    historySyncMs = int64_t{config.historySyncS} * 1000;
}

// Follows every sensor's history when the web port draws it or statedir keeps
// it, reading the files of statedir back; call before the reader threads start.
void startHistory() {
#ifdef SENSOMARK_TEST_HOOKS
    // The test suite's seams: a shorter sync interval and a shifted wall clock.
    if (const char* ms = getenv("SENSOMARK_TEST_HISTORYSYNC_MS")) historySyncMs = atoll(ms);
    if (const char* s = getenv("SENSOMARK_TEST_WALL_OFFSET")) History::setWallOffset(atoll(s));
#endif
    if (metricsPort == 0 && stateDir.empty()) return;
    history.follow(sensorManager);
    webPort.useHistory(&history);
    webPort.addFamilies([] { return history.families(); });
    if (!stateDir.empty()) {
        historyWriter = std::make_unique<HistoryWriter>(history, stateDir, historySyncMs);
        // One daemon per statedir: a second one would mix its writes into ours.
        if (!historyWriter->lock()) shutdown(EXIT_CONFIG);
        historyWriter->load();
    }
    history.fillSyntheticDayWhenAsked();  // after the files: values not yet written
    if (historyWriter) historyWriter->start();
}

// Ends the daemon in order: no notify program left running, the alert states
// written, and the history files given what they lack first.
[[noreturn]] void stop(int exitCode) {
    stopAlerts();
    if (historyWriter) historyWriter->stop();
    shutdown(exitCode);
}

// Runs once every socket listens: drops root when a user is configured, then
// tells whoever started the daemon that it serves. False when the switch failed.
bool serviceListening() {
    if (!runAs.name.empty()) {
        // The log file of daemon mode stays writable for the new user; were
        // it not, the next line written would end the daemon with code 2.
        if (!logFile.empty() && chown(logFile.c_str(), runAs.uid, runAs.gid) != 0) {
            // Not ours to give (or gone): that next line tells.
        }
        std::string error;
        if (!switchToAccount(runAs, &error)) {
            logEvent(LOG_CRITICAL, "cannot run as user '" + runAs.name + "': " + error);
            return false;
        }
        logEvent(LOG_STAT, "running as user '" + runAs.name + "'");
    }
    startAlertNotifier();
    // A log file the new user cannot write ends the start with code 2: the
    // starter must hear that rather than a success.
    logFlush();
    notifySend("READY=1");
    reportStartup(0);
    return true;
}

// What systemctl status shows of the running daemon.
std::string serviceStatus() {
    int open = 0;
    std::vector<SensorSnapshot> sensors = sensorManager.snapshots(Sensor::clockNow());
    for (const SensorSnapshot& sensor : sensors) open += sensor.open;
    return "sensors open " + itoa(open) + " of " + itoa(static_cast<int>(sensors.size())) +
           ", clients " + itoa(connectionManager.clientCount()) + ", requests served " +
           std::to_string(connectionManager.requestCount());
}

// Creates and names one sensor per key of section "sensors", in file order,
// or the default sensor. A key without names ends the process.
void addConfiguredSensors(const Config& config) {
    for (const SensorEntry& entry : config.sensors) {
        if (entry.names.empty()) {
            logEvent(LOG_CRITICAL, "no names specified for sensor '" + entry.device + "'");
            shutdown(EXIT_CONFIG);
        }
        logEvent(LOG_STAT, "adding sensor '" + entry.device + "'");
        Sensor* sensor = sensorManager.newSensor(entry.device);
        for (const std::string& name : entry.names) {
            logEvent(LOG_STAT, "   --> naming sensor '" + name + "'");
            sensorManager.nameSensor(sensor, name);
        }
    }
    if (config.sensors.empty()) {
        Sensor* defaultSensor = sensorManager.newSensor(DEFAULT_SENSOR_DEVICE);
        sensorManager.nameSensor(defaultSensor, DEFAULT_SENSOR_NAME);
    }
}

// Gives every sensor the corrections of its device, before its reader starts.
void applyCalibrations(const std::map<std::string, Calibration>& calibrations) {
    std::vector<Sensor*> sensors;
    sensorManager.forEachSensor([&](Sensor* s) { sensors.push_back(s); });
    for (Sensor* s : sensors) {
        auto it = calibrations.find(s->getDeviceName());
        if (it == calibrations.end()) continue;
        s->setCalibration(it->second);
        logEvent(LOG_STAT, "calibrating sensor '" + it->first + "'");
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
    applyMainKeys(config, daemon);
    addConfiguredSensors(config);
    std::unique_ptr<MqttConfig> mqtt = std::move(config.mqtt);
    applyCalibrations(config.calibrations);

    if (daemon) {
        logEvent(LOG_CRITICAL, "starting sensomarkUSB as daemon");
        daemonize();
    } else {
        logEvent(LOG_CRITICAL, "starting sensomarkUSB");
    }
    // Up to here the only thread wrote each line itself; from now on no
    // thread of the service waits for the log's output.
    if (!logStartWriter()) logEvent(LOG_CRITICAL, "cannot start the log writer");
    // Every wait watches this descriptor, so it must exist before a signal
    // handler can write it and before any thread waits.
    if (!initShutdownEvent()) logEvent(LOG_CRITICAL, "cannot create the wake-up event, waits poll");
    signal(SIGINT, catch_shutdown_signal);
    signal(SIGTERM, catch_shutdown_signal);
    signal(SIGHUP, catch_hangup_signal);
    notifyInit();
    // A vanished log reader (a closed pipe on standard output) must not end
    // the daemon; sockets send with MSG_NOSIGNAL anyway.
    signal(SIGPIPE, SIG_IGN);

    // The web port's clients and the broker connection come out of the
    // descriptors that query clients leave free.
    if (metricsPort > 0) listenOptions.reserveFds += HttpServer::Limits().maxConnections;
    if (mqtt) listenOptions.reserveFds += 2;
    listenOptions.onListening = serviceListening;
    if (notifyWatchdogMs() > 0) {
        listenOptions.heartbeatMs = notifyWatchdogMs();
        listenOptions.onHeartbeat = [] { notifySend("WATCHDOG=1"); };
    }
    listenOptions.onChange = notifyChanged;
    sensorManager.setDeviceListener(notifyChanged);
    connectionManager.setOptions(listenOptions);
    notifyStartStatus(serviceStatus);

    // The history hears every device line from the first on.
    startHistory();
    // Publishing follows the sensors from their first line on.
    if (mqtt && !mqttPublisher.setUp(*mqtt)) stop(EXIT_SERVICE);
    // The alerts too, their states restored before the first line.
    if (config.alerts)
        startAlerts(*config.alerts, config.sensors, sensorManager, stateDir, webPort,
                    mqtt ? &mqttPublisher : nullptr);
    sensorManager.createThreads();
    if (mqtt && mqttPublisher.start()) webPort.addFamilies([] { return mqttPublisher.families(); });
    if (metricsPort > 0)
        webPort.start(listenOptions.addresses, &listenOptions.allow, metricsPort,
                      listenOptions.backlog);
    ListenResult result = connectionManager.startListen(config.port);
    mqttPublisher.stop();  // "offline" out while the TLS library is still there
    switch (result) {
        case ListenResult::STOPPED:
            stop(0);
        case ListenResult::BAD_CONFIG:
            stop(EXIT_CONFIG);
        case ListenResult::FAILED:
            stop(EXIT_SERVICE);
    }
    stop(EXIT_SERVICE);
}
