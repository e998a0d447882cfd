// The registry snapshot of the status page and the JSON endpoints.
#include "sensorview.h"

#include <map>

#include "sensor.h"
#include "sensormanager.h"

std::vector<DeviceView> viewDevices(SensorManager& sensors, int64_t now) {
    std::vector<DeviceView> views;
    std::map<const Sensor*, std::vector<std::string>> names;
    sensors.visit([&](const std::string& name, Sensor* sensor) { names[sensor].push_back(name); },
                  [&](Sensor* sensor) {
                      auto it = names.find(sensor);
                      if (it == names.end()) return;
                      DeviceView view;
                      view.sensor = sensor;
                      view.device = sensor->getDeviceName();
                      view.names = std::move(it->second);
                      view.open = sensor->isOpen();
                      view.reconnects = sensor->reconnectCount();
                      for (const Quantity& q : QUANTITIES)
                          view.readings[q.type - 1] = sensor->getReadingAt(q.type, now);
                      views.push_back(std::move(view));
                  });
    return views;
}

HistorySeries seriesOf(const History& history, const DeviceView& device, HistoryRange range,
                       int64_t nowMinute) {
    SensorHistory* ring = history.of(device.sensor);
    if (ring != nullptr) return ring->series(range, nowMinute);
    static const struct {
        int step, count;
    } SHAPES[] = {{1, 1440}, {10, 1008}, {10, 4464}, {60, 8784}};
    const auto shape = SHAPES[static_cast<int>(range)];
    HistorySeries gaps;
    gaps.stepMinutes = shape.step;
    int64_t last = nowMinute / shape.step - (nowMinute % shape.step < 0);
    gaps.firstMinute = (last - shape.count + 1) * shape.step;
    for (auto& buckets : gaps.buckets) buckets.resize(shape.count);
    return gaps;
}
