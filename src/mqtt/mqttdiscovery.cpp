// Topic names and Home Assistant discovery messages.
#include "mqttdiscovery.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

namespace {

const char PRODUCT[] = "sensomarkUSB";
const int MIN_EXPIRE_AFTER_S = 60;

bool isIdChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

enum class CharKind { FINE, INVALID, CONTROL, NONCHARACTER };

// The character that starts at text[at]: its kind and, in *length, its bytes
// (one for a byte that starts no shortest complete UTF-8 encoding of a
// character).
CharKind charAt(const std::string& text, size_t at, size_t* length) {
    static const uint32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};  // by length: no overlong forms
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const size_t size = lead < 0x80   ? 1
                        : lead < 0xc0 ? 0
                        : lead < 0xe0 ? 2
                        : lead < 0xf0 ? 3
                        : lead < 0xf8 ? 4
                                      : 0;
    *length = 1;
    if (size == 0 || text.size() - at < size) return CharKind::INVALID;
    uint32_t c = size == 1 ? lead : lead & (0x7f >> size);
    for (size_t i = 1; i < size; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80) return CharKind::INVALID;
        c = c << 6 | (next & 0x3f);
    }
    if (c < LEAST[size] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return CharKind::INVALID;
    *length = size;
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return CharKind::CONTROL;
    if ((c >= 0xfdd0 && c <= 0xfdef) || (c & 0xfffe) == 0xfffe) return CharKind::NONCHARACTER;
    return CharKind::FINE;
}

std::string hexBytes(const std::string& bytes) {
    std::string out;
    for (char b : bytes) {
        char hex[5];
        snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(b));
        out += hex;
    }
    return out;
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

std::string topicTextProblem(const std::string& text) {
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        CharKind kind = charAt(text, at, &length);
        if (kind == CharKind::FINE) continue;
        std::string bytes = hexBytes(text.substr(at, length));
        if (kind == CharKind::CONTROL) return bytes + " is a control character";
        if (kind == CharKind::NONCHARACTER) return bytes + " is a noncharacter";
        return bytes + " is not valid UTF-8";
    }
    return "";
}

std::string escapeText(const std::string& text) {
    std::string out;
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        out += charAt(text, at, &length) == CharKind::FINE ? text.substr(at, length)
                                                           : hexBytes(text.substr(at, length));
    }
    return out;
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

namespace {
// The Home Assistant device of a serial device of this machine, and its id.
std::string haDeviceId(const std::string& hostName, const std::string& device) {
    return objectId(std::string("sensomark_") + hostName + "_" + device);
}
nlohmann::json haDevice(const std::string& hostName, const std::string& device) {
    return {
        {"identifiers", {haDeviceId(hostName, device)}},
        {"name", hostName + " " + device},
        {"model", PRODUCT},
        {"manufacturer", PRODUCT},
    };
}
// Names and paths come from the configuration file, which may hold bytes
// that are no UTF-8: those become U+FFFD rather than an exception.
std::string dump(const nlohmann::json& config) {
    return config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace

std::string discoveryPayload(const DiscoveryEntity& e) {
    const Quantity& q = *e.quantity;
    std::string deviceId = haDeviceId(e.hostName, e.device);
    nlohmann::json availability = nlohmann::json::array({
        {{"topic", statusTopic(e.prefix)}},
        {{"topic", availableTopic(e.prefix, e.name)}},
    });
    nlohmann::json config = {
        {"name", e.name + " " + q.title},
        // The name is part of the id: several names may read one device.
        {"unique_id", deviceId + "_" + e.objectId + "_" + q.key},
        {"state_topic", valueTopic(e.prefix, e.name, q)},
        {"device_class", q.deviceClass},
        {"unit_of_measurement", q.unit},
        {"state_class", "measurement"},
        {"availability", availability},
        {"availability_mode", "all"},
        {"payload_available", ONLINE},
        {"payload_not_available", OFFLINE},
        {"expire_after", e.expireAfterS},
        {"qos", e.qos},
        {"device", haDevice(e.hostName, e.device)},
    };
    return dump(config);
}

std::string alertTopic(const std::string& prefix, const std::string& objectId) {
    return prefix + "/alert/" + objectId;
}

std::string alertDiscoveryTopic(const AlertEntity& e) {
    return std::string(HA_DISCOVERY_PREFIX) + "/binary_sensor/" + e.nodeId + "/" + e.objectId +
           "/config";
}

std::string alertDiscoveryPayload(const AlertEntity& e) {
    // Available with the daemon, whatever the device: a silent device is what
    // a stale alert is about.
    nlohmann::json config = {
        {"name", e.title},
        {"unique_id", haDeviceId(e.hostName, e.device) + "_alert_" + e.objectId},
        {"state_topic", alertTopic(e.prefix, e.objectId)},
        {"device_class", "problem"},
        {"payload_on", "ON"},
        {"payload_off", "OFF"},
        {"availability_topic", statusTopic(e.prefix)},
        {"payload_available", ONLINE},
        {"payload_not_available", OFFLINE},
        {"qos", e.qos},
        {"device", haDevice(e.hostName, e.device)},
    };
    return dump(config);
}
