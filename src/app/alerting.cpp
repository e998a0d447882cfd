// The alerts joined to the daemon; see alerting.h.
#include "alerting.h"

#include <map>
#include <memory>

#include "alertservice.h"
#include "logging.h"
#include "mqtt.h"
#include "sensormanager.h"
#include "webport.h"

namespace {

// Every sensor in creation order with the names that reach it, a key's names
// in their order (the default sensor's in the registry's).
std::vector<AlertDevice> devicesOf(SensorManager& sensors,
                                   const std::vector<SensorEntry>& entries) {
    std::map<std::string, Sensor*> byName;
    std::vector<Sensor*> order;
    sensors.forEachName([&](const std::string& name, Sensor* s) { byName[name] = s; });
    sensors.forEachSensor([&](Sensor* s) { order.push_back(s); });
    std::vector<AlertDevice> devices;
    for (Sensor* s : order) {
        AlertDevice device{s->getDeviceName(), {}};
        auto add = [&](const std::string& name) {
            if (byName[name] != s) return;
            for (const std::string& known : device.names)
                if (known == name) return;
            device.names.push_back(name);
        };
        for (const SensorEntry& entry : entries)
            if (entry.device == device.device)
                for (const std::string& name : entry.names) add(name);
        if (entries.empty())
            for (const auto& named : byName) add(named.first);
        devices.push_back(device);
    }
    return devices;
}

}  // namespace

std::shared_ptr<AlertService> startAlerts(const AlertConfig& config,
                                          const std::vector<SensorEntry>& entries,
                                          SensorManager& sensors, const std::string& stateDir,
                                          WebPort& web, MqttPublisher* mqtt) {
    auto s = std::make_shared<AlertService>(config, devicesOf(sensors, entries), stateDir);
    if (mqtt != nullptr) {
        std::weak_ptr<AlertService> weak = s;
        auto states = [weak] {
            std::shared_ptr<AlertService> alive = weak.lock();
            return alive ? alive->report().alerts : std::vector<AlertStatus>();
        };
        if (auto changed = mqtt->followAlerts(s->report().alerts, states))
            s->addListener([changed](const AlertEvent& e) { changed(e.index, e.raised); });
    }
    // A line's quantities count when it carried them as numbers (calibrated).
    sensors.forEachSensor([&s](Sensor* sensor) {
        std::string device = sensor->getDeviceName();
        sensor->addLineListener([s, device](const SensorSnapshot& snap, int64_t) {
            AlertInput in[QUANTITY_COUNT];
            for (int q = 0; q < QUANTITY_COUNT; ++q) {
                const Measurement& m = snap.values[q];
                if (!snap.carried[q] || !m.hasNumber) continue;
                in[q] = {true, m.number, m.text};
            }
            s->onReading(device, in);
        });
    });
    web.useAlerts([s] { return s->json(); }, [s] { return s->report().alerts; });
    web.addFamilies([s] { return s->families(); });
    s->start();
    logEvent(LOG_STAT, "watching " + std::to_string(s->report().alerts.size()) + " alerts");
    return s;
}
