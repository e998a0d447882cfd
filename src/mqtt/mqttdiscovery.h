// The MQTT topics of the daemon and the Home Assistant discovery messages:
// pure functions of the configuration and the sensor names; any thread may
// call them.
#pragma once
#include <string>
#include <vector>

#include "protocol.h"

// The discovery prefix Home Assistant listens on, and where it announces itself.
const char HA_DISCOVERY_PREFIX[] = "homeassistant";
const char HA_STATUS_TOPIC[] = "homeassistant/status";
const char ONLINE[] = "online";
const char OFFLINE[] = "offline";

// text with every character outside [a-zA-Z0-9_-] replaced by "_"; "_" for "".
std::string objectId(const std::string& text);
// The object ids of names, in the same order: objectId of each, with "_2",
// "_3", ... added to a name whose id an earlier name already has.
std::vector<std::string> uniqueObjectIds(const std::vector<std::string>& names);
// A sensor name as one topic level: "/", "+" and "#" become "_".
std::string topicLevel(const std::string& name);

// Why text cannot go into a topic as it is: empty when it can, else the first
// offending character with its bytes escaped, as in "\xe9 is not valid UTF-8",
// "\x01 is a control character" or "\xef\xbf\xbf is a noncharacter" (the
// characters that MQTT forbids or brokers refuse in topics).
std::string topicTextProblem(const std::string& text);
// text for a log line: every byte that is not part of a character that
// topicTextProblem accepts written as "\xHH".
std::string escapeText(const std::string& text);

// Seconds after which Home Assistant shows a value as expired without an
// update: the publish interval of an unchanged value plus MAX_AGE_S, at least 60.
int expireAfterS(int intervalS);

// One sensor name and quantity as Home Assistant sees it.
struct DiscoveryEntity {
    std::string hostName;  // of this machine
    std::string nodeId;    // object id of the daemon (its client id mapped)
    std::string prefix;    // topic prefix of the daemon, without a trailing "/"
    std::string name;      // sensor name
    std::string objectId;  // unique object id of name
    std::string device;    // device path
    const Quantity* quantity = nullptr;
    int qos = 1;
    int expireAfterS = 60;
};

// "<prefix>/status": the daemon's own "online" or "offline".
std::string statusTopic(const std::string& prefix);
// "<prefix>/<name>/available": "online" while the device is open and its data fresh.
std::string availableTopic(const std::string& prefix, const std::string& name);
// "<prefix>/<name>/<quantity key>": the bare value while the reading is valid.
std::string valueTopic(const std::string& prefix, const std::string& name, const Quantity& q);

// "homeassistant/sensor/<node>/<object id>_<quantity key>/config"
std::string discoveryTopic(const DiscoveryEntity& entity);
// The retained JSON configuration of one entity.
std::string discoveryPayload(const DiscoveryEntity& entity);

// One alert of [alerts] as Home Assistant sees it: a binary sensor of device
// class problem on the device of the readings it judges.
struct AlertEntity {
    std::string hostName, nodeId, prefix;  // as in DiscoveryEntity
    std::string title;                     // "cellar humidity above 70", "cellar stale"
    // Unique among the alerts: uniqueObjectIds of their names, quantity keys
    // (none for a stale alert) and texts joined by "_", as in
    // "cellar_humidity_above_70_clear_65".
    std::string objectId;
    std::string device;  // device path
    int qos = 1;
};
// "<prefix>/alert/<object id>": "ON" while the alert is raised, else "OFF"; retained.
std::string alertTopic(const std::string& prefix, const std::string& objectId);
// "homeassistant/binary_sensor/<node>/<object id>/config"
std::string alertDiscoveryTopic(const AlertEntity& entity);
// The retained JSON configuration of one alert.
std::string alertDiscoveryPayload(const AlertEntity& entity);
