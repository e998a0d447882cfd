// Topic names and Home Assistant discovery messages.
#include "mqttdiscovery.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

namespace {

const char PRODUCT[] = "sensomarkUSB";
const int MIN_EXPIRE_AFTER_S = 60;

bool isIdChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// Home Assistant's device class and the entity's name for people.
struct QuantityLabel {
    const char* deviceClass;
    const char* title;
};
QuantityLabel labelOf(const Quantity& q) {
    switch (q.type) {
        case HUMIDITY:
            return {"humidity", "Humidity"};
        case DEWPOINT:
            return {"temperature", "Dew point"};
        case TEMPERATURE:
        default:
            return {"temperature", "Temperature"};
    }
}

}  // namespace

std::string objectId(const std::string& text) {
    if (text.empty()) return "_";
    std::string id = text;
    for (char& c : id)
        if (!isIdChar(c)) c = '_';
    return id;
}

std::vector<std::string> uniqueObjectIds(const std::vector<std::string>& names) {
    std::vector<std::string> ids;
    std::set<std::string> taken;
    for (const std::string& name : names) {
        std::string base = objectId(name), id = base;
        for (int n = 2; taken.count(id) != 0; ++n) id = base + "_" + std::to_string(n);
        taken.insert(id);
        ids.push_back(id);
    }
    return ids;
}

std::string topicLevel(const std::string& name) {
    std::string level = name;
    std::replace_if(
        level.begin(), level.end(), [](char c) { return c == '/' || c == '+' || c == '#'; }, '_');
    return level;
}

int expireAfterS(int intervalS) {
    return std::max(MIN_EXPIRE_AFTER_S, intervalS + static_cast<int>(MAX_AGE_S));
}

std::string statusTopic(const std::string& prefix) {
    return prefix + "/status";
}

std::string availableTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/" + topicLevel(name) + "/available";
}

std::string valueTopic(const std::string& prefix, const std::string& name, const Quantity& q) {
    return prefix + "/" + topicLevel(name) + "/" + q.key;
}

std::string discoveryTopic(const DiscoveryEntity& e) {
    return std::string(HA_DISCOVERY_PREFIX) + "/sensor/" + e.nodeId + "/" + e.objectId + "_" +
           e.quantity->key + "/config";
}

std::string discoveryPayload(const DiscoveryEntity& e) {
    const Quantity& q = *e.quantity;
    QuantityLabel label = labelOf(q);
    std::string deviceId = objectId(std::string("sensomark_") + e.hostName + "_" + e.device);
    nlohmann::json device = {
        {"identifiers", {deviceId}},
        {"name", e.hostName + " " + e.device},
        {"model", PRODUCT},
        {"manufacturer", PRODUCT},
    };
    nlohmann::json availability = nlohmann::json::array({
        {{"topic", statusTopic(e.prefix)}},
        {{"topic", availableTopic(e.prefix, e.name)}},
    });
    nlohmann::json config = {
        {"name", e.name + " " + label.title},
        // The name is part of the id: several names may read one device.
        {"unique_id", deviceId + "_" + e.objectId + "_" + q.key},
        {"state_topic", valueTopic(e.prefix, e.name, q)},
        {"device_class", label.deviceClass},
        {"unit_of_measurement", q.unit},
        {"state_class", "measurement"},
        {"availability", availability},
        {"availability_mode", "all"},
        {"payload_available", ONLINE},
        {"payload_not_available", OFFLINE},
        {"expire_after", e.expireAfterS},
        {"qos", e.qos},
        {"device", device},
    };
    // Names and paths come from the configuration file, which may hold bytes
    // that are no UTF-8: those become U+FFFD rather than an exception.
    return config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
