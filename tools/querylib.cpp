// Query check, threshold ranges, plugin states and the output formats of
// sensomark-query.
#include "querylib.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

namespace {
// Performance data knows no unit "°C": only percentages carry their unit, and
// with it the bounds 0 and 100.
const char PERCENT[] = "%";

// A fresh number: what the value families show and sensomark_reading_valid
// counts as 1, as on the daemon's /metrics.
bool usable(const Reply& reply) {
    return reply.kind == ReplyKind::VALUE;
}

// The reason a reply carries no usable value, for the JSON output.
const char* reasonText(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::NO_VALUE:
            return "no value";
        case ReplyKind::STALE:
            return "stale";
        case ReplyKind::UNKNOWN_NAME:
            return "unknown sensor";
        default:
            return "";
    }
}

// A sensor name as it may stand in the plugin's text: "|" would start the
// performance data.
std::string pluginText(std::string text) {
    for (char& c : text) {
        if (c == '|') c = '_';
    }
    return text;
}

// A performance-data label may hold neither "=" nor a single quote, and "|"
// would confuse readers of the performance data.
std::string perfLabel(const Query& query) {
    std::string label = query.sensor + "_" + query.quantity->key;
    for (char& c : label) {
        if (c == '\'' || c == '=' || c == '|') c = '_';
    }
    return "'" + label + "'";
}

// A number for JSON as formatNumber writes it: whole numbers without ".0".
nlohmann::ordered_json jsonNumber(double value) {
    double whole = std::trunc(value);
    if (whole == value && std::fabs(value) < 1e15) return static_cast<int64_t>(whole);
    return value;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}
}  // namespace

bool parseQuery(const std::string& text, Query* query, std::string* error) {
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        *error = "bad query: a query name cannot hold a line break or NUL";
        return false;
    }
    QueryName name;
    if (!splitQueryName(text, &name)) {
        *error = "bad query '" + text + "': expected NAME.N, e.g. cellar.1";
        return false;
    }
    // The daemon reads "01", "+1" or "1x" as 1 too; the tool wants the one digit.
    size_t selectorLength = text.size() - name.sensor.size() - 1;
    const Quantity* quantity = quantityOf(name.selector);
    if (selectorLength != 1 || quantity == nullptr) {
        *error = "bad query '" + text +
                 "': the quantity after the last full stop must be 1 (temperature), "
                 "2 (humidity) or 3 (dew point)";
        return false;
    }
    query->text = text;
    query->sensor = std::string(name.sensor);
    query->quantity = quantity;
    return true;
}

bool parseRange(const std::string& text, Range* range) {
    Range parsed;
    std::string body = text;
    if (!body.empty() && body[0] == '@') {
        parsed.inside = true;
        body.erase(0, 1);
    }
    size_t colon = body.find(':');
    if (colon == std::string::npos) {
        parsed.low = 0;
        if (!parseDecimal(body, true, &parsed.high)) return false;
    } else {
        std::string start = body.substr(0, colon);
        std::string end = body.substr(colon + 1);
        if (start == "~") {
            parsed.low = -INFINITY;
        } else if (!parseDecimal(start, true, &parsed.low)) {
            return false;
        }
        if (end.empty()) {
            parsed.high = INFINITY;
        } else if (!parseDecimal(end, true, &parsed.high)) {
            return false;
        }
    }
    if (parsed.low > parsed.high) return false;
    *range = parsed;
    return true;
}

bool rangeAlerts(const Range& range, double value) {
    bool within = value >= range.low && value <= range.high;
    return range.inside ? within : !within;
}

PluginState worseState(PluginState a, PluginState b) {
    for (PluginState state : {STATE_CRITICAL, STATE_WARNING, STATE_UNKNOWN}) {
        if (a == state || b == state) return state;
    }
    return STATE_OK;
}

bool parseState(const std::string& text, PluginState* state) {
    for (PluginState s : {STATE_OK, STATE_WARNING, STATE_CRITICAL, STATE_UNKNOWN}) {
        std::string name = stateName(s);
        for (char& c : name) c = static_cast<char>(c - 'A' + 'a');
        if (text == name) {
            *state = s;
            return true;
        }
    }
    return false;
}

std::string stateName(PluginState state) {
    switch (state) {
        case STATE_OK:
            return "OK";
        case STATE_WARNING:
            return "WARNING";
        case STATE_CRITICAL:
            return "CRITICAL";
        default:
            return "UNKNOWN";
    }
}

int replyExitCode(const std::vector<Result>& results) {
    int code = 0;
    for (const Result& r : results) {
        if (r.reply.kind == ReplyKind::UNKNOWN_NAME) return 2;
        if (!usable(r.reply)) code = 1;
    }
    return code;
}

std::string formatPlain(const std::vector<Result>& results) {
    std::string out;
    for (const Result& r : results) {
        out += r.query.text + ":" + (r.line.empty() ? "" : " " + r.line) + "\n";
    }
    return out;
}

std::string formatJson(const std::vector<Result>& results) {
    std::string out;
    for (const Result& r : results) {
        bool valid = usable(r.reply);
        nlohmann::ordered_json line = {{"query", r.query.text},
                                       {"name", r.query.sensor},
                                       {"quantity", r.query.quantity->key},
                                       {"valid", valid},
                                       {"value", valid ? jsonNumber(r.reply.value) : nullptr}};
        if (!valid) line["reason"] = reasonText(r.reply.kind);
        out += line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    }
    return out;
}

std::string formatPrometheus(const std::vector<Result>& results) {
    // A series may appear only once: the first result of each sensor and quantity counts.
    std::vector<const Result*> unique;
    std::set<std::pair<std::string, const Quantity*>> seen;
    for (const Result& r : results) {
        if (seen.insert({r.query.sensor, r.query.quantity}).second) unique.push_back(&r);
    }
    // Families without a sample are left out.
    PrometheusText out;
    for (const Quantity& quantity : QUANTITIES) {
        bool first = true;
        for (const Result* r : unique) {
            if (r->query.quantity != &quantity || !usable(r->reply)) continue;
            if (first) out.family(quantity.metric, "gauge", quantity.help);
            first = false;
            out.sample(quantity.metric, {{"sensor", r->query.sensor}},
                       formatNumber(r->reply.value));
        }
    }
    if (!unique.empty()) out.family(VALID_METRIC, "gauge", VALID_HELP);
    for (const Result* r : unique)
        out.sample(VALID_METRIC,
                   {{"sensor", r->query.sensor}, {"quantity", r->query.quantity->key}},
                   usable(r->reply));
    return out.text();
}

std::string formatCheck(const std::vector<Result>& results, const CheckOptions& options,
                        PluginState* state) {
    PluginState worst = STATE_OK;
    std::vector<std::string> texts, perfData;
    for (const Result& r : results) {
        const Query& q = r.query;
        std::string subject = pluginText(q.sensor) + " " + q.quantity->key;
        bool percent = std::string(q.quantity->unit) == PERCENT;
        std::string perfTail =
            ";" + options.warningText + ";" + options.criticalText + (percent ? ";0;100" : ";;");
        PluginState itemState = options.staleState;
        switch (r.reply.kind) {
            case ReplyKind::VALUE:
                itemState = STATE_OK;
                if (options.critical && rangeAlerts(*options.critical, r.reply.value)) {
                    itemState = STATE_CRITICAL;
                } else if (options.warning && rangeAlerts(*options.warning, r.reply.value)) {
                    itemState = STATE_WARNING;
                }
                texts.push_back(subject + " " + formatNumber(r.reply.value));
                perfData.push_back(perfLabel(q) + "=" + formatNumber(r.reply.value) +
                                   (percent ? PERCENT : "") + perfTail);
                break;
            case ReplyKind::NO_VALUE:
                texts.push_back(subject + " has no value");
                perfData.push_back(perfLabel(q) + "=U" + perfTail);
                break;
            case ReplyKind::STALE:
                texts.push_back(subject + " stale");
                perfData.push_back(perfLabel(q) + "=U" + perfTail);
                break;
            case ReplyKind::UNKNOWN_NAME:
                itemState = STATE_UNKNOWN;
                texts.push_back("unknown sensor '" + pluginText(q.sensor) + "'");
                break;
        }
        worst = worseState(worst, itemState);
    }
    *state = worst;
    std::string line = "SENSOMARK " + stateName(worst) + " - " + join(texts, ", ");
    if (!perfData.empty()) line += " | " + join(perfData, " ");
    return line + "\n";
}
