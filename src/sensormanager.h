// The registry: owns every Sensor and the names clients ask for them by.
// Filled on the start-up thread; afterwards client threads only query it.
#pragma once
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "sensor.h"

class SensorManager {
  public:
    SensorManager() = default;
    // Stops the readers, waits a bounded time for them to leave, then deletes
    // the sensors (left alone if a reader is still inside).
    virtual ~SensorManager();
    SensorManager(const SensorManager&) = delete;
    SensorManager& operator=(const SensorManager&) = delete;

    // Creates and registers a sensor; the device is not opened yet.
    Sensor* newSensor(std::string deviceName);
    // Maps name to sensor, replacing an earlier mapping of that name.
    void nameSensor(Sensor* sensor, std::string name);
    // Starts one reader thread per sensor, in creation order.
    void createThreads();
    // Number of sensors (not names). Start-up thread only.
    int sensorCount() const { return static_cast<int>(sensors.size()); }

    // Reply text for a query name "NAME.N": empty when there is no full stop
    // or no sensor has that name, else the sensor's reading of quantity N.
    std::string getReading(std::string name);

    // Under the registry lock: calls perName for every name in name order,
    // then perSensor for every sensor in creation order.
    void visit(const std::function<void(const std::string& name, Sensor* sensor)>& perName,
               const std::function<void(Sensor* sensor)>& perSensor);

    // Reads a selector like strtol with base 10, saturating at the int range.
    static int parseSelector(const char* selector);

    // Called by a reader thread as its last touch of its sensor.
    void readerStopped();

  private:
    // Guarded by mutex.
    std::mutex mutex;
    std::list<Sensor*> sensors;
    std::map<std::string, Sensor*, std::less<>> sensorsByName;

    // Guarded by readersMutex; never taken together with mutex.
    std::mutex readersMutex;
    std::condition_variable readersGone;
    int readersRunning = 0;
};
