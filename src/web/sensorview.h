// A snapshot of the registry for the status page and the JSON endpoints:
// each device with its names, state and readings, taken under the registry's
// lock in one go.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "history.h"
#include "protocol.h"

class Sensor;
class SensorManager;

struct DeviceView {
    const Sensor* sensor = nullptr;  // the key of its history
    std::string device;              // the configured path
    std::vector<std::string> names;  // in name order
    bool open = false;
    unsigned long reconnects = 0;
    Reading readings[QUANTITY_COUNT];  // in selector order
};

// Every device that has a name, in creation order, at time now (of Sensor::clockNow()).
std::vector<DeviceView> viewDevices(SensorManager& sensors, int64_t now);

// The history of device for range ending with the UTC minute nowMinute; every
// bucket a gap when history does not follow it.
HistorySeries seriesOf(const History& history, const DeviceView& device, HistoryRange range,
                       int64_t nowMinute);
