// sensors/: the measuring devices: the serial line (serial), a parsed device
// line and a sensor's snapshot (sample), one reader and its latest values per
// device (sensor), the corrections of devices that read off (calibration) and
// the registry of sensors and their query names (sensormanager). Entered by
// one reader thread per device, by the start-up thread that creates them, and
// by the client, web and MQTT threads, which take snapshots or, for a query,
// one reading.
//
// One measuring device on a serial line. Owns its latest values, guarded by
// mutex: its reader thread parses each device line once into a Sample,
// corrects its numbers and stores it; client threads ask for one quantity's
// reply (getReading) and every other consumer takes a SensorSnapshot, each
// under the lock once.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "calibration.h"
#include "mutex.h"
#include "protocol.h"
#include "sample.h"

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
    // The registry the sensor belongs to; null for a sensor of its own.
    SensorManager* getManager() const { return manager; }

    // Seconds on the clock that ages data: it never steps back and keeps
    // counting through a suspend.
    static int64_t clockNow();
    // The reply text to a query for quantity readType at time now (of
    // clockNow()): "valid=0" when the data is not fresh or readType names no
    // quantity.
    std::string getReading(ReadType readType) EXCLUDES(mutex) {
        return getReadingAt(readType, clockNow());
    }
    std::string getReadingAt(ReadType readType, int64_t now) EXCLUDES(mutex);
    // Everything about the sensor at time now (of clockNow()), under one lock.
    SensorSnapshot snapshot(int64_t now) EXCLUDES(mutex);

    // Stores the quantities of sample, received at time now, and counts the
    // values refused as numbers; with a calibration, sample becomes the
    // corrected values as stored. Returns the number of fields ignored (no
    // pair, or a new key beyond the bound).
    size_t store(Sample& sample, int64_t now) EXCLUDES(mutex);
    // Parses and stores one device line.
    size_t storeLine(const std::string& line, int64_t now) EXCLUDES(mutex) {
        Sample sample = parseSample(line);
        return store(sample, now);
    }

    // The corrections of the device's values; set before the thread starts.
    // The stored values are the corrected ones, which every consumer gets; the
    // device's own are kept beside them as raw.
    void setCalibration(const Calibration& newCalibration) { calibration = newCalibration; }

    // How the reader waits before it opens the device again: pause(ms) returns
    // false when shutdown was requested meanwhile. Set before the thread starts;
    // the default waits on the shutdown event.
    void setPause(std::function<bool(int ms)> newPause) { pause = std::move(newPause); }

    // Called on the reader thread after each device line with the snapshot
    // the line left, its carried quantities set (none for a line without
    // pairs), and with a snapshot that carries none when an open device is
    // lost; now is the line's time. No lock is held and it must not block.
    // Set before the thread starts.
    using LineListener = std::function<void(const SensorSnapshot& snapshot, int64_t now)>;
    void addLineListener(LineListener listener) { lineListeners.push_back(std::move(listener)); }

    // What the reader thread tells its owner: the device opened or closed, and,
    // as the reader's last touch of the sensor, that it stopped.
    enum class ReaderEvent { OPENED, CLOSED, STOPPED };
    // Called on the reader thread with no lock held; it must not block. Set
    // before the thread starts.
    using ReaderListener = std::function<void(ReaderEvent event)>;
    void setReaderListener(ReaderListener listener) { readerListener = std::move(listener); }

  private:
    void process(const std::string& line);
    // Keeps the device's own values of sample and makes it the corrected ones.
    void correct(Sample& sample) REQUIRES(mutex);
    // Counts the values of sample refused for reason.
    void countRefused(const Sample& sample, Refusal reason);
    // Logs the first value refused for reason among those of sample.
    void logRefused(const Sample& sample, Refusal reason);
    void tell(ReaderEvent event) const {
        if (readerListener) readerListener(event);
    }
    // Tells the line listeners of the state at now; carried: the quantities
    // the line set, or null.
    void tellLine(const bool* carried, int64_t now);
    int64_t ageAt(int64_t now) const REQUIRES(mutex) { return hasData ? now - readTime : -1; }

    const std::string deviceName;
    SensorManager* const manager;  // not owned
    std::function<bool(int ms)> pause;
    std::vector<LineListener> lineListeners;
    ReaderListener readerListener;
    Calibration calibration;

    Mutex mutex{LockRank::SENSOR};
    Measurement values[QUANTITY_COUNT] GUARDED_BY(mutex);
    // When calibrated: the device's own values, in selector order.
    Measurement rawValues[QUANTITY_COUNT] GUARDED_BY(mutex);
    std::set<std::string, std::less<>> otherKeys GUARDED_BY(mutex);  // at most MAX_EXTRA_KEYS
    int64_t readTime GUARDED_BY(mutex) = 0;
    bool hasData GUARDED_BY(mutex) = false;  // readTime is set

    // Written by the reader thread only.
    int lastOpenError = 0;  // why the device last failed to open; 0: it opened
    std::atomic<bool> deviceOpen{false};
    // Counters of 64 bits: years of lines on a 32-bit board.
    std::atomic<uint64_t> reconnects{0};
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> ignoredFields{0};
    std::atomic<uint64_t> refused[REFUSAL_COUNT] = {};  // by Refusal
    bool refusalLogged[REFUSAL_COUNT] = {};             // the first is logged, by Refusal

    friend void* sensorThread(void* s);
};

// Entry of a sensor's reader thread: connections and reconnect pauses until
// shutdown. s is the Sensor.
void* sensorThread(void* s);
