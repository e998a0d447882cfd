// mqtt/: publishing to an MQTT broker, as section [mqtt] (mqttconfig)
// sets it up: what is published where (mqttplan), Home Assistant discovery
// (mqttdiscovery) and the publisher (mqtt). Entered by its publisher thread,
// libmosquitto's network threads, the reader threads that wake it, the web
// thread asking for its metric families, and the start-up thread.
//
// Opt-in MQTT publishing with Home Assistant discovery. One thread keeps the
// broker told of every sensor name's availability and values, and of the
// state of every alert of [alerts] (a binary sensor each); libmosquitto
// runs the network side of each connection on a thread of its own. Reader
// threads only mark that a line came and wake the publisher; they never wait
// for it, and nothing queues while the broker is away: the publisher sends the
// latest state once it is connected again. While the broker holds
// MAX_UNACKNOWLEDGED messages unacknowledged, each topic's newest message
// waits in the publisher and replaces (drops) an older one. An alert's change
// is queued (a bounded queue: beyond it the publisher sends every alert's
// state afresh) and wakes the publisher.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alertengine.h"
#include "mqttconfig.h"

class SensorManager;
class MqttWorker;

class MqttPublisher {
  public:
    // The longest the daemon's stop waits for the publisher: it sends
    // "offline" and disconnects within this time or is left behind.
    static constexpr int STOP_WAIT_MS = 1000;
    // Messages handed to the broker connection and not yet acknowledged (qos
    // 1) or written (qos 0) at which no new one is handed over; the "offline"
    // messages of a stop go out regardless.
    static constexpr long MAX_UNACKNOWLEDGED = 100;
    // A connection the broker accepted and that lasted this long starts the
    // back-off of the next attempts from 1 s again.
    static constexpr int64_t STABLE_CONNECTION_MS = 30000;

    explicit MqttPublisher(SensorManager* sensors);
    // Stops the thread as stop() does, unless stopped already.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // On the start-up thread, after every sensor is named and before the
    // reader threads start: initialises libmosquitto (which is not
    // thread-safe there) and follows every sensor. Logs and returns false
    // when the library cannot be initialised.
    bool setUp(const MqttConfig& config);
    // On the start-up thread, after setUp and before start: publishes the state
    // of each of alerts (an AlertReport's) as "ON" or "OFF" and, with
    // discovery, announces it as a binary sensor of its device. states() gives
    // them as they are now, in that order; it is called on the publisher's
    // thread with no lock held. Returns what to call with an alert's index and
    // state whenever it changes (any thread; it only queues), or null without
    // setUp.
    using AlertChanged = std::function<void(size_t index, bool raised)>;
    AlertChanged followAlerts(const std::vector<AlertStatus>& alerts,
                              std::function<std::vector<AlertStatus>()> states);
    // Starts the publishing thread after setUp; logs and returns false when
    // it cannot be created.
    bool start();

    // Stops the thread (requesting shutdown) and waits at most STOP_WAIT_MS;
    // then the library is cleaned up. Call before exit(): the TLS library's own
    // exit handler, registered after this object was made, would otherwise
    // free what the thread may still be using.
    void stop();

    // The metric families of the publisher, with HELP and TYPE; any thread.
    std::string families() const;

  private:
    SensorManager* const sensors;
    std::shared_ptr<MqttWorker> worker;
    std::thread thread;
};
