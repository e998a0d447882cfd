// The Prometheus exposition of the web port's /metrics: readings per sensor
// name, counters per device, and the query service's counters. Pure: the
// caller brings the snapshots; any thread may call it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sample.h"

// The query service's counters, read through functions that the daemon's
// start-up hands to the web port; each may be called from any thread.
struct ServiceCounters {
    std::function<int()> clients;        // query clients being served
    std::function<uint64_t()> requests;  // query requests answered
};

// The exposition text of sensors (every sensor, in creation order) and service.
std::string exposition(const std::vector<SensorSnapshot>& sensors, const ServiceCounters& service);
