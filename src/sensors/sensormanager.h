// The registry: owns every Sensor and the names clients ask for them by.
// Filled on the start-up thread; afterwards client, web and MQTT threads query
// it, and reader threads report to it through the listener it gives each
// sensor. Lock order: the registry's mutex before a sensor's; readersMutex is
// never held with either.
#pragma once
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "mutex.h"
#include "sample.h"
#include "sensor.h"

class SensorManager {
  public:
    SensorManager() = default;
    // Stops the readers (stopReaders), then deletes the sensors (left alone
    // if a reader is still inside).
    ~SensorManager();
    SensorManager(const SensorManager&) = delete;
    SensorManager& operator=(const SensorManager&) = delete;

    // Creates and registers a sensor; the device is not opened yet.
    Sensor* newSensor(std::string deviceName) EXCLUDES(mutex);
    // Maps name to sensor, replacing an earlier mapping of that name.
    void nameSensor(Sensor* sensor, std::string name) EXCLUDES(mutex);
    // Starts one reader thread per sensor, in creation order.
    void createThreads() EXCLUDES(mutex, readersMutex);
    // Asks the readers to leave and waits a bounded time for them; false when
    // one is still inside (say stuck in open()) and may yet use its sensor.
    bool stopReaders() EXCLUDES(readersMutex);
    // Number of sensors (not names).
    int sensorCount() EXCLUDES(mutex);

    // Reply text for a query name "NAME.N": empty when there is no full stop
    // or no sensor has that name, else the reply of the sensor's reading of
    // quantity N.
    std::string getReading(const std::string& name) EXCLUDES(mutex);

    // The snapshot of every sensor at time now (of Sensor::clockNow()), with
    // its names, in creation order, under the registry lock.
    std::vector<SensorSnapshot> snapshots(int64_t now) EXCLUDES(mutex);

    // Under the registry lock: calls perName for every name in name order.
    void forEachName(const std::function<void(const std::string& name, Sensor* sensor)>& perName)
        EXCLUDES(mutex);
    // Under the registry lock: calls perSensor for every sensor in creation order.
    void forEachSensor(const std::function<void(Sensor* sensor)>& perSensor) EXCLUDES(mutex);

    // Called on a reader thread when its device opened or closed; set before
    // the threads start. The listener must not block.
    void setDeviceListener(std::function<void()> listener) { deviceListener = std::move(listener); }

  private:
    // What a sensor's reader thread tells the registry.
    void readerEvent(Sensor::ReaderEvent event) EXCLUDES(readersMutex);
    void readerStopped() EXCLUDES(readersMutex);

    std::function<void()> deviceListener;

    Mutex mutex{LockRank::REGISTRY};
    std::list<Sensor*> sensors GUARDED_BY(mutex);
    std::map<std::string, Sensor*, std::less<>> sensorsByName GUARDED_BY(mutex);

    Mutex readersMutex;
    std::condition_variable_any readersGone;
    int readersRunning GUARDED_BY(readersMutex) = 0;
};
