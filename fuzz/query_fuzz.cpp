// Fuzz target: arbitrary request lines through query resolution on a small
// registry; every reply is checked against the query grammar written out here.
#include <climits>
#include <map>
#include <string>

#include "fuzzutil.h"
#include "logging.h"
#include "sensormanager.h"

namespace {

const char FRESH_LINE[] = "temperature=21.5 humidity=48.3 dewpoint=10.1";
const char* const FRESH_VALUES[] = {"", "21.5", "48.3", "10.1"};

// Two sensors: one with fresh data under two names, one that never sent any
// under two others (the empty name among them).
struct Registry {
    Registry() {
        fresh = manager.newSensor("/dev/fuzz0");
        silent = manager.newSensor("/dev/fuzz1");
        manager.nameSensor(fresh, "sensomark.com1");
        manager.nameSensor(fresh, "a.b.c");
        manager.nameSensor(silent, "");
        manager.nameSensor(silent, "x");
        names = {{"sensomark.com1", true}, {"a.b.c", true}, {"", false}, {"x", false}};
    }
    SensorManager manager;
    Sensor* fresh;
    Sensor* silent;
    std::map<std::string, bool> names;  // name: whether its sensor has fresh data
};

// The selector as the grammar reads it: like strtol with base 10 (white
// space, a sign, digits; 0 without digits), clamped to the int range.
long long selectorOf(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= 1LL << 40) value = value * 10 + (*text - '0');
    }
    if (negative) value = -value;
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
}

std::string expectedReply(const Registry& registry, const std::string& query) {
    size_t dot = query.rfind('.');
    if (dot == std::string::npos) return "";
    auto it = registry.names.find(query.substr(0, dot));
    if (it == registry.names.end()) return "";
    long long selector = selectorOf(query.c_str() + dot + 1);  // ends at a NUL byte
    if (!it->second || selector < 1 || selector > 3) return "valid=0";
    return std::string("valid=1;value=") + FRESH_VALUES[selector] + ";";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setLogLevel(LOG_DISABLED);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Registry registry;
    registry.fresh->storeLine(FRESH_LINE, Sensor::clockNow());  // fresh for the next 30 s
    std::string query(reinterpret_cast<const char*>(data), size);
    std::string reply = registry.manager.getReading(query);
    FUZZ_CHECK(reply.empty() || isReadingReply(reply), reply);
    FUZZ_CHECK(reply == expectedReply(registry, query), reply + " for " + query);
    return 0;
}
