// sensomarkUSB: serves the readings of serial climate sensors to TCP clients.
// main runs start-up on the only thread, then becomes the accept loop.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calibration.h"
#include "connectionmanager.h"
#include "daemon.h"
#include "iniparser.h"
#include "logging.h"
#include "webport.h"
#include "mqtt.h"
#include "privileges.h"
#include "sdnotify.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "tool.h"

namespace {
const char VERSION[] = "0.8.1";
const char DEFAULT_CONFIG_FILE[] = "sensomarkUSB.conf";
const char SYSTEM_CONFIG_DIR[] = "/etc";
const char DAEMON_LOG_FILE[] = "/var/log/sensomarkUSB.log";
const int DEFAULT_PORT = 4000;
const int MAX_PORT = 65535;
const char SENSOR_SECTION[] = "sensors";
const char CALIBRATION_SECTION[] = "calibration";
const char DEFAULT_SENSOR_DEVICE[] = "/dev/ttyUSB0";
const char DEFAULT_SENSOR_NAME[] = "sensomark.com1";
}  // namespace

SensorManager sensorManager;
ConnectionManager connectionManager(&sensorManager);
// Destroyed before the managers it reads, after the metrics thread that asks it.
MqttPublisher mqttPublisher(&sensorManager);
// Destroyed first at exit: its thread reads both managers.
WebPort webPort(&sensorManager, &connectionManager);

namespace {

// Finds and loads the configuration file: the given name, then the default
// name in /etc. Null when neither can be read.
dictionary* loadConfig(const char* configFile, bool daemon) {
    dictionary* d = iniparser_load(configFile);
    if (d != nullptr) {
        if (!daemon) logEvent(LOG_STAT, std::string("using config file './") + configFile + "'");
        return d;
    }
    std::string systemPath = std::string(SYSTEM_CONFIG_DIR) + "/" + DEFAULT_CONFIG_FILE;
    d = iniparser_load(systemPath.c_str());
    if (d != nullptr) {
        if (!daemon) logEvent(LOG_STAT, "using config file '" + systemPath + "'");
        return d;
    }
    if (!daemon) logEvent(LOG_STAT, "no config file found, using defaults");
    return nullptr;
}

// The metrics endpoint: its port (0 when there is none); it shares the
// addresses and the allow list of the query service.
int metricsPort = 0;
ListenOptions listenOptions;
// The account to run as once the sockets listen; empty name: stay as started.
Account runAs;

// The log cannot go on (its file cannot be opened, its lock failed): a
// daemon's starting process hears the code too.
[[noreturn]] void endOnLogFailure(int exitCode) {
    reportStartup(exitCode);
    exit(exitCode);
}

// Ends start-up on a key whose value cannot be used.
[[noreturn]] void configError(dictionary* d, const std::string& message) {
    logEvent(LOG_CRITICAL, message);
    iniparser_freedict(d);
    shutdown(EXIT_CONFIG);
}

// The opt-in listener keys of section "main"; without them the daemon listens
// on every local IPv4 address for everyone, with a backlog of 5, as many
// clients as descriptors allow, and as the user that started it.
void applyListenerKeys(dictionary* d) {
    int backlog = iniparser_getint(d, "main:backlog", 0);
    if (backlog > 0) listenOptions.backlog = backlog;
    stringTokenize(iniparser_getstring(d, "main:listen", ""), listenOptions.addresses, " \t");
    int maxClients = iniparser_getint(d, "main:maxclients", 0);
    if (maxClients > 0) listenOptions.maxClients = maxClients;
    std::string bad;
    if (!listenOptions.allow.parse(iniparser_getstring(d, "main:allow", ""), &bad))
        configError(d, "invalid allow entry '" + bad + "'");
    const char* user = iniparser_getstring(d, "main:user", nullptr);
    if (user != nullptr && !findAccount(user, &runAs))
        configError(d, std::string("unknown user '") + user + "'");

    const char* metrics = iniparser_getstring(d, "main:metricsport", nullptr);
    if (metrics == nullptr) return;
    metricsPort = iniparser_getint(d, "main:metricsport", 0);
    if (metricsPort <= 0 || metricsPort > MAX_PORT) {
        logEvent(LOG_CRITICAL, std::string("configured metrics port '") + metrics +
                                   "' is invalid, serving no metrics");
        metricsPort = 0;
    }
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
    // A log file the new user cannot write ends the start with code 2: the
    // starter must hear that rather than a success.
    logFlush();
    notifySend("READY=1");
    reportStartup(0);
    return true;
}

// What systemctl status shows of the running daemon.
std::string serviceStatus() {
    int sensors = 0, open = 0;
    sensorManager.visit([](const std::string&, Sensor*) {},
                        [&](Sensor* s) {
                            ++sensors;
                            open += s->isOpen();
                        });
    return "sensors open " + itoa(open) + " of " + itoa(sensors) + ", clients " +
           itoa(connectionManager.clientCount()) + ", requests served " +
           std::to_string(connectionManager.requestCount());
}

// Applies the keys of section "main"; returns the port to listen on.
int applyMainKeys(dictionary* d, bool daemon) {
    // First the log file, so that what the other keys log goes there.
    const char* configLogFile = iniparser_getstring(d, "main:logfile", nullptr);
    if (configLogFile != nullptr && daemon) logFile = configLogFile;
    applyListenerKeys(d);

    int listenPort = DEFAULT_PORT;
    int configPort = iniparser_getint(d, "main:port", 0);
    if (configPort > MAX_PORT) {
        logEvent(LOG_CRITICAL, "configured port " + itoa(configPort) + " is out of range, using " +
                                   itoa(DEFAULT_PORT));
    } else if (configPort > 0) {
        listenPort = configPort;
    }
    const char* configLogLevel = iniparser_getstring(d, "main:loglevel", nullptr);
    if (configLogLevel != nullptr) {
        std::string level = configLogLevel;
        if (level == "critical") {
            setLogLevel(LOG_CRITICAL);
        } else if (level == "stat") {
            setLogLevel(LOG_STAT);
        } else if (level == "debug") {
            setLogLevel(LOG_DEBUG);
        } else {
            logEvent(LOG_CRITICAL, "configured log level unknown");
        }
    }
    return listenPort;
}

// Creates and names one sensor per key of section "sensors", in file order.
// A key without names ends the process.
void addConfiguredSensors(dictionary* d) {
    int numSensors = iniparser_getnseckeys(d, SENSOR_SECTION);
    for (int i = 0; i < numSensors; ++i) {
        const char* key = iniparser_getseckeyname(d, SENSOR_SECTION, i);
        std::string sensorDevice = key + sizeof(SENSOR_SECTION);  // skip "sensors:"
        std::string val = iniparser_getstring(d, key, "");
        std::vector<std::string> sensorNames;
        stringTokenize(val, sensorNames, " ");
        if (val.empty()) {
            logEvent(LOG_CRITICAL, "no names specified for sensor '" + sensorDevice + "'");
            iniparser_freedict(d);
            shutdown(EXIT_CONFIG);
        }
        logEvent(LOG_STAT, "adding sensor '" + sensorDevice + "'");
        Sensor* sensor = sensorManager.newSensor(sensorDevice);
        for (const std::string& name : sensorNames) {
            logEvent(LOG_STAT, "   --> naming sensor '" + name + "'");
            sensorManager.nameSensor(sensor, name);
        }
    }
}

// The keys and values of a section, in file order.
std::vector<std::pair<std::string, std::string>> sectionPairs(dictionary* d,
                                                              const std::string& section) {
    std::vector<std::pair<std::string, std::string>> pairs;
    int count = iniparser_getnseckeys(d, section.c_str());
    for (int i = 0; i < count; ++i) {
        const char* key = iniparser_getseckeyname(d, section.c_str(), i);
        pairs.emplace_back(key + section.size() + 1, iniparser_getstring(d, key, ""));
    }
    return pairs;
}

// Gives every sensor the corrections of its device; a value that cannot be
// used ends the process.
void applyCalibrations(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::vector<Sensor*> sensors;
    sensorManager.visit([](const std::string&, Sensor*) {},
                        [&](Sensor* s) { sensors.push_back(s); });
    std::vector<std::string> devices;
    for (Sensor* s : sensors) devices.push_back(s->getDeviceName());
    std::map<std::string, Calibration> calibrations;
    std::string error;
    if (!readCalibrations(keys, devices, &calibrations, &error)) {
        logEvent(LOG_CRITICAL, error);
        shutdown(EXIT_CONFIG);
    }
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
    const char* configFile = DEFAULT_CONFIG_FILE;
    if (optind < argc) configFile = argv[optind];
    if (optind + 1 < argc) {
        puts("trailing arguments on command line");
        showHelp();
        return 1;
    }
    if (daemon) logFile = DAEMON_LOG_FILE;

    int listenPort = DEFAULT_PORT;
    std::unique_ptr<MqttConfig> mqtt;
    std::vector<std::pair<std::string, std::string>> calibrationKeys;
    dictionary* d = loadConfig(configFile, daemon);
    if (d != nullptr) {
        listenPort = applyMainKeys(d, daemon);
        addConfiguredSensors(d);
        calibrationKeys = sectionPairs(d, CALIBRATION_SECTION);
        std::string error;
        mqtt = readMqttSection(d, localHostName(), &error);
        if (mqtt && !mqttPublisher.checkNames(&error)) mqtt.reset();
        iniparser_freedict(d);
        if (!error.empty()) {
            logEvent(LOG_CRITICAL, error);
            shutdown(EXIT_CONFIG);
        }
    }
    if (sensorManager.sensorCount() == 0) {
        Sensor* defaultSensor = sensorManager.newSensor(DEFAULT_SENSOR_DEVICE);
        sensorManager.nameSensor(defaultSensor, DEFAULT_SENSOR_NAME);
    }
    applyCalibrations(calibrationKeys);

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
    if (metricsPort > 0) webPort.followSensors();
    // Publishing follows the sensors from their first line on.
    if (mqtt && !mqttPublisher.setUp(*mqtt)) shutdown(EXIT_SERVICE);
    sensorManager.createThreads();
    if (mqtt && mqttPublisher.start())
        webPort.addFamilies([] { return mqttPublisher.families(); });
    if (metricsPort > 0)
        webPort.start(listenOptions.addresses, &listenOptions.allow, metricsPort,
                            listenOptions.backlog);
    switch (connectionManager.startListen(listenPort)) {
        case ListenResult::STOPPED:
            shutdown();
        case ListenResult::BAD_CONFIG:
            shutdown(EXIT_CONFIG);
        case ListenResult::FAILED:
            shutdown(EXIT_SERVICE);
    }
    shutdown(EXIT_SERVICE);
}
