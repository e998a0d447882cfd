// alerts/: the alerts the box raises itself: section [alerts] (alertconfig),
// the rules' states and their events (alertengine), /alerts.json and the
// metric families (alertview), the notify command (notifier), the states kept
// over a restart (alertstate) and the whole put together (alertservice).
//
// The keys of section [alerts] read and checked into an AlertConfig. Used
// only on the start-up thread; no state.
//
//   notify = PATH                  a program run for every event
//   stale = DURATION               a device silent this long raises "stale"
//   NAME.QUANTITY = RULE, RULE...  RULE: above|below LIMIT [for DURATION] [clear LIMIT]
//
// "for" and "clear" may come in either order, each at most once. DURATION is
// a whole number with s, m or h; LIMIT a decimal number with an optional sign.
#pragma once
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dictionary.h"
#include "protocol.h"

struct AlertRule {
    std::string name;   // a sensor name of [sensors]
    ReadType quantity;  // the quantity judged
    bool above = true;  // above LIMIT; false: below LIMIT
    double limit = 0;
    std::string limitText;  // as written: "70", "-18.5"
    int64_t forS = 0;       // how long every reading must be past the limit
    double clear = 0;       // back at or beyond this level clears; the limit unless given
    std::string clearText;
    std::string text;  // the rule's words joined by one space: "above 70 for 10m clear 65"
};

struct AlertConfig {
    std::string notify;            // absolute path of the notify program; empty: none
    int64_t staleS = 0;            // 0: no stale alerts
    std::string staleText;         // as written: "10m"
    std::vector<AlertRule> rules;  // in file order, each key's rules in their order
};

// Whole seconds of "90s", "10m" or "1h" (at most 9 digits); false for
// anything else.
bool parseDuration(const std::string& text, int64_t* seconds);

// Reads the keys of the section (key without "alerts:" and value, in file
// order) into *config; sensorNames are the names of [sensors]. A relative
// notify path is taken from the working directory. False with *error the
// one log line of the first problem, naming the key.
bool parseAlertConfig(const std::vector<std::pair<std::string, std::string>>& keys,
                      const std::set<std::string>& sensorNames, AlertConfig* config,
                      std::string* error);

// Section [alerts] of d: null when d has none (alerts are off), else the
// configuration, or null with *error set.
std::unique_ptr<AlertConfig> readAlertSection(const dictionary* d,
                                              const std::set<std::string>& sensorNames,
                                              std::string* error);
