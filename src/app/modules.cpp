// The daemon's modules, started in order and stopped in reverse.
#include "modules.h"

#include <unistd.h>

#include <cstdlib>

#include "alerting.h"
#include "alertservice.h"
#include "daemon.h"
#include "logging.h"
#include "sdnotify.h"
#include "sighandler.h"
#include "tool.h"

Modules::Modules(Config& config)
    : port(config.port),
      metricsPort(config.metricsPort),
      runAs(config.user),
      stateDir(config.stateDir),
      historySyncMs(int64_t{config.historySyncS} * 1000),
      sensorEntries(config.sensors),
      mqttConfig(std::move(config.mqtt)),
      alertConfig(std::move(config.alerts)) {
    listenOptions.backlog = config.backlog;
    listenOptions.addresses = config.listen;
    listenOptions.maxClients = config.maxClients;
    listenOptions.allow = config.allow;
    // The daemon switch changes to "/": a relative folder is the start's.
    char cwd[4096];
    if (!stateDir.empty() && stateDir[0] != '/' && getcwd(cwd, sizeof(cwd)) != nullptr)
        stateDir = std::string(cwd) + "/" + stateDir;
    addSensors(config);
    applyCalibrations(config.calibrations);
}

int Modules::run() {
    setUpListening();
    // The history hears every device line from the first on.
    startHistory();
    // Publishing follows the sensors from their first line on.
    if (mqttConfig && !mqtt.setUp(*mqttConfig)) return EXIT_SERVICE;
    // The alerts too, their states restored before the first line.
    if (alertConfig)
        alerts = startAlerts(*alertConfig, sensorEntries, sensors, stateDir, web,
                             mqttConfig ? &mqtt : nullptr);
    sensors.createThreads();
    if (mqttConfig && mqtt.start()) web.addFamilies([this] { return mqtt.families(); });
    if (metricsPort > 0)
        web.start(listenOptions.addresses, &listenOptions.allow, metricsPort,
                  listenOptions.backlog);
    switch (connections.startListen(port)) {
        case ListenResult::STOPPED:
            return 0;
        case ListenResult::BAD_CONFIG:
            return EXIT_CONFIG;
        case ListenResult::FAILED:
            break;
    }
    return EXIT_SERVICE;
}

void Modules::stop(int exitCode) {
    requestShutdown();  // every wait of every module watches it
    web.stop();
    mqtt.stop();                               // "offline" out while the TLS library is still there
    sensors.stopReaders();                     // no device line after this one
    if (alerts) alerts->stop();                // no notify program left running, the states written
    if (historyWriter) historyWriter->stop();  // the files given what they lack
    connections.stopClients();
    shutdown(exitCode);
}

// Creates and names one sensor per key of section "sensors", in file order,
// or the default sensor. A key without names ends the process.
void Modules::addSensors(const Config& config) {
    for (const SensorEntry& entry : config.sensors) {
        if (entry.names.empty()) {
            logEvent(LOG_CRITICAL, "no names specified for sensor '" + entry.device + "'");
            shutdown(EXIT_CONFIG);
        }
        logEvent(LOG_STAT, "adding sensor '" + entry.device + "'");
        Sensor* sensor = sensors.newSensor(entry.device);
        for (const std::string& name : entry.names) {
            logEvent(LOG_STAT, "   --> naming sensor '" + name + "'");
            sensors.nameSensor(sensor, name);
        }
    }
    if (config.sensors.empty()) {
        Sensor* defaultSensor = sensors.newSensor(DEFAULT_SENSOR_DEVICE);
        sensors.nameSensor(defaultSensor, DEFAULT_SENSOR_NAME);
    }
}

// Gives every sensor the corrections of its device, before its reader starts.
void Modules::applyCalibrations(const std::map<std::string, Calibration>& calibrations) {
    std::vector<Sensor*> all;
    sensors.forEachSensor([&](Sensor* s) { all.push_back(s); });
    for (Sensor* s : all) {
        auto it = calibrations.find(s->getDeviceName());
        if (it == calibrations.end()) continue;
        s->setCalibration(it->second);
        logEvent(LOG_STAT, "calibrating sensor '" + it->first + "'");
    }
}

// The accept loop's options: the web port's clients and the broker
// connection come out of the descriptors that query clients leave free.
void Modules::setUpListening() {
    if (metricsPort > 0) listenOptions.reserveFds += HttpServer::Limits().maxConnections;
    if (mqttConfig) listenOptions.reserveFds += 2;
    listenOptions.onListening = [this] { return serviceListening(); };
    if (notifyWatchdogMs() > 0) {
        listenOptions.heartbeatMs = notifyWatchdogMs();
        listenOptions.onHeartbeat = [] { notifySend("WATCHDOG=1"); };
    }
    listenOptions.onChange = notifyChanged;
    sensors.setDeviceListener(notifyChanged);
    connections.setOptions(listenOptions);
    notifyStartStatus([this] { return serviceStatus(); });
}

// Follows every sensor's history when the web port draws it or statedir keeps
// it, reading the files of statedir back; call before the reader threads start.
void Modules::startHistory() {
#ifdef SENSOMARK_TEST_HOOKS
    // The test suite's seams: a shorter sync interval and a shifted wall clock.
    if (const char* ms = getenv("SENSOMARK_TEST_HISTORYSYNC_MS")) historySyncMs = atoll(ms);
    if (const char* s = getenv("SENSOMARK_TEST_WALL_OFFSET")) History::setWallOffset(atoll(s));
#endif
    if (metricsPort == 0 && stateDir.empty()) return;
    history.follow(sensors);
    web.useHistory(&history);
    web.addFamilies([this] { return history.families(); });
    if (!stateDir.empty()) {
        auto writer = std::make_unique<HistoryWriter>(history, stateDir, historySyncMs);
        // One daemon per statedir: a second one would mix its writes into
        // ours, so it ends here, before anything of it runs.
        if (!writer->lock()) shutdown(EXIT_CONFIG);
        writer->load();
        historyWriter = std::move(writer);
    }
    history.fillSyntheticDayWhenAsked();  // after the files: values not yet written
    if (historyWriter) historyWriter->start();
}

// Runs once every socket listens: drops root when a user is configured, then
// tells whoever started the daemon that it serves. False when the switch failed.
bool Modules::serviceListening() {
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
    if (alerts) alerts->startNotifier();
    // A log file the new user cannot write ends the start with code 2: the
    // starter must hear that rather than a success.
    logFlush();
    notifySend("READY=1");
    reportStartup(0);
    return true;
}

// What systemctl status shows of the running daemon.
std::string Modules::serviceStatus() {
    int open = 0;
    std::vector<SensorSnapshot> all = sensors.snapshots(Sensor::clockNow());
    for (const SensorSnapshot& sensor : all) open += sensor.open;
    return "sensors open " + itoa(open) + " of " + itoa(static_cast<int>(all.size())) +
           ", clients " + itoa(connections.clientCount()) + ", requests served " +
           std::to_string(connections.requestCount());
}
