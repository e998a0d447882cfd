// The daemon's modules in one object: made in dependency order, started in
// that order by run() and stopped in reverse by stop(), both on the start-up
// thread. main owns the one instance; nothing here is global, so nothing
// depends on the order in which destructors run at exit.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "alertconfig.h"
#include "config.h"
#include "connectionmanager.h"
#include "history.h"
#include "historywriter.h"
#include "mqtt.h"
#include "privileges.h"
#include "sensormanager.h"
#include "webport.h"

class AlertService;

class Modules {
  public:
    // Takes what config gives the modules: one named sensor per key of
    // section "sensors" (or the default sensor) with its corrections. A key
    // without names ends the process.
    explicit Modules(Config& config);
    Modules(const Modules&) = delete;
    Modules& operator=(const Modules&) = delete;

    // Starts every module in order, then accepts query clients on this
    // thread until the stop is asked for or the service cannot go on.
    // Returns the exit code: 0 for a stop that was asked for.
    int run();
    // Stops every module in reverse order, then ends the process with
    // exitCode (shutdown). Each step waits a bounded time.
    [[noreturn]] void stop(int exitCode);

  private:
    void addSensors(const Config& config);
    void applyCalibrations(const std::map<std::string, Calibration>& calibrations);
    void setUpListening();
    void startHistory();
    bool serviceListening();
    std::string serviceStatus();

    // Settings of the configuration that the start needs.
    int port;
    int metricsPort;
    Account runAs;
    std::string stateDir;
    int64_t historySyncMs;
    std::vector<SensorEntry> sensorEntries;
    std::unique_ptr<MqttConfig> mqttConfig;
    std::unique_ptr<AlertConfig> alertConfig;
    ListenOptions listenOptions;

    // The modules, in the order they are made and started.
    SensorManager sensors;
    ConnectionManager connections{&sensors};
    History history;  // drawn by the web port, kept on disk by the writer
    std::unique_ptr<HistoryWriter> historyWriter;
    MqttPublisher mqtt{&sensors};
    std::shared_ptr<AlertService> alerts;
    WebPort web{&sensors,
                {[this] { return connections.clientCount(); },
                 [this] { return connections.requestCount(); }}};
};
