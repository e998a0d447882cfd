// The keys of section [mqtt]: read, checked and completed with their defaults.
// Used only on the start-up thread; no state.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dictionary.h"

struct MqttConfig {
    std::string host;
    int port = 1883;  // 8883 with TLS
    bool tls = false;
    std::string caFile, certFile, keyFile;  // certFile and keyFile: both or neither
    std::string username;                   // empty: no credentials sent
    std::string passwordFile;               // empty: no password sent
    std::string password;                   // read from passwordFile by loadMqttFiles
    std::string clientId;                   // default "sensomark-" + host name
    std::string prefix;                     // topic prefix without a trailing "/"
    int qos = 1;                            // 0 or 1
    int intervalS = 60;                     // between publishes of an unchanged value
    bool discovery = true;                  // Home Assistant discovery messages
    bool retain = false;                    // values retained by the broker
};

const int MQTT_PORT = 1883;
const int MQTT_TLS_PORT = 8883;
const int MQTT_MAX_INTERVAL_S = 86400;
const long MAX_PASSWORD_FILE_BYTES = 64 * 1024;

// Reads the keys of the section (key name without "mqtt:" to value) into
// *config; hostName fills the defaults of clientid and topic. False with
// *error naming the first problem: a missing host, an unknown key, a value
// out of range, or keys that do not go together.
bool parseMqttConfig(const std::map<std::string, std::string>& keys, const std::string& hostName,
                     MqttConfig* config, std::string* error);

// Checks that the files named in config are regular files that can be read,
// and reads the password: the first line of a file of at most
// MAX_PASSWORD_FILE_BYTES that only its owner may read or write (mode 0600 or
// stricter). Never waits for a writer (a FIFO). False with *error naming the
// file and the problem.
bool loadMqttFiles(MqttConfig* config, std::string* error);

struct NameAndDevice {
    std::string name;
    std::string device;
};
// Checks that every sensor name can have topics of its own: text that MQTT
// takes in a topic, and a topic level (topicLevel) that no other name has.
// False with *error naming the first name that cannot, or both names of a
// shared level.
bool checkMqttNames(const std::vector<NameAndDevice>& names, std::string* error);

// The section [mqtt] of d, parsed and its files loaded: null when d has no
// such section, else the configuration, or null with *error set.
std::unique_ptr<MqttConfig> readMqttSection(const dictionary* d, const std::string& hostName,
                                            std::string* error);

// The name of this machine ("localhost" when it has none).
std::string localHostName();
