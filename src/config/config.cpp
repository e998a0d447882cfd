// The configuration file read into a Config; see config.h.
#include "config.h"

#include <cstring>
#include <set>
#include <utility>

#include "iniparser.h"
#include "tool.h"

namespace {
const char MAIN_SECTION[] = "main";
const char SENSOR_SECTION[] = "sensors";
const char CALIBRATION_SECTION[] = "calibration";

// A key of "main" that the file has, its value read as text or as a number.
struct PresentKey {
    const dictionary* d;
    const char* key;  // full key, "main:port"
    std::string text() const { return iniparser_getstring(d, key, ""); }
    // Read like strtol with base 0; 0 when no digits lead.
    int number() const { return iniparser_getint(d, key, 0); }
};

void note(Config* c, int level, const std::string& text) {
    c->notes.push_back({level, text, false});
}
void fail(Config* c, const std::string& text) {
    c->notes.push_back({LOG_CRITICAL, text, true});
}

// The keys of "main", read in this order (so that their notes come in it): a
// new key needs a field in Config and a line here.
struct MainKey {
    const char* name;
    void (*read)(const PresentKey& v, ConfigUse use, Config* c);
};
const MainKey MAIN_KEYS[] = {
    {"logfile", [](const PresentKey& v, ConfigUse, Config* c) { c->logFile = v.text(); }},
    {"backlog",
     [](const PresentKey& v, ConfigUse, Config* c) {
         if (v.number() > 0) c->backlog = v.number();
     }},
    {"listen",
     [](const PresentKey& v, ConfigUse, Config* c) { stringTokenize(v.text(), c->listen, " \t"); }},
    {"maxclients",
     [](const PresentKey& v, ConfigUse, Config* c) {
         if (v.number() > 0) c->maxClients = v.number();
     }},
    {"allow",
     [](const PresentKey& v, ConfigUse, Config* c) {
         std::string bad;
         if (!c->allow.parse(v.text(), &bad)) fail(c, "invalid allow entry '" + bad + "'");
     }},
    {"user",
     [](const PresentKey& v, ConfigUse use, Config* c) {
         c->user.name = v.text();
         if (use == ConfigUse::DAEMON && !findAccount(v.text(), &c->user))
             fail(c, "unknown user '" + v.text() + "'");
     }},
    {"metricsport",
     [](const PresentKey& v, ConfigUse, Config* c) {
         int port = v.number();
         if (port > 0 && port <= MAX_PORT) {
             c->metricsPort = port;
         } else {
             note(c, LOG_CRITICAL,
                  "configured metrics port '" + v.text() + "' is invalid, serving no metrics");
         }
     }},
    {"statedir", [](const PresentKey& v, ConfigUse, Config* c) { c->stateDir = v.text(); }},
    {"historysync",
     [](const PresentKey& v, ConfigUse, Config* c) {
         c->historySyncS = v.number();
         if (c->historySyncS >= MIN_HISTORY_SYNC_S) return;
         note(c, LOG_CRITICAL,
              "configured historysync '" + v.text() + "' is below " + itoa(MIN_HISTORY_SYNC_S) +
                  ", using " + itoa(MIN_HISTORY_SYNC_S));
         c->historySyncS = MIN_HISTORY_SYNC_S;
     }},
    {"port",
     [](const PresentKey& v, ConfigUse, Config* c) {
         int port = v.number();
         if (port > MAX_PORT) {
             note(
                 c, LOG_CRITICAL,
                 "configured port " + itoa(port) + " is out of range, using " + itoa(DEFAULT_PORT));
         } else if (port > 0) {
             c->port = port;
         }
     }},
    {"loglevel",
     [](const PresentKey& v, ConfigUse, Config* c) {
         static const char* const LEVELS[] = {"critical", "stat", "debug"};  // by number
         for (int level = LOG_CRITICAL; level <= LOG_DEBUG; ++level) {
             if (v.text() == LEVELS[level]) {
                 c->logLevel = level;
                 return;
             }
         }
         note(c, LOG_CRITICAL, "configured log level unknown");
     }},
};

bool knownMainKey(const char* name) {
    for (const MainKey& k : MAIN_KEYS)
        if (strcmp(k.name, name) == 0) return true;
    return false;
}

void readMain(const dictionary* d, ConfigUse use, Config* c) {
    for (const MainKey& k : MAIN_KEYS) {
        std::string key = std::string(MAIN_SECTION) + ":" + k.name;
        if (iniparser_getstring(d, key.c_str(), nullptr) != nullptr)
            k.read({d, key.c_str()}, use, c);
    }
    // A misspelt key would otherwise leave its default without a word.
    int count = iniparser_getnseckeys(d, MAIN_SECTION);
    for (int i = 0; i < count; ++i) {
        const char* name = iniparser_getseckeyname(d, MAIN_SECTION, i) + sizeof(MAIN_SECTION);
        if (!knownMainKey(name))
            note(c, LOG_STAT, std::string("unknown key '") + name + "' in section 'main' ignored");
    }
}

// Every key of "sensors" is a device path; its value lists the names.
void readSensors(const dictionary* d, Config* c) {
    int count = iniparser_getnseckeys(d, SENSOR_SECTION);
    for (int i = 0; i < count; ++i) {
        const char* key = iniparser_getseckeyname(d, SENSOR_SECTION, i);
        SensorEntry entry{key + sizeof(SENSOR_SECTION), {}};
        stringTokenize(iniparser_getstring(d, key, ""), entry.names, " ");
        c->sensors.push_back(entry);
    }
}

// Section "calibration": its keys must be devices the daemon reads, those of
// "sensors" or the default sensor.
void readCalibration(const dictionary* d, Config* c) {
    std::vector<std::pair<std::string, std::string>> keys;
    int count = iniparser_getnseckeys(d, CALIBRATION_SECTION);
    for (int i = 0; i < count; ++i) {
        const char* key = iniparser_getseckeyname(d, CALIBRATION_SECTION, i);
        keys.emplace_back(key + sizeof(CALIBRATION_SECTION), iniparser_getstring(d, key, ""));
    }
    std::vector<std::string> devices;
    for (const SensorEntry& entry : c->sensors) devices.push_back(entry.device);
    if (devices.empty()) devices.push_back(DEFAULT_SENSOR_DEVICE);
    std::string error;
    if (readCalibrations(keys, devices, &c->calibrations, &error)) return;
    c->calibrations.clear();
    fail(c, error);
}

// Section "mqtt": unusable, or with a sensor name that no topic can carry, it
// ends start-up as a configuration error.
void readMqtt(const dictionary* d, Config* c) {
    std::string error;
    c->mqtt = readMqttSection(d, localHostName(), &error);
    if (error.empty() && c->mqtt) {
        std::map<std::string, std::string> deviceOf;  // a later naming wins
        for (const SensorEntry& entry : c->sensors)
            for (const std::string& name : entry.names) deviceOf[name] = entry.device;
        if (c->sensors.empty()) deviceOf[DEFAULT_SENSOR_NAME] = DEFAULT_SENSOR_DEVICE;
        std::vector<NameAndDevice> names;
        for (const auto& [name, device] : deviceOf) names.push_back({name, device});
        checkMqttNames(names, &error);
    }
    if (error.empty()) return;
    c->mqtt.reset();
    fail(c, error);
}

// Section "alerts": its rules must name sensors of "sensors" (or the default
// sensor). A problem ends start-up as a configuration error.
void readAlerts(const dictionary* d, Config* c) {
    std::set<std::string> names;
    for (const SensorEntry& entry : c->sensors)
        names.insert(entry.names.begin(), entry.names.end());
    if (c->sensors.empty()) names.insert(DEFAULT_SENSOR_NAME);
    std::string error;
    c->alerts = readAlertSection(d, names, &error);
    if (!error.empty()) fail(c, error);
}
}  // namespace

Config readConfig(const dictionary* d, ConfigUse use) {
    Config c;
    if (d == nullptr) return c;
    readMain(d, use, &c);
    readSensors(d, &c);
    if (use == ConfigUse::DAEMON) {
        readMqtt(d, &c);
        readCalibration(d, &c);
        readAlerts(d, &c);
    }
    return c;
}

Config loadConfig(const std::string& path, ConfigUse use, ConfigFound* found) {
    *found = ConfigFound::GIVEN;
    dictionary* d = iniparser_load(path.c_str());
    if (d == nullptr) {
        *found = ConfigFound::SYSTEM;
        d = iniparser_load(SYSTEM_CONFIG_FILE);
    }
    if (d == nullptr) *found = ConfigFound::NONE;
    Config c = readConfig(d, use);
    iniparser_freedict(d);
    return c;
}
