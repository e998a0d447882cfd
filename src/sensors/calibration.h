// Corrections of what a device measures: the keys of section [calibration],
// read once at start-up, and their application to the values of one device.
// Pure functions and plain values; any thread may use them.
//
// A value of the section is a list of entries separated by ",", each a
// quantity followed by one of
//   an offset with its sign:     temperature +0.4
//   a factor and an offset:      humidity 1.02 -2.5
//   two or more points:          temperature 0.3->0.0 39.6->40.0
// and every corrected value is measured x factor + offset. A correction must
// keep every plausible value of its quantity (Quantity::low..high) storable().
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"
#include "sample.h"

// true = measured x factor + offset.
struct Correction {
    bool active = false;
    double factor = 1;
    double offset = 0;
};

// The corrections of one device, by quantity. The dew point is never
// corrected itself: it is recomputed whenever temperature or humidity is.
struct Calibration {
    Correction temperature, humidity;

    bool active() const { return temperature.active || humidity.active; }
    // Whether the served value of quantity type differs from the device's own.
    bool changes(ReadType type) const;
    // The served values of the quantities (in selector order) from the values
    // the device sent (measured, in the same order).
    void apply(const Measurement measured[QUANTITY_COUNT],
               Measurement served[QUANTITY_COUNT]) const;
};

// Reads one value of the section into *calibration; false with *error saying
// what is wrong (without the key).
bool parseCalibration(const std::string& value, Calibration* calibration, std::string* error);

// The calibrations of section [calibration] (pairs of device path and value,
// in file order) for the devices the daemon reads. False with *error set to
// the one log line of the first problem: an unreadable value, or a device
// that is not among devices.
bool readCalibrations(const std::vector<std::pair<std::string, std::string>>& keys,
                      const std::vector<std::string>& devices,
                      std::map<std::string, Calibration>* calibrations, std::string* error);

// measured after an active correction of quantity type: its text has as many
// decimals as measured's (at most MAX_DECIMALS); relative humidity stays
// within 0..100. No number (and no text) when measured has none, refused
// for CALIBRATION when the corrected number is not storable().
Measurement correctMeasurement(const Correction& correction, ReadType type,
                               const Measurement& measured);
const int MAX_DECIMALS = 6;

// Dew point in °C of temperature (°C) and relative humidity (%) by the Magnus
// formula; false when humidity is not above 0 (no dew point). Humidity above
// 100 counts as 100. *dewPoint is not finite where the formula has no value.
bool magnusDewPoint(double temperature, double humidity, double* dewPoint);
