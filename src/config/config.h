// config/: the configuration file sensomarkUSB.conf, read by ini/ (iniparser,
// dictionary), turned in one place into a plain Config (config),
// with the search for the file, the keys of section "main" with their
// defaults and checks, the device list of "sensors", and sections "mqtt" (mqttconfig, in mqtt/),
// "calibration" and "alerts" (alertconfig) through their strict readers. Read once: by the daemon's
// start-up thread, which uses only the Config afterwards, and by
// sensomark-query for its defaults.
// No state of its own; no other thread enters.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access.h"
#include "alertconfig.h"
#include "calibration.h"
#include "dictionary.h"
#include "logging.h"
#include "mqttconfig.h"
#include "net.h"
#include "privileges.h"

const char CONFIG_FILE_NAME[] = "sensomarkUSB.conf";
const char SYSTEM_CONFIG_FILE[] = "/etc/sensomarkUSB.conf";
const int DEFAULT_PORT = 4000;
const int MAX_PORT = 65535;
// The sensor served when section "sensors" has no key (or there is no file).
const char DEFAULT_SENSOR_DEVICE[] = "/dev/ttyUSB0";
const char DEFAULT_SENSOR_NAME[] = "sensomark.com1";
// Seconds between appends to the history files: the default and the least.
const int DEFAULT_HISTORY_SYNC_S = 600;
const int MIN_HISTORY_SYNC_S = 60;

// Who reads: the daemon checks and loads everything; a client (sensomark-query)
// takes "main" and "sensors" only, without looking up accounts or reading the
// files that section "mqtt" names.
enum class ConfigUse { DAEMON, CLIENT };

// One key of section "sensors": a device path and the query names given to it
// (none when its value is empty, which the daemon refuses).
struct SensorEntry {
    std::string device;
    std::vector<std::string> names;
};

// A line for the log that reading produced, in the order of the keys. A fatal
// one ends start-up as a configuration error; what follows it is never logged.
struct ConfigNote {
    int level;
    std::string text;
    bool fatal;
};

struct Config {
    // Section "main". A missing key, or a value out of range, leaves the default.
    int port = DEFAULT_PORT;          // TCP port of the query service
    std::string logFile;              // empty: not configured
    int logLevel = LOG_DEBUG;         // the threshold of the log
    std::vector<std::string> listen;  // local addresses; none: every IPv4 address
    int backlog = DEFAULT_BACKLOG;    // of the listening sockets (net.h)
    int maxClients = 0;               // 0: as many as descriptors allow
    AllowList allow;                  // empty: everyone is served
    Account user;                     // empty name: stay as started (found for DAEMON only)
    int metricsPort = 0;              // the web port; 0: none
    std::string stateDir;             // the history files' folder; empty: memory only
    int historySyncS = DEFAULT_HISTORY_SYNC_S;  // between appends to the history files
    // Section "sensors" in file order; empty: the default sensor.
    std::vector<SensorEntry> sensors;
    // Section "mqtt" (DAEMON only): null when the file has none, or when it is
    // unusable (a fatal note).
    std::unique_ptr<MqttConfig> mqtt;
    // Section "calibration" (DAEMON only): the corrections by device path;
    // none when a value is unusable (a fatal note).
    std::map<std::string, Calibration> calibrations;
    // Section "alerts" (DAEMON only): null when the file has none; an
    // unusable one is a fatal note.
    std::unique_ptr<AlertConfig> alerts;
    // Every problem of the file, in one list: what the keys of "main" have to
    // say, unknown keys last, then what is wrong with sections "mqtt",
    // "calibration" and "alerts".
    std::vector<ConfigNote> notes;
};

// Which file loadConfig read.
enum class ConfigFound { GIVEN, SYSTEM, NONE };

// Reads the configuration from the table d (null: no file, the defaults).
Config readConfig(const dictionary* d, ConfigUse use);
// Reads the file at path, else SYSTEM_CONFIG_FILE, else nothing (the
// defaults); *found tells which.
Config loadConfig(const std::string& path, ConfigUse use, ConfigFound* found);
