// sensors/: the measuring devices: the serial line (serial), one reader and
// its latest values per device (sensor), the corrections of devices that read
// off (calibration) and the registry of sensors and their query names
// (sensormanager). Entered by one reader thread per device, by
// the start-up thread that creates them, and by the client, web and MQTT
// threads, which read through the registry.
//
// One measuring device on a serial line. Owns its latest values, guarded by
// mutex: its reader thread stores them, client and metrics threads take
// Reading snapshots of them while holding the registry's lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "calibration.h"
#include "mutex.h"
#include "protocol.h"

class SensorManager;

class Sensor {
  public:
    // Pending bytes of a device line beyond which the line is dropped.
    static constexpr size_t MAX_PENDING_LINE_BYTES = 64 * 1024;
    // Keys other than the three served ones kept per sensor; new ones beyond
    // this are ignored.
    static constexpr size_t MAX_EXTRA_KEYS = 64;
    // Pause between losing the device and opening it again.
    static constexpr int RECONNECT_PAUSE_MS = 5000;

    // Does not open the device and does not start the thread.
    Sensor(SensorManager* manager, std::string deviceName);
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    // Starts the detached reader thread; false (after logging) when it could
    // not be created.
    bool createThread();
    // Runs one connection to the device on the calling thread: open, read
    // until the device is lost or shutdown is requested, close.
    void startSensing();
    const std::string& getDeviceName() const { return deviceName; }

    // Seconds on the clock that ages data: it never steps back and keeps
    // counting through a suspend.
    static int64_t clockNow();
    // The snapshot of quantity readType at time now (of clockNow()); not fresh
    // when readType names no quantity.
    Reading getReading(ReadType readType) EXCLUDES(mutex) {
        return getReadingAt(readType, clockNow());
    }
    Reading getReadingAt(ReadType readType, int64_t now) EXCLUDES(mutex);

    // Stores the pairs of one device line as received at time now. Returns
    // the number of fields ignored (no pair, or a new key beyond the bound).
    size_t storeLine(const std::string& line, int64_t now) EXCLUDES(mutex);

    // The corrections of the device's values; set before the thread starts.
    // Stored values are the corrected ones, served everywhere; the device's
    // own are kept beside them for getReading's raw.
    void setCalibration(const Calibration& newCalibration) { calibration = newCalibration; }

    // How the reader waits before it opens the device again: pause(ms) returns
    // false when shutdown was requested meanwhile. Set before the thread starts;
    // the default waits on the shutdown event.
    void setPause(std::function<bool(int ms)> newPause) { pause = std::move(newPause); }

    // Called on the reader thread after each device line (stored or not) and
    // once more when an open device is lost, with no lock held; it must not
    // block. Set before the thread starts.
    using StoreListener = std::function<void(Sensor& sensor, int64_t now)>;
    void addStoreListener(StoreListener listener) { storeListeners.push_back(std::move(listener)); }

    // Counters of the reader thread, readable from any thread.
    bool isOpen() const { return deviceOpen.load(std::memory_order_relaxed); }
    unsigned long reconnectCount() const { return reconnects.load(std::memory_order_relaxed); }
    unsigned long lineCount() const { return lines.load(std::memory_order_relaxed); }
    unsigned long ignoredFieldCount() const {
        return ignoredFields.load(std::memory_order_relaxed);
    }

    // The key and value pairs of one device line, in line order: fields split
    // at spaces, each field split at "=" into exactly two pieces, the value cut
    // to its leading digits and full stops (after an optional minus sign).
    // ignored, when given, receives the number of fields that are no pair.
    static std::vector<std::pair<std::string, std::string>> parseLine(const std::string& line,
                                                                      size_t* ignored = nullptr);

  private:
    void process(const std::string& line);

    const std::string deviceName;
    SensorManager* const manager;  // not owned; told when the reader ends
    std::function<bool(int ms)> pause;
    std::vector<StoreListener> storeListeners;
    Calibration calibration;

    Mutex mutex;
    std::map<std::string, std::string> readContent GUARDED_BY(mutex);
    // When calibrated: the device's own texts of the quantities, in selector order.
    std::string rawContent[QUANTITY_COUNT] GUARDED_BY(mutex);
    int64_t readTime GUARDED_BY(mutex) = 0;
    bool hasData GUARDED_BY(mutex) = false;  // readTime is set

    // Written by the reader thread only.
    std::atomic<bool> deviceOpen{false};
    std::atomic<unsigned long> reconnects{0};
    std::atomic<unsigned long> lines{0};
    std::atomic<unsigned long> ignoredFields{0};

    friend void* sensorThread(void* s);
};

// Entry of a sensor's reader thread: connections and reconnect pauses until
// shutdown. s is the Sensor.
void* sensorThread(void* s);
