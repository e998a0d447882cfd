// Reading and checking the keys of section [mqtt].
#include "mqttconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "iniparser.h"
#include "mqttdiscovery.h"
#include "net.h"
#include "syserror.h"

namespace {

const char SECTION[] = "mqtt";

const std::set<std::string> KNOWN_KEYS = {
    "host",     "port",         "tls",   "cafile", "certfile", "keyfile",   "username",
    "clientid", "passwordfile", "topic", "qos",    "interval", "discovery", "retain",
};

// Whole decimal numbers from low to high; no sign, blanks or other text.
bool parseNumber(const std::string& text, int low, int high, int* number) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = std::stoi(text);
    if (value < low || value > high) return false;
    *number = value;
    return true;
}

bool parseSwitch(const std::string& text, bool* value) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") {
        *value = true;
    } else if (lower == "no" || lower == "false" || lower == "off" || lower == "0") {
        *value = false;
    } else {
        return false;
    }
    return true;
}

// Sets *error to the log line of one problem and returns false.
bool fail(std::string* error, const std::string& text) {
    *error = "MQTT configuration: " + text;
    return false;
}

// Opens what as a regular file without waiting (a FIFO has no writer) and
// fstats it into *st.
UniqueFd openRegular(const std::string& what, const std::string& path, struct stat* st,
                     std::string* error) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        fail(error, "cannot read " + what + " '" + path + "': " + errorText(errno));
    } else if (fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) {
        fail(error, what + " '" + path + "' is not a regular file");
        fd.reset();
    }
    return fd;
}

bool checkReadable(const std::string& what, const std::string& path, std::string* error) {
    struct stat st;
    return openRegular(what, path, &st, error).valid();
}

}  // namespace

bool parseMqttConfig(const std::map<std::string, std::string>& keys, const std::string& hostName,
                     MqttConfig* config, std::string* error) {
    for (const auto& entry : keys) {
        if (KNOWN_KEYS.count(entry.first) == 0)
            return fail(error, "unknown key '" + entry.first + "' in section [mqtt]");
    }
    auto get = [&](const char* key) -> const std::string* {
        auto it = keys.find(key);
        return it == keys.end() ? nullptr : &it->second;
    };
    MqttConfig c;
    const std::string* value = get("host");
    if (value == nullptr || value->empty()) return fail(error, "section [mqtt] needs a host");
    c.host = *value;

    if ((value = get("tls")) != nullptr && !parseSwitch(*value, &c.tls))
        return fail(error, "tls '" + *value + "' is neither yes nor no");
    c.port = c.tls ? MQTT_TLS_PORT : MQTT_PORT;
    if ((value = get("port")) != nullptr && !parseNumber(*value, 1, 65535, &c.port))
        return fail(error, "port '" + *value + "' is not a port number");

    if ((value = get("cafile")) != nullptr) c.caFile = *value;
    if ((value = get("certfile")) != nullptr) c.certFile = *value;
    if ((value = get("keyfile")) != nullptr) c.keyFile = *value;
    if (c.tls && c.caFile.empty())
        return fail(error, "tls needs a cafile to verify the broker's certificate");
    if (!c.tls && !(c.caFile.empty() && c.certFile.empty() && c.keyFile.empty()))
        return fail(error, "cafile, certfile and keyfile need tls = yes");
    if (c.certFile.empty() != c.keyFile.empty())
        return fail(error, "certfile and keyfile go together");

    if ((value = get("username")) != nullptr) c.username = *value;
    if ((value = get("passwordfile")) != nullptr) c.passwordFile = *value;
    if (!c.passwordFile.empty() && c.username.empty())
        return fail(error, "passwordfile needs a username");

    c.clientId = "sensomark-" + hostName;
    if ((value = get("clientid")) != nullptr) c.clientId = *value;
    if (c.clientId.empty()) return fail(error, "clientid must not be empty");

    c.prefix = "sensomark/" + hostName;
    if ((value = get("topic")) != nullptr) c.prefix = *value;
    while (!c.prefix.empty() && c.prefix.back() == '/') c.prefix.pop_back();
    if (c.prefix.empty() || c.prefix.find_first_of("+#") != std::string::npos)
        return fail(error, "topic '" + escapeText(value ? *value : c.prefix) +
                               "' must be a topic prefix without + or #");
    std::string why = topicTextProblem(c.prefix);
    if (!why.empty())
        return fail(error, "topic '" + escapeText(c.prefix) + "' cannot be a topic prefix: " + why);

    if ((value = get("qos")) != nullptr && !parseNumber(*value, 0, 1, &c.qos))
        return fail(error, "qos '" + *value + "' must be 0 or 1");
    if ((value = get("interval")) != nullptr &&
        !parseNumber(*value, 1, MQTT_MAX_INTERVAL_S, &c.intervalS))
        return fail(error, "interval '" + *value + "' must be whole seconds from 1 to " +
                               std::to_string(MQTT_MAX_INTERVAL_S));
    if ((value = get("discovery")) != nullptr && !parseSwitch(*value, &c.discovery))
        return fail(error, "discovery '" + *value + "' is neither yes nor no");
    if ((value = get("retain")) != nullptr && !parseSwitch(*value, &c.retain))
        return fail(error, "retain '" + *value + "' is neither yes nor no");
    *config = std::move(c);
    return true;
}

bool loadMqttFiles(MqttConfig* config, std::string* error) {
    if (!config->caFile.empty() && !checkReadable("cafile", config->caFile, error)) return false;
    if (!config->certFile.empty() && !checkReadable("certfile", config->certFile, error))
        return false;
    if (!config->keyFile.empty() && !checkReadable("keyfile", config->keyFile, error)) return false;
    if (config->passwordFile.empty()) return true;

    const std::string& path = config->passwordFile;
    struct stat st;
    UniqueFd fd = openRegular("password file", path, &st, error);
    if (!fd.valid()) return false;
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return fail(error, "password file '" + path + "' may be read by others (mode " + mode +
                               "); allow its owner only (chmod 600)");
    }
    if (st.st_size > MAX_PASSWORD_FILE_BYTES)
        return fail(error, "password file '" + path + "' is larger than " +
                               std::to_string(MAX_PASSWORD_FILE_BYTES / 1024) + " KiB");
    std::string text(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = read(fd.get(), &text[0], text.size());
    if (n < 0) return fail(error, "cannot read password file '" + path + "': " + errorText(errno));
    text.resize(static_cast<size_t>(n));
    config->password = text.substr(0, text.find_first_of("\r\n"));
    return true;
}

bool checkMqttNames(const std::vector<NameAndDevice>& names, std::string* error) {
    std::map<std::string, const std::string*> levels;  // topic level to the name that has it
    for (const NameAndDevice& n : names) {
        std::string why = topicTextProblem(n.name);
        if (!why.empty())
            return fail(error, "sensor name '" + escapeText(n.name) + "' of '" +
                                   escapeText(n.device) + "' cannot be part of a topic: " + why);
        auto taken = levels.emplace(topicLevel(n.name), &n.name);
        if (!taken.second)
            return fail(error, "sensor names '" + escapeText(*taken.first->second) + "' and '" +
                                   escapeText(n.name) + "' both become the topic level '" +
                                   escapeText(taken.first->first) + "'");
    }
    return true;
}

std::unique_ptr<MqttConfig> readMqttSection(const dictionary* d, const std::string& hostName,
                                            std::string* error) {
    error->clear();
    // A header is stored as an entry without a value: present but null.
    static const char absent[] = "";
    if (d == nullptr || dictionary_get(d, SECTION, absent) == absent) return nullptr;
    std::map<std::string, std::string> keys;
    int count = iniparser_getnseckeys(d, SECTION);
    for (int i = 0; i < count; ++i) {
        const char* key = iniparser_getseckeyname(d, SECTION, i);
        keys[key + sizeof(SECTION)] = iniparser_getstring(d, key, "");  // skip "mqtt:"
    }
    auto config = std::make_unique<MqttConfig>();
    if (!parseMqttConfig(keys, hostName, config.get(), error)) return nullptr;
    if (!loadMqttFiles(config.get(), error)) return nullptr;
    return config;
}

std::string localHostName() {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof(name)) != 0 || name[0] == '\0') return "localhost";
    name[HOST_NAME_MAX] = '\0';
    return name;
}
