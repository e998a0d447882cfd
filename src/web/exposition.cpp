// The families of /metrics, each once with HELP and TYPE, even when empty.
#include "exposition.h"

#include <algorithm>
#include <set>

#include "prometheus.h"

namespace {
struct NameAndSnapshot {
    const std::string* name;
    const SensorSnapshot* snapshot;
};

// Every sensor name with its sensor's snapshot, in name order.
std::vector<NameAndSnapshot> byName(const std::vector<SensorSnapshot>& sensors) {
    std::vector<NameAndSnapshot> named;
    for (const SensorSnapshot& sensor : sensors)
        for (const std::string& name : sensor.names) named.push_back({&name, &sensor});
    std::sort(named.begin(), named.end(),
              [](const NameAndSnapshot& a, const NameAndSnapshot& b) { return *a.name < *b.name; });
    return named;
}
}  // namespace

std::string exposition(const std::vector<SensorSnapshot>& sensors, const ServiceCounters& service) {
    const std::vector<NameAndSnapshot> named = byName(sensors);
    PrometheusText out;
    for (const Quantity& q : QUANTITIES) {
        out.family(q.metric, "gauge", q.help);
        for (const NameAndSnapshot& n : named)
            if (n.snapshot->served(q.type - 1))
                out.sample(q.metric, {{"sensor", *n.name}}, n.snapshot->values[q.type - 1].text);
    }
    out.family(VALID_METRIC, "gauge", VALID_HELP);
    for (const NameAndSnapshot& n : named)
        for (const Quantity& q : QUANTITIES)
            out.sample(VALID_METRIC, {{"sensor", *n.name}, {"quantity", q.key}},
                       n.snapshot->served(q.type - 1));
    const char* age = "sensomark_reading_age_seconds";
    out.family(age, "gauge",
               "Seconds since the device last delivered a value; absent before the first.");
    for (const NameAndSnapshot& n : named)
        if (n.snapshot->ageS >= 0)
            out.sample(age, {{"sensor", *n.name}}, std::to_string(n.snapshot->ageS));
    const char* info = "sensomark_sensor_info";
    out.family(info, "gauge", "The device each sensor name reads; always 1.");
    for (const NameAndSnapshot& n : named)
        out.sample(info, {{"sensor", *n.name}, {"device", n.snapshot->device}}, 1);

    // Each device once: a path configured twice would repeat a label set, which
    // makes the whole exposition invalid.
    std::vector<const SensorSnapshot*> devices;
    std::set<std::string> seen;
    for (const SensorSnapshot& sensor : sensors)
        if (seen.insert(sensor.device).second) devices.push_back(&sensor);
    struct DeviceMetric {
        const char* name;
        const char* type;
        const char* help;
        uint64_t SensorSnapshot::*counter;
    } deviceMetrics[] = {
        {"sensomark_device_reconnects_total", "counter", "Times the device was lost.",
         &SensorSnapshot::reconnects},
        {"sensomark_device_lines_total", "counter", "Device lines parsed.", &SensorSnapshot::lines},
        {"sensomark_device_fields_ignored_total", "counter",
         "Fields of device lines that were no key=value pair, or a new key beyond the bound.",
         &SensorSnapshot::ignoredFields},
    };
    const char* open = "sensomark_device_open";
    out.family(open, "gauge", "1 while the serial device is open.");
    for (const SensorSnapshot* s : devices) out.sample(open, {{"device", s->device}}, s->open);
    for (const DeviceMetric& m : deviceMetrics) {
        out.family(m.name, m.type, m.help);
        for (const SensorSnapshot* s : devices)
            out.sample(m.name, {{"device", s->device}}, s->*m.counter);
    }
    const char* refused = "sensomark_device_values_refused_total";
    out.family(refused, "counter",
               "Device values served as no number: beyond +-3.4e38 as sent (range) or as "
               "calibrated (calibration).");
    for (const SensorSnapshot* s : devices)
        for (Refusal r : {Refusal::RANGE, Refusal::CALIBRATION})
            out.sample(refused, {{"device", s->device}, {"reason", refusalName(r)}},
                       s->refused[static_cast<int>(r)]);
    out.family("sensomark_clients_connected", "gauge", "TCP query clients being served.");
    out.sample("sensomark_clients_connected", service.clients ? service.clients() : 0);
    out.family("sensomark_requests_total", "counter", "Query requests answered.");
    out.sample("sensomark_requests_total", service.requests ? service.requests() : 0);
    return out.text();
}
