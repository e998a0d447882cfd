// The publishing schedule: availability on change, changed values at once
// (at most once a second per name), unchanged values once per interval; and
// the outbox where a topic's newest message waits for room at the broker.
#include "mqttplan.h"

#include <algorithm>
#include <iterator>

#include "mqttdiscovery.h"

PublishPlan::PublishPlan(std::string prefix, std::vector<std::string> sensorNames, int intervalS,
                         bool retainValues)
    : intervalMs(int64_t{intervalS} * 1000), retainValues(retainValues) {
    for (const std::string& sensorName : sensorNames) {
        Name name;
        name.availableTopic = availableTopic(prefix, sensorName);
        for (const Quantity& q : QUANTITIES)
            name.valueTopics[q.type - 1] = valueTopic(prefix, sensorName, q);
        names.push_back(std::move(name));
    }
}

void PublishPlan::reset() {
    for (Name& name : names) {
        name.available = -1;
        name.changeSent = false;
        for (Sent& value : name.values) value = Sent();
    }
}

std::vector<MqttMessage> PublishPlan::update(const std::vector<SensorSnapshot>& snapshots,
                                             int64_t nowMs, int64_t* nextMs) {
    std::vector<MqttMessage> out;
    const int64_t nowS = nowMs / 1000;
    for (size_t i = 0; i < names.size() && i < snapshots.size(); ++i) {
        Name& name = names[i];
        const SensorSnapshot& snapshot = snapshots[i];
        int available = snapshot.open && snapshot.fresh ? 1 : 0;
        if (available != name.available) {
            out.push_back({name.availableTopic, available ? ONLINE : OFFLINE, true});
            name.available = available;
        }
        if (snapshot.fresh) {
            int64_t staleS = nowS - snapshot.ageS + MAX_AGE_S + 1;
            *nextMs = std::min(*nextMs, staleS * 1000);
        }

        const int64_t changeDueMs = name.changeMs + CHANGE_GAP_MS;
        const bool changeDue = !name.changeSent || nowMs >= changeDueMs;
        bool changeSent = false;
        for (int q = 0; q < QUANTITY_COUNT; ++q) {
            const std::string& text = snapshot.values[q].text;
            Sent& value = name.values[q];
            if (!snapshot.served(q)) {
                value.sent = false;  // the next valid value goes out as a change
                continue;
            }
            if (!value.sent || value.text != text) {
                if (!changeDue) {
                    *nextMs = std::min(*nextMs, changeDueMs);
                    continue;
                }
                changeSent = true;
            } else if (nowMs < value.sentMs + intervalMs) {
                *nextMs = std::min(*nextMs, value.sentMs + intervalMs);
                continue;
            }
            out.push_back({name.valueTopics[q], text, retainValues});
            value.sent = true;
            value.text = text;
            value.sentMs = nowMs;
            *nextMs = std::min(*nextMs, nowMs + intervalMs);
        }
        if (changeSent) {
            name.changeMs = nowMs;
            name.changeSent = true;
        }
    }
    return out;
}

std::vector<MqttMessage> PublishPlan::offline() const {
    std::vector<MqttMessage> out;
    for (const Name& name : names) out.push_back({name.availableTopic, OFFLINE, true});
    return out;
}

bool Outbox::put(MqttMessage message) {
    auto found = byTopic.find(message.topic);
    if (found != byTopic.end()) {
        *found->second = std::move(message);
        return true;
    }
    order.push_back(std::move(message));
    byTopic.emplace(order.back().topic, std::prev(order.end()));
    return false;
}

MqttMessage Outbox::take() {
    MqttMessage message = std::move(order.front());
    order.pop_front();
    byTopic.erase(message.topic);
    return message;
}

void Outbox::clear() {
    order.clear();
    byTopic.clear();
}
