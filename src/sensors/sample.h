// What a device line says and what a sensor holds at one moment: the Sample
// of one line, parsed once, that the reader thread corrects and stores, and
// the SensorSnapshot that carries a sensor's state to every output (the web
// port, MQTT, the history), taken in one go under the sensor's lock. Plain
// values; any thread may use a copy.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"

class Sensor;

// The largest magnitude of a number that is served as one: the history
// stores floats. A number beyond it, or one that is not finite, is served as
// a number nowhere (query replies keep the device's text).
const double MAX_STORED_NUMBER = std::numeric_limits<float>::max();
inline bool storable(double number) {
    return std::fabs(number) <= MAX_STORED_NUMBER;  // false for NaN
}

// Why a value is served without a number although its text reads as one.
enum class Refusal : uint8_t {
    NONE,
    RANGE,        // the device's number is not storable()
    CALIBRATION,  // its correction, or the dew point of corrected values, is not
};
const int REFUSAL_COUNT = 3;  // indexed by Refusal; NONE is never counted
// The reason label of the metric: "range", "calibration".
const char* refusalName(Refusal refusal);

// One quantity's value as served: the text of query replies and, read once,
// its number.
struct Measurement {
    std::string text;        // "" when the device never sent it
    bool hasNumber = false;  // text reads as a decimal number, and it is storable()
    double number = 0;       // when hasNumber; when refused, the number refused
    Refusal refused = Refusal::NONE;
};

// One device line, parsed once.
struct Sample {
    Measurement values[QUANTITY_COUNT];  // in selector order
    bool has[QUANTITY_COUNT] = {};       // the line carried the quantity
    std::vector<std::string> otherKeys;  // keys of the line that name no quantity
    size_t notPairs = 0;                 // fields that are no key=value pair
};

// The key and value pairs of one device line, in line order: fields split at
// spaces, each field split at "=" into exactly two pieces, the value cut to
// its leading digits and full stops (after an optional minus sign). ignored,
// when given, receives the number of fields that are no pair.
std::vector<std::pair<std::string, std::string>> parseLine(const std::string& line,
                                                           size_t* ignored = nullptr);
// The sample of one device line; a key given twice keeps its last value.
Sample parseSample(const std::string& line);
// text as a Measurement: with its number when it reads as a decimal number
// that is storable(), refused for RANGE when it reads as one that is not.
Measurement measurementOf(std::string text);

// A sensor at one moment: the one carrier of its state to every output.
struct SensorSnapshot {
    const Sensor* sensor = nullptr;  // identity only: the key of its history
    std::string device;              // the configured path
    // Filled by the registry (SensorManager::snapshots): the names the sensor
    // is queried by, in name order; none when each went to another sensor.
    std::vector<std::string> names;
    bool open = false;  // the device is open
    uint64_t reconnects = 0;
    uint64_t lines = 0;
    uint64_t ignoredFields = 0;
    uint64_t refused[REFUSAL_COUNT] = {};  // values served without their number, by Refusal
    int64_t ageS = -1;                     // since the device last delivered data; -1 before that
    bool fresh = false;                    // isFresh(ageS): replies say valid=1
    Measurement values[QUANTITY_COUNT];    // the latest of each quantity, in selector order
    // Where a calibration changes the quantity's value: the device's own.
    bool corrected[QUANTITY_COUNT] = {};
    Measurement raw[QUANTITY_COUNT];
    // Only in the snapshot that a line listener gets: the quantities the line
    // set (with a calibration, the dew point follows either of its pair).
    bool carried[QUANTITY_COUNT] = {};

    // A number is served for quantity q (selector - 1): values[q].number. The
    // one rule of every output that serves numbers.
    bool served(int q) const { return fresh && values[q].hasNumber; }
};
