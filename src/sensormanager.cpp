// The sensor registry and query name resolution.
#include "sensormanager.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "sighandler.h"

namespace {
// Readers see the shutdown flag within one 200 ms step; this leaves room for
// a loaded machine.
const auto READERS_EXIT_WAIT = std::chrono::milliseconds(2000);
}  // namespace

SensorManager::~SensorManager() {
    bool stopped = true;
    {
        std::unique_lock<std::mutex> lock(readersMutex);
        if (readersRunning > 0) {
            shouldShutdown.store(1);
            stopped = readersGone.wait_for(lock, READERS_EXIT_WAIT,
                                           [this] { return readersRunning == 0; });
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopped) return;   // a reader is stuck (say in open()); it may still use its sensor
    sensorsByName.clear();  // a straggling query then finds no name instead of a freed sensor
    for (Sensor* sensor : sensors) delete sensor;
    sensors.clear();
}

Sensor* SensorManager::newSensor(std::string deviceName) {
    std::lock_guard<std::mutex> lock(mutex);
    Sensor* sensor = new Sensor(this, std::move(deviceName));
    sensors.push_back(sensor);
    return sensor;
}

void SensorManager::nameSensor(Sensor* sensor, std::string name) {
    std::lock_guard<std::mutex> lock(mutex);
    sensorsByName[std::move(name)] = sensor;
}

void SensorManager::createThreads() {
    std::lock_guard<std::mutex> lock(mutex);
    for (Sensor* sensor : sensors) {
        {
            std::lock_guard<std::mutex> readers(readersMutex);
            ++readersRunning;
        }
        if (!sensor->createThread()) readerStopped();
    }
}

void SensorManager::readerStopped() {
    std::lock_guard<std::mutex> lock(readersMutex);
    --readersRunning;
    readersGone.notify_all();
}

int SensorManager::parseSelector(const char* selector) {
    long value = strtol(selector, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string SensorManager::getReading(std::string name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "";
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sensorsByName.find(std::string_view(name).substr(0, dot));
    if (it == sensorsByName.end()) return "";
    int selector = parseSelector(name.c_str() + dot + 1);
    return it->second->getReading(static_cast<Sensor::ReadType>(selector));
}

void SensorManager::visit(const std::function<void(const std::string&, Sensor*)>& perName,
                          const std::function<void(Sensor*)>& perSensor) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : sensorsByName) perName(entry.first, entry.second);
    for (Sensor* sensor : sensors) perSensor(sensor);
}
