// The alerts of section [alerts] put together: the engine that the reader
// threads feed, every event logged (critical: seen at every log level) and
// handed to the notify program, and a ticker thread of its own that raises
// stale alerts and keeps the state file of the statedir up to date. Entered
// by the reader threads (onReading), the web and MQTT threads (report, json,
// families) and the start-up thread (start, stop).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alertconfig.h"
#include "alertengine.h"
#include "notifier.h"

class AlertService {
  public:
    static constexpr int TICK_MS = 1000;
    // How long the stop waits for the last state file before it gives up.
    static constexpr int STOP_WAIT_MS = 1500;

    // The alerts of config for devices (as the registry names them); their
    // states are kept in stateDir (empty: not kept).
    AlertService(const AlertConfig& config, const std::vector<AlertDevice>& devices,
                 std::string stateDir);
    // Stops (see stop).
    ~AlertService();
    AlertService(const AlertService&) = delete;
    AlertService& operator=(const AlertService&) = delete;

    // Adds a listener of every event (such as the MQTT publisher's queue): it
    // runs on the thread that fed the reading and must only queue. Before start.
    void addListener(AlertEngine::Listener listener) { engine->addListener(std::move(listener)); }

    // Restores the saved states (an active alert is not announced again),
    // then starts the ticker. False (after logging) when its thread cannot be
    // made; the alerts are judged all the same.
    bool start();
    // Starts the notify program's thread, once the daemon runs as the account
    // the programs must run as: the events before wait in its queue. False
    // (after logging) when the thread cannot be made.
    bool startNotifier();
    // Ends a running notify program, writes the state file and ends the
    // threads, waiting at most STOP_WAIT_MS for a disk.
    void stop();

    // One line of device: the quantities it carried (selector order). Any
    // thread; never waits for anything but the engine's lock.
    void onReading(const std::string& device, const AlertInput (&values)[QUANTITY_COUNT]);

    AlertReport report() const { return engine->report(); }
    // The body of /alerts.json.
    std::string json() const;
    // The alert families of /metrics (for WebPort::addFamilies).
    std::string families() const;

    // The clocks the alerts run on: seconds that never step back and go on
    // through a suspend (as a sensor's), and Unix time.
    static AlertTime now();

  private:
    struct Ticker;
    static void tickLoop(std::shared_ptr<Ticker> ticker);

    std::shared_ptr<AlertEngine> engine;
    std::unique_ptr<Notifier> notifier;  // null without notify
    std::shared_ptr<Ticker> ticker;
    std::thread thread;
};
