// One measuring device on a serial line. Owns its latest readings, guarded by
// mutex; its reader thread writes them, client threads read them through
// getReading while holding the registry's lock.
#pragma once
#include <pthread.h>

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class SensorManager;

class Sensor {
  public:
    enum ReadType : int { TEMPERATURE = 1, HUMIDITY = 2, DEWPOINT = 3 };

    // Pending bytes of a device line beyond which the line is dropped.
    static const size_t MAX_PENDING_LINE_BYTES = 64 * 1024;
    // Keys other than the three served ones kept per sensor; new ones beyond
    // this are ignored.
    static const size_t MAX_EXTRA_KEYS = 64;
    // Data older than this is not served.
    static const time_t MAX_AGE_S = 30;
    // Pause between losing the device and opening it again.
    static const time_t RECONNECT_PAUSE_S = 5;

    // Does not open the device and does not start the thread.
    Sensor(SensorManager* manager, std::string deviceName);
    virtual ~Sensor();
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    // Starts the detached reader thread; false (after logging) when it could
    // not be created.
    bool createThread();
    // Runs one connection to the device on the calling thread: open, read
    // until the device is lost or shutdown is requested, close.
    void startSensing();
    std::string getDeviceName() const { return deviceName; }

    // The reply text: "valid=1;value=...;" while the data is at most MAX_AGE_S
    // old and readType names a quantity, "valid=0" otherwise.
    std::string getReading(ReadType readType) { return getReadingAt(readType, time(nullptr)); }
    std::string getReadingAt(ReadType readType, time_t now);

    // Stores the pairs of one device line as received at time now. Returns
    // the number of fields ignored (no pair, or a new key beyond the bound).
    size_t storeLine(const std::string& line, time_t now);
    // When the last pair was stored; 0 before the first.
    time_t lastReadTime();

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
    void process(std::string line);

    static const char* const ReadName[4];
    static const int ReadNameCount = 3;

    const std::string deviceName;
    SensorManager* const manager;  // not owned; told when the reader ends

    // Guarded by mutex.
    std::mutex mutex;
    std::map<std::string, std::string> readContent;
    time_t readTime = 0;

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
