// What a device line says and what a sensor holds at one moment: the parsed
// Sample that the reader thread hands to the store and its listeners, and the
// SensorSnapshot that every consumer of a sensor's state takes in one go under
// the sensor's lock. Plain values; any thread may use a copy.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"

class Sensor;

// One quantity's value: the text as served, and whether it reads as a number.
struct Value {
    std::string text;        // "" when the device never sent it
    bool hasNumber = false;  // text reads as a decimal number
    double number = 0;       // when hasNumber
};

// One device line, parsed once.
struct Sample {
    Value values[QUANTITY_COUNT];        // in selector order
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
// value as a served Value: its text and, if it reads as one, its number.
Value makeValue(std::string text);

// The reading of value at age ageS (-1: never): its text and number only
// while the data is fresh.
Reading readingOf(const Value& value, int64_t ageS);

// A sensor at one moment.
struct SensorSnapshot {
    std::string device;  // the configured path
    bool open = false;   // the device is open
    uint64_t reconnects = 0;
    uint64_t lines = 0;
    uint64_t ignoredFields = 0;
    int64_t ageS = -1;             // since the device last delivered data; -1 before that
    bool fresh = false;            // isFresh(ageS): values are served
    Value values[QUANTITY_COUNT];  // the latest of each quantity, in selector order
    // Where a calibration changes the quantity's value: the device's own.
    bool corrected[QUANTITY_COUNT] = {};
    Value raw[QUANTITY_COUNT];

    // The value of quantity q (selector - 1) is served as a number.
    bool served(int q) const { return fresh && values[q].hasNumber; }
    // The reply-side view of quantity q (selector - 1).
    Reading reading(int q) const;
};

// One sensor with its names (in name order; none when every name it had was
// given to another sensor) and its snapshot.
struct NamedSnapshot {
    const Sensor* sensor = nullptr;  // identity only: the key of its history
    std::vector<std::string> names;
    SensorSnapshot snapshot;
};
