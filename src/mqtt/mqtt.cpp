// The MQTT publisher: its thread, its connection attempts and what it sends.
//
// Each attempt gets a new libmosquitto client whose own thread
// (mosquitto_loop_start) serves that one connection; when it ends, the client
// is stopped and freed, and the publisher tries again after a back-off of 1 s
// doubling up to 60 s; only a connection that the broker accepted and that
// lasted STABLE_CONNECTION_MS starts it from 1 s again, so that a broker that
// closes every connection at once is not asked once a second. The library's
// own reconnecting is not used: after a failed TLS handshake or a refused
// connect its thread may end silently, spin, or wait for a state that never
// comes, and it keeps QoS 1 messages queued without bound while the broker is
// away. A plain TCP probe comes before each attempt for the same reason.
#include "mqtt.h"

#include <mosquitto.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <vector>

#include "logging.h"
#include "mqttdiscovery.h"
#include "mqttplan.h"
#include "mutex.h"
#include "net.h"
#include "prometheus.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "syserror.h"
#include "threads.h"

namespace {

// Why a call of the MQTT library failed with rc.
std::string libraryError(int rc) {
    return rc == MOSQ_ERR_ERRNO ? errorText(errno) : mosquitto_strerror(rc);
}

const int KEEPALIVE_S = 30;
const int PROBE_TIMEOUT_MS = 5000;
// An attempt without CONNACK for this long is given up.
const int64_t CONNECT_TIMEOUT_MS = 10000;
const int64_t FIRST_RETRY_MS = 1000;
const int64_t MAX_RETRY_MS = 60000;
// A failure of the same kind is logged at most this often.
const int64_t FAILURE_LOG_GAP_MS = 60000;
// At a stop, the time the broker gets to take "offline" and the disconnect.
const int DISCONNECT_WAIT_MS = 700;
// With messages waiting, the worker is woken when this few are unacknowledged.
const long ROOM_AGAIN = MqttPublisher::MAX_UNACKNOWLEDGED / 2;
// Alert changes waiting for the worker; beyond them every alert's state is sent afresh.
const size_t MAX_ALERT_CHANGES = 256;

int64_t bootMs() {
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Keeps libmosquitto's thread from being cancelled (an abandoned attempt)
// inside a callback that holds the publisher's lock.
class NoCancel {
  public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
    ~NoCancel() { pthread_setcancelstate(old, nullptr); }

  private:
    int old = 0;
};

struct NameAndSensor {
    std::string name;
    Sensor* sensor;
};

std::vector<std::string> nameList(const std::vector<NameAndSensor>& names) {
    std::vector<std::string> list;
    for (const NameAndSensor& n : names) list.push_back(n.name);
    return list;
}

}  // namespace

class MqttWorker {
  public:
    MqttWorker(const MqttConfig& config, std::vector<NameAndSensor> names);

    // A device line came or a device was lost (reader threads; never waits).
    void sensorChanged() {
        if (!pending.exchange(true)) signal();
    }
    // Sets up the alerts' messages; before the thread starts.
    void followAlerts(const std::vector<AlertStatus>& alerts,
                      std::function<std::vector<AlertStatus>()> states);
    // An alert changed (any thread; never waits).
    void alertChanged(size_t index, bool raised) EXCLUDES(alertsMutex);
    void run();
    // Waits until run has returned, at most ms; whether it has.
    bool waitFinished(int ms);
    bool valid() const { return wakeFd.valid(); }
    // Why the wake-up event could not be created (the errno; 0 when valid).
    int invalidBecause() const { return wakeError; }

    std::atomic<bool> connected{false};
    std::atomic<uint64_t> publishes{0};  // acknowledged (qos 1) or written (qos 0)
    std::atomic<uint64_t> reconnects{0};
    std::atomic<uint64_t> dropped{0};  // replaced in the outbox

  private:
    // What libmosquitto's thread reports; the worker takes and clears it.
    struct Events {
        int connack = -1;  // CONNACK code; -1 while none came
        bool ended = false;
        int endCode = 0;
        std::string error;  // the first error the library logged
        bool homeAssistantOnline = false;
    };

    static void onConnect(mosquitto*, void* self, int code);
    static void onDisconnect(mosquitto* client, void* self, int code);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    void report(const std::function<void(Events&)>& change);
    Events takeEvents();
    void signal();
    void drain();

    void attempt(int64_t now);
    // Creates client with the callbacks and the configured options; false,
    // with *error set and no client, when the library refuses.
    bool newClient(std::string* error);
    void handleEvents(int64_t now);
    void connectedNow(int64_t now);
    void endClient(bool force);
    // Keeps the first reason why the current attempt failed.
    void noteFailure(int level, const std::string& why);
    // Schedules the next attempt and logs the failure (each kind at most once
    // per FAILURE_LOG_GAP_MS); a lost connection has none to log.
    void retryLater(int64_t now);
    void publishDue();
    // Sends the alerts' changes, or every alert's state when asked to.
    void publishAlerts() EXCLUDES(alertsMutex);
    // Puts message into the outbox, counting the one it replaces as dropped.
    void queue(MqttMessage message);
    // Hands the outbox's messages to the connection while fewer than
    // MAX_UNACKNOWLEDGED are unacknowledged.
    void flush();
    // Hands message to the connection, whatever the count.
    void send(const MqttMessage& message);
    // Says "offline" and disconnects, within DISCONNECT_WAIT_MS.
    void stop();
    // Waits on the wake-up event until done() holds or endMs; true when the
    // connection has ended meanwhile.
    bool waitUntil(int64_t endMs, const std::function<bool()>& done);

    const MqttConfig config;
    const std::string where;  // "host:port"
    const std::vector<NameAndSensor> names;
    std::vector<MqttMessage> discovery;
    PublishPlan plan;
    Outbox outbox;

    UniqueFd wakeFd;
    const int wakeError = wakeFd.valid() ? 0 : errno;  // why there is no wakeFd
    // Set while a wake-up is under way or no line needs one (not connected).
    std::atomic<bool> pending{true};
    std::atomic<bool> stopping{false};
    // Messages of the current client handed to the library and not yet
    // acknowledged (QoS 1) or written (QoS 0).
    std::atomic<long> unacknowledged{0};
    // Set by flush when it left messages for want of room; the acknowledgement
    // that leaves ROOM_AGAIN clears it and wakes the worker.
    std::atomic<bool> waitingForRoom{false};

    Mutex eventsMutex;
    Events events GUARDED_BY(eventsMutex);

    // The alerts' state topics by index and their states now; set before the thread starts.
    std::vector<std::string> alertTopics;
    std::function<std::vector<AlertStatus>()> alertStates;
    Mutex alertsMutex;
    std::deque<std::pair<size_t, bool>> alertChanges GUARDED_BY(alertsMutex);
    bool alertsResync GUARDED_BY(alertsMutex) = false;  // send every state afresh

    // Only the worker's thread uses these.
    mosquitto* client = nullptr;
    int64_t attemptEndMs = 0;
    int64_t nextAttemptMs = 0;
    int64_t retryMs = FIRST_RETRY_MS;
    int64_t connectedMs = 0;  // when the broker accepted the current connection
    int64_t nextDueMs = PublishPlan::NEVER;
    std::string failure;
    int failureLevel = LOG_STAT;
    int64_t lastFailureLogMs[2] = {0, 0};  // per level: critical, other
    bool failureLogged[2] = {false, false};

    Mutex finishedMutex;
    std::condition_variable_any finishedChanged;
    bool finished GUARDED_BY(finishedMutex) = false;
};

MqttWorker::MqttWorker(const MqttConfig& config, std::vector<NameAndSensor> sensorNames)
    : config(config),
      where((config.host.find(':') == std::string::npos ? config.host : "[" + config.host + "]") +
            ":" + std::to_string(config.port)),
      names(std::move(sensorNames)),
      plan(config.prefix, nameList(names), config.intervalS, config.retain),
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!config.discovery) return;
    std::vector<std::string> ids = uniqueObjectIds(nameList(names));
    DiscoveryEntity entity;
    entity.hostName = localHostName();
    entity.nodeId = objectId(config.clientId);
    entity.prefix = config.prefix;
    entity.qos = config.qos;
    entity.expireAfterS = expireAfterS(config.intervalS);
    for (size_t i = 0; i < names.size(); ++i) {
        entity.name = names[i].name;
        entity.objectId = ids[i];
        entity.device = names[i].sensor->getDeviceName();
        for (const Quantity& q : QUANTITIES) {
            entity.quantity = &q;
            discovery.push_back({discoveryTopic(entity), discoveryPayload(entity), true});
        }
    }
}

void MqttWorker::followAlerts(const std::vector<AlertStatus>& alerts,
                              std::function<std::vector<AlertStatus>()> states) {
    std::vector<std::string> keys;
    for (const AlertStatus& a : alerts)
        keys.push_back(a.name + "_" + (a.quantity.empty() ? "" : a.quantity + "_") + a.alert);
    std::vector<std::string> ids = uniqueObjectIds(keys);
    AlertEntity entity;
    entity.hostName = localHostName();
    entity.nodeId = objectId(config.clientId);
    entity.prefix = config.prefix;
    entity.qos = config.qos;
    for (size_t i = 0; i < alerts.size(); ++i) {
        const AlertStatus& a = alerts[i];
        alertTopics.push_back(alertTopic(config.prefix, ids[i]));
        if (!config.discovery) continue;
        entity.title = a.name + (a.quantity.empty() ? "" : " " + a.quantity) + " " + a.alert;
        entity.objectId = ids[i];
        entity.device = a.device;
        discovery.push_back({alertDiscoveryTopic(entity), alertDiscoveryPayload(entity), true});
    }
    alertStates = std::move(states);
}

void MqttWorker::alertChanged(size_t index, bool raised) {
    {
        MutexLock lock(alertsMutex);
        if (alertChanges.size() < MAX_ALERT_CHANGES) {
            alertChanges.emplace_back(index, raised);
        } else {
            alertChanges.clear();
            alertsResync = true;
        }
    }
    signal();
}

void MqttWorker::publishAlerts() {
    std::deque<std::pair<size_t, bool>> changes;
    bool resync;
    {
        MutexLock lock(alertsMutex);
        changes.swap(alertChanges);
        resync = alertsResync;
        alertsResync = false;
    }
    if (resync) {
        // The states now hold every change queued so far.
        changes.clear();
        std::vector<AlertStatus> now = alertStates();
        for (size_t i = 0; i < now.size() && i < alertTopics.size(); ++i)
            changes.emplace_back(i, now[i].active);
    }
    // One at a time: a raise and its clear both go out unless the broker is behind.
    for (auto [index, raised] : changes) {
        if (index >= alertTopics.size()) continue;
        queue({alertTopics[index], raised ? "ON" : "OFF", true});
        flush();
    }
}

void MqttWorker::signal() {
    uint64_t one = 1;
    if (write(wakeFd.get(), &one, sizeof(one)) < 0) {
        // A full counter is readable already.
    }
}

void MqttWorker::drain() {
    uint64_t count;
    if (read(wakeFd.get(), &count, sizeof(count)) < 0) {
        // Nothing was pending.
    }
}

void MqttWorker::report(const std::function<void(Events&)>& change) {
    NoCancel keep;
    {
        MutexLock lock(eventsMutex);
        change(events);
    }
    signal();
}

MqttWorker::Events MqttWorker::takeEvents() {
    MutexLock lock(eventsMutex);
    Events taken = std::move(events);
    events = Events();
    return taken;
}

void MqttWorker::onConnect(mosquitto*, void* self, int code) {
    static_cast<MqttWorker*>(self)->report([code](Events& e) { e.connack = code; });
}

void MqttWorker::onDisconnect(mosquitto* client, void* self, int code) {
    MqttWorker* worker = static_cast<MqttWorker*>(self);
    // Marks the connection ended, so that the library's loop returns instead
    // of reconnecting on its own.
    if (!worker->stopping.load()) mosquitto_disconnect(client);
    worker->report([code](Events& e) {
        e.ended = true;
        e.endCode = code;
    });
}

void MqttWorker::onPublish(mosquitto*, void* self, int) {
    MqttWorker* worker = static_cast<MqttWorker*>(self);
    worker->publishes.fetch_add(1, std::memory_order_relaxed);
    long left = worker->unacknowledged.fetch_sub(1) - 1;
    if ((left <= ROOM_AGAIN && worker->waitingForRoom.exchange(false)) ||
        (left == 0 && worker->stopping.load())) {
        NoCancel keep;
        worker->signal();
    }
}

void MqttWorker::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    std::string payload(static_cast<const char*>(message->payload),
                        static_cast<size_t>(message->payloadlen));
    if (strcmp(message->topic, HA_STATUS_TOPIC) != 0 || payload != ONLINE) return;
    static_cast<MqttWorker*>(self)->report([](Events& e) { e.homeAssistantOnline = true; });
}

void MqttWorker::onLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR) return;
    std::string message = text;
    static_cast<MqttWorker*>(self)->report([&message](Events& e) {
        if (e.error.empty()) e.error = message;
    });
}

void MqttWorker::run() {
    nextAttemptMs = bootMs();
    while (!shouldShutdown.load()) {
        int64_t now = bootMs();
        if (client == nullptr && now >= nextAttemptMs) {
            attempt(now);
            continue;
        }
        int64_t due = client == nullptr ? nextAttemptMs : connected ? nextDueMs : attemptEndMs;
        int timeoutMs = shutdownWaitMs();
        if (due != PublishPlan::NEVER) {
            int64_t left = std::max<int64_t>(0, std::min<int64_t>(due - now, INT_MAX));
            if (timeoutMs < 0 || left < timeoutMs) timeoutMs = static_cast<int>(left);
        }
        if (waitReadable(wakeFd.get(), timeoutMs, shutdownEventFd()) > 0) drain();
        if (shouldShutdown.load()) break;
        handleEvents(bootMs());
        if (connected) publishDue();
    }
    stop();
    MutexLock lock(finishedMutex);
    finished = true;
    finishedChanged.notify_all();
}

bool MqttWorker::waitFinished(int ms) {
    MutexLock lock(finishedMutex);
    return lock.waitFor(finishedChanged, std::chrono::milliseconds(ms),
                        [this]() REQUIRES(finishedMutex) { return finished; });
}

void MqttWorker::attempt(int64_t now) {
    std::string error;
    failure.clear();
    bool reached = connectTo(config.host, config.port, PROBE_TIMEOUT_MS, &error).valid();
    now = bootMs();  // the probe may have taken seconds
    if (!reached) {
        noteFailure(LOG_STAT, "cannot reach MQTT broker " + where + ": " + error);
        retryLater(now);
        return;
    }
    if (shouldShutdown.load()) return;
    takeEvents();
    stopping = false;
    unacknowledged = 0;
    waitingForRoom = false;
    if (!newClient(&error)) {
        noteFailure(LOG_CRITICAL, "cannot set up the MQTT client: " + error);
        retryLater(now);
        return;
    }
    int rc = mosquitto_connect_async(client, config.host.c_str(), config.port, KEEPALIVE_S);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(client);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = libraryError(rc);
        Events e = takeEvents();
        if (!e.error.empty()) error = e.error;
        mosquitto_destroy(client);
        client = nullptr;
        noteFailure(rc == MOSQ_ERR_TLS ? LOG_CRITICAL : LOG_STAT,
                    "cannot connect to MQTT broker " + where + ": " + error);
        retryLater(now);
        return;
    }
    attemptEndMs = now + CONNECT_TIMEOUT_MS;
}

bool MqttWorker::newClient(std::string* error) {
    client = mosquitto_new(config.clientId.c_str(), true, this);
    if (client == nullptr) {
        *error = libraryError(MOSQ_ERR_ERRNO);
        return false;
    }
    mosquitto_connect_callback_set(client, onConnect);
    mosquitto_disconnect_callback_set(client, onDisconnect);
    mosquitto_message_callback_set(client, onMessage);
    mosquitto_publish_callback_set(client, onPublish);
    mosquitto_log_callback_set(client, onLog);
    // The worker reconnects itself; should the library's loop ever retry on
    // its own, it backs off the same way.
    mosquitto_reconnect_delay_set(client, FIRST_RETRY_MS / 1000, MAX_RETRY_MS / 1000, true);
    // Every message handed over goes out in order at once (the worker bounds
    // how many): none waits behind the acknowledgements of others, to be
    // dropped by the disconnect at a stop.
    mosquitto_max_inflight_messages_set(client, 0);
    std::string status = statusTopic(config.prefix);
    int rc =
        mosquitto_will_set(client, status.c_str(), sizeof(OFFLINE) - 1, OFFLINE, config.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config.username.empty()) {
        const char* password = config.passwordFile.empty() ? nullptr : config.password.c_str();
        rc = mosquitto_username_pw_set(client, config.username.c_str(), password);
    }
    if (rc == MOSQ_ERR_SUCCESS && config.tls) {
        auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        // The broker's certificate is always verified, its host name included.
        rc = mosquitto_tls_set(client, config.caFile.c_str(), nullptr, orNull(config.certFile),
                               orNull(config.keyFile), nullptr);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(client, 1, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(client, false);
    }
    if (rc == MOSQ_ERR_SUCCESS) return true;
    *error = libraryError(rc);
    mosquitto_destroy(client);
    client = nullptr;
    return false;
}

void MqttWorker::handleEvents(int64_t now) {
    if (client == nullptr) return;
    Events e = takeEvents();
    if (e.connack == 0 && !connected) connectedNow(now);
    if (!connected && e.connack > 0)
        noteFailure(LOG_CRITICAL, "MQTT broker " + where + " refused the connection: " +
                                      mosquitto_connack_string(e.connack));
    if (!connected && !e.error.empty())
        noteFailure(LOG_CRITICAL, "MQTT broker " + where + ": " + e.error);
    if (e.ended) {
        endClient(false);
        if (connected) {
            connected = false;
            pending = true;  // lines need no wake-up until the next connection
            reconnects.fetch_add(1, std::memory_order_relaxed);
            logEvent(LOG_STAT, "lost MQTT broker " + where);
            if (now - connectedMs >= MqttPublisher::STABLE_CONNECTION_MS) retryMs = FIRST_RETRY_MS;
        } else {
            noteFailure(LOG_STAT, "cannot connect to MQTT broker " + where + ": " +
                                      mosquitto_strerror(e.endCode));
        }
        retryLater(now);
        return;
    }
    if (connected) {
        if (e.homeAssistantOnline) {
            for (const MqttMessage& m : discovery) queue(m);
            plan.reset();  // the values too: they are not retained
        }
        return;
    }
    // After an error the library's thread may have ended without a word; an
    // attempt that stays silent is given up.
    if (!e.error.empty() || now >= attemptEndMs) {
        noteFailure(LOG_STAT, "MQTT broker " + where + " did not accept the connection within " +
                                  std::to_string(CONNECT_TIMEOUT_MS / 1000) + " s");
        stopping = true;
        mosquitto_disconnect(client);
        endClient(true);
        retryLater(now);
    }
}

void MqttWorker::connectedNow(int64_t now) {
    connected = true;
    connectedMs = now;
    failureLogged[0] = failureLogged[1] = false;
    logEvent(LOG_STAT, "connected to MQTT broker " + where);
    if (config.discovery) mosquitto_subscribe(client, nullptr, HA_STATUS_TOPIC, config.qos);
    outbox.clear();  // the broker hears the current state from the start
    queue({statusTopic(config.prefix), ONLINE, true});
    for (const MqttMessage& m : discovery) queue(m);
    plan.reset();
    if (alertTopics.empty()) return;
    MutexLock lock(alertsMutex);
    alertsResync = true;
}

void MqttWorker::endClient(bool force) {
    mosquitto_loop_stop(client, force);
    mosquitto_destroy(client);
    client = nullptr;
    takeEvents();
}

void MqttWorker::noteFailure(int level, const std::string& why) {
    if (!failure.empty()) return;
    failure = why;
    failureLevel = level;
}

void MqttWorker::retryLater(int64_t now) {
    nextAttemptMs = now + retryMs;
    retryMs = std::min(retryMs * 2, MAX_RETRY_MS);
    std::string why = std::move(failure);
    failure.clear();
    if (why.empty()) return;
    int kind = failureLevel == LOG_CRITICAL ? 0 : 1;
    if (failureLogged[kind] && now - lastFailureLogMs[kind] < FAILURE_LOG_GAP_MS) return;
    failureLogged[kind] = true;
    lastFailureLogMs[kind] = now;
    logEvent(failureLevel, why);
}

void MqttWorker::publishDue() {
    // Lines from here on wake the worker again.
    pending = false;
    int64_t now = bootMs();
    int64_t nowS = now / 1000;
    std::vector<SensorSnapshot> snapshots;
    snapshots.reserve(names.size());
    for (const NameAndSensor& name : names) snapshots.push_back(name.sensor->snapshot(nowS));
    nextDueMs = PublishPlan::NEVER;
    for (MqttMessage& m : plan.update(snapshots, now, &nextDueMs)) queue(std::move(m));
    flush();
    if (!alertTopics.empty()) publishAlerts();
}

void MqttWorker::queue(MqttMessage message) {
    if (outbox.put(std::move(message))) dropped.fetch_add(1, std::memory_order_relaxed);
}

void MqttWorker::flush() {
    while (!outbox.empty()) {
        if (unacknowledged.load() >= MqttPublisher::MAX_UNACKNOWLEDGED) {
            waitingForRoom = true;
            // An acknowledgement that came before the flag was set woke nobody.
            if (unacknowledged.load() > ROOM_AGAIN) return;
            waitingForRoom = false;
        }
        send(outbox.take());
    }
}

void MqttWorker::send(const MqttMessage& m) {
    unacknowledged.fetch_add(1);  // before: the acknowledgement may come first
    if (mosquitto_publish(client, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                          m.payload.data(), config.qos, m.retain) != MOSQ_ERR_SUCCESS)
        unacknowledged.fetch_sub(1);
}

void MqttWorker::stop() {
    if (client == nullptr) return;
    stopping = true;
    const int64_t end = bootMs() + DISCONNECT_WAIT_MS;
    if (connected) {
        for (const MqttMessage& m : plan.offline()) send(m);
        send({statusTopic(config.prefix), OFFLINE, true});
        // Acknowledged before the disconnect: libmosquitto drops a connection
        // that receives an acknowledgement after it, with what is still unsent.
        waitUntil(end, [this] { return unacknowledged.load() <= 0; });
    }
    mosquitto_disconnect(client);
    bool ended = waitUntil(end, [] { return false; });
    endClient(!ended);
    connected = false;
}

bool MqttWorker::waitUntil(int64_t endMs, const std::function<bool()>& done) {
    // The shutdown event stays readable now: wait on the worker's own.
    for (int64_t now = bootMs();; now = bootMs()) {
        {
            MutexLock lock(eventsMutex);
            if (events.ended) return true;
        }
        if (done() || now >= endMs) return false;
        if (waitReadable(wakeFd.get(), static_cast<int>(endMs - now), -1) > 0) drain();
    }
}

MqttPublisher::MqttPublisher(SensorManager* sensors) : sensors(sensors) {}

MqttPublisher::~MqttPublisher() {
    stop();
}

void MqttPublisher::stop() {
    if (!thread.joinable()) return;
    requestShutdown();
    if (worker->waitFinished(STOP_WAIT_MS)) {
        thread.join();
        mosquitto_lib_cleanup();
    } else {
        // Stuck in a blocking call of the library: the process ends without it.
        thread.detach();
    }
}

bool MqttPublisher::setUp(const MqttConfig& config) {
    int rc = mosquitto_lib_init();
    if (rc != MOSQ_ERR_SUCCESS) {
        logEvent(LOG_CRITICAL,
                 std::string("cannot initialise the MQTT library: ") + mosquitto_strerror(rc));
        return false;
    }
    std::vector<NameAndSensor> names;
    sensors->forEachName([&](const std::string& name, Sensor* sensor) {
        names.push_back({name, sensor});
    });
    worker = std::make_shared<MqttWorker>(config, std::move(names));
    if (!worker->valid()) {
        logEvent(LOG_CRITICAL,
                 "cannot set up the MQTT publisher: " +
                     systemError("create its wake-up event", worker->invalidBecause()));
        worker.reset();
        return false;
    }
    std::shared_ptr<MqttWorker> w = worker;
    sensors->forEachSensor([&w](Sensor* sensor) {
        sensor->addLineListener([w](const SensorSnapshot&, int64_t) { w->sensorChanged(); });
    });
    return true;
}

MqttPublisher::AlertChanged MqttPublisher::followAlerts(
    const std::vector<AlertStatus>& alerts, std::function<std::vector<AlertStatus>()> states) {
    if (!worker) return nullptr;
    worker->followAlerts(alerts, std::move(states));
    // The worker, not the publisher: a reader thread may still report while the process ends.
    std::shared_ptr<MqttWorker> w = worker;
    return [w](size_t index, bool raised) { w->alertChanged(index, raised); };
}

bool MqttPublisher::start() {
    if (!worker) return false;
    std::shared_ptr<MqttWorker> w = worker;
    std::string error;
    if (startThread(
            &thread, [w] { w->run(); }, &error))
        return true;
    logEvent(LOG_CRITICAL, "cannot start the MQTT publisher: " + error);
    return false;
}

std::string MqttPublisher::families() const {
    bool connected = worker && worker->connected.load();
    uint64_t publishes = worker ? worker->publishes.load() : 0;
    uint64_t reconnects = worker ? worker->reconnects.load() : 0;
    uint64_t dropped = worker ? worker->dropped.load() : 0;
    PrometheusText out;
    out.family("sensomark_mqtt_connected", "gauge",
               "1 while the daemon is connected to its MQTT broker.");
    out.sample("sensomark_mqtt_connected", connected);
    out.family("sensomark_mqtt_publishes_total", "counter",
               "MQTT messages the broker acknowledged (qos 1) or that were written to its "
               "connection (qos 0).");
    out.sample("sensomark_mqtt_publishes_total", publishes);
    out.family("sensomark_mqtt_reconnects_total", "counter",
               "Times the connection to the MQTT broker was lost.");
    out.sample("sensomark_mqtt_reconnects_total", reconnects);
    out.family("sensomark_mqtt_dropped_total", "counter",
               "MQTT messages replaced by a newer one of the same topic while the broker had " +
                   std::to_string(MAX_UNACKNOWLEDGED) + " messages unacknowledged.");
    out.sample("sensomark_mqtt_dropped_total", dropped);
    return out.text();
}
