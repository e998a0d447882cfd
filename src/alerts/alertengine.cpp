// The alert rules' states and their events; see alertengine.h.
#include "alertengine.h"

#include <ctime>

namespace {
const char STALE[] = "stale";

const Quantity& quantity(ReadType type) {
    return QUANTITIES[type - 1];
}
std::string withUnit(const std::string& value, ReadType type) {
    return value + " " + quantity(type).unit;
}
}  // namespace

std::string isoTime(int64_t wall) {
    time_t t = static_cast<time_t>(wall);
    struct tm tm;
    char text[32] = "";
    if (gmtime_r(&t, &tm) != nullptr) strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

AlertEngine::AlertEngine(const AlertConfig& config, const std::vector<AlertDevice>& list,
                         AlertTime start)
    : staleS(config.staleS), staleText(config.staleText) {
    std::map<std::string, size_t> byName;
    for (const AlertDevice& d : list) {
        if (deviceIndex.count(d.device) != 0) continue;
        deviceIndex[d.device] = devices.size();
        for (const std::string& name : d.names) byName[name] = devices.size();
        Device device;
        device.device = d.device;
        device.name = d.names.empty() ? d.device : d.names.front();
        device.lastMono = start.mono;
        device.lastWall = start.wall;
        devices.push_back(device);
    }
    for (const AlertRule& rule : config.rules) {
        auto it = byName.find(rule.name);
        Rule r;
        if (it != byName.end()) {
            devices[it->second].rules.push_back(rules.size());
            r.device = devices[it->second].device;
        }
        r.rule = rule;
        rules.push_back(r);
    }
}

void AlertEngine::onReading(const std::string& device, const AlertInput (&values)[QUANTITY_COUNT],
                            AlertTime now) {
    auto it = deviceIndex.find(device);
    if (it == deviceIndex.end()) return;
    bool valid = false;
    for (const AlertInput& v : values) valid = valid || v.valid;
    if (!valid) return;
    MutexLock lock(mutex);
    Device& d = devices[it->second];
    d.lastMono = now.mono;
    d.lastWall = now.wall;
    if (d.stale) {
        d.stale = false;
        emit(staleEvent(d, false, now));
    }
    for (size_t index : d.rules) {
        Rule& r = rules[index];
        const AlertInput& input = values[r.rule.quantity - 1];
        if (input.valid) judge(r, input, now);
    }
}

void AlertEngine::judge(Rule& r, const AlertInput& input, AlertTime now) {
    const AlertRule& rule = r.rule;
    r.value = input.text;
    bool past = rule.above ? input.number > rule.limit : input.number < rule.limit;
    bool back = rule.above ? input.number <= rule.clear : input.number >= rule.clear;
    switch (r.phase) {
        case Phase::NORMAL:
            if (!past) return;
            r.phase = Phase::PENDING;
            r.sinceMono = now.mono;
            r.sinceWall = now.wall;
            [[fallthrough]];
        case Phase::PENDING:
            if (!past) {
                r.phase = Phase::NORMAL;
            } else if (now.mono - r.sinceMono >= rule.forS) {
                r.phase = Phase::RAISED;
                emit(ruleEvent(r, true, now));
            }
            return;
        case Phase::RAISED:
            if (!back) return;
            r.phase = Phase::NORMAL;
            emit(ruleEvent(r, false, now));
            return;
    }
}

void AlertEngine::tick(AlertTime now) {
    if (staleS == 0) return;
    MutexLock lock(mutex);
    for (Device& d : devices) {
        if (d.stale || now.mono - d.lastMono < staleS) continue;
        d.stale = true;
        d.staleSince = d.lastWall;
        emit(staleEvent(d, true, now));
    }
}

void AlertEngine::emit(AlertEvent event) {
    ++changes;
    events.push_back(event);
    if (events.size() > MAX_EVENTS) events.pop_front();
    for (const Listener& listener : listeners) listener(event);
}

AlertEvent AlertEngine::ruleEvent(const Rule& r, bool raised, AlertTime now) const {
    const AlertRule& rule = r.rule;
    AlertEvent e;
    e.index = static_cast<size_t>(&r - rules.data());
    e.raised = raised;
    e.alert = rule.text;
    e.name = rule.name;
    e.quantity = quantity(rule.quantity).key;
    e.value = r.value;
    e.limit = raised ? rule.limitText : rule.clearText;
    e.since = r.sinceWall;
    e.at = now.wall;
    std::string side = rule.above ? "above" : "below";
    std::string what = rule.name + " " + e.quantity + " is " + withUnit(r.value, rule.quantity);
    if (raised)
        e.message = what + ", " + side + " " + rule.limitText + " since " + isoTime(e.since);
    else
        e.message = what + ", back " + (rule.above ? "at or below " : "at or above ") +
                    rule.clearText + " (" + side + " " + rule.limitText + " since " +
                    isoTime(e.since) + ")";
    return e;
}

AlertEvent AlertEngine::staleEvent(const Device& d, bool raised, AlertTime now) const {
    AlertEvent e;
    e.index = rules.size() + static_cast<size_t>(&d - devices.data());
    e.raised = raised;
    e.alert = STALE;
    e.name = d.name;
    e.limit = staleText;
    e.since = d.staleSince;
    e.at = now.wall;
    std::string who = d.name + " ('" + d.device + "')";
    if (raised)
        e.message =
            who + " has given no valid reading for " + staleText + ", since " + isoTime(e.since);
    else
        e.message = who + " gives valid readings again (silent since " + isoTime(e.since) + ")";
    return e;
}

AlertReport AlertEngine::report() const {
    AlertReport report;
    MutexLock lock(mutex);
    for (const Rule& r : rules) {
        bool active = r.phase == Phase::RAISED;
        report.alerts.push_back({r.rule.name, quantity(r.rule.quantity).key, r.rule.text,
                                 r.rule.limitText, r.device, active, active ? r.sinceWall : 0,
                                 r.value});
    }
    if (staleS > 0) {
        for (const Device& d : devices)
            report.alerts.push_back(
                {d.name, "", STALE, staleText, d.device, d.stale, d.stale ? d.staleSince : 0, ""});
    }
    report.events.assign(events.rbegin(), events.rend());
    return report;
}

uint64_t AlertEngine::generation() const {
    MutexLock lock(mutex);
    return changes;
}

std::vector<SavedAlert> AlertEngine::active() const {
    std::vector<SavedAlert> saved;
    for (const AlertStatus& s : report().alerts)
        if (s.active) saved.push_back({s.name, s.quantity, s.alert, s.since});
    return saved;
}

size_t AlertEngine::restore(const std::vector<SavedAlert>& saved) {
    size_t matched = 0;
    MutexLock lock(mutex);
    for (const SavedAlert& s : saved) {
        for (Rule& r : rules) {
            if (r.phase == Phase::RAISED || r.rule.name != s.name ||
                quantity(r.rule.quantity).key != s.quantity || r.rule.text != s.alert)
                continue;
            r.phase = Phase::RAISED;
            r.sinceWall = s.since;
            ++matched;
            break;
        }
        if (s.alert != STALE || !s.quantity.empty() || staleS == 0) continue;
        for (Device& d : devices) {
            if (d.stale || d.name != s.name) continue;
            d.stale = true;
            d.staleSince = s.since;
            ++matched;
            break;
        }
    }
    return matched;
}
