// The sensor registry and query name resolution.
#include "sensormanager.h"

#include <chrono>

#include "protocol.h"
#include "sighandler.h"

namespace {
// Readers leave at once when shutdown is requested; this leaves room for a
// loaded machine.
const auto READERS_EXIT_WAIT = std::chrono::milliseconds(2000);
}  // namespace

SensorManager::~SensorManager() {
    bool stopped = stopReaders();
    MutexLock lock(mutex);
    if (!stopped) return;   // a reader is stuck (say in open()); it may still use its sensor
    sensorsByName.clear();  // a straggling query then finds no name instead of a freed sensor
    for (Sensor* sensor : sensors) delete sensor;
    sensors.clear();
}

bool SensorManager::stopReaders() {
    MutexLock lock(readersMutex);
    if (readersRunning <= 0) return true;  // none started (a test may run one by hand)
    requestShutdown();
    return lock.waitFor(readersGone, READERS_EXIT_WAIT,
                        [this]() REQUIRES(readersMutex) { return readersRunning == 0; });
}

Sensor* SensorManager::newSensor(std::string deviceName) {
    MutexLock lock(mutex);
    Sensor* sensor = new Sensor(this, std::move(deviceName));
    sensor->setReaderListener([this](Sensor::ReaderEvent event) { readerEvent(event); });
    sensors.push_back(sensor);
    return sensor;
}

void SensorManager::nameSensor(Sensor* sensor, std::string name) {
    MutexLock lock(mutex);
    sensorsByName[std::move(name)] = sensor;
}

int SensorManager::sensorCount() {
    MutexLock lock(mutex);
    return static_cast<int>(sensors.size());
}

void SensorManager::createThreads() {
    MutexLock lock(mutex);
    for (Sensor* sensor : sensors) {
        {
            MutexLock readers(readersMutex);
            ++readersRunning;
        }
        if (!sensor->createThread()) readerStopped();
    }
}

void SensorManager::readerEvent(Sensor::ReaderEvent event) {
    if (event == Sensor::ReaderEvent::STOPPED) {
        readerStopped();
    } else if (deviceListener) {
        deviceListener();
    }
}

void SensorManager::readerStopped() {
    MutexLock lock(readersMutex);
    --readersRunning;
    readersGone.notify_all();
}

std::string SensorManager::getReading(const std::string& name) {
    QueryName query;
    if (!splitQueryName(name, &query)) return UNKNOWN_NAME_REPLY;
    MutexLock lock(mutex);
    auto it = sensorsByName.find(query.sensor);
    if (it == sensorsByName.end()) return UNKNOWN_NAME_REPLY;
    return it->second->getReading(static_cast<ReadType>(query.selector));
}

void SensorManager::forEachName(const std::function<void(const std::string&, Sensor*)>& perName) {
    MutexLock lock(mutex);
    for (const auto& entry : sensorsByName) perName(entry.first, entry.second);
}

void SensorManager::forEachSensor(const std::function<void(Sensor*)>& perSensor) {
    MutexLock lock(mutex);
    for (Sensor* sensor : sensors) perSensor(sensor);
}

std::vector<SensorSnapshot> SensorManager::snapshots(int64_t now) {
    std::vector<SensorSnapshot> all;
    MutexLock lock(mutex);
    std::map<const Sensor*, size_t> at;
    for (Sensor* sensor : sensors) {
        at[sensor] = all.size();
        all.push_back(sensor->snapshot(now));
    }
    for (const auto& entry : sensorsByName) all[at[entry.second]].names.push_back(entry.first);
    return all;
}
