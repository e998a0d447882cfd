// The pure parts of sensomark-query: its query check, threshold ranges, plugin
// states and output formats. The protocol itself (quantities, reply lines,
// the split of query names) is protocol.h's. No I/O and no shared state; any
// thread may call them.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "prometheus.h"
#include "protocol.h"

// One query name as sent to the daemon: a sensor name, a full stop, a quantity.
struct Query {
    std::string text;                    // e.g. "cellar.1"
    std::string sensor;                  // the part before the last full stop
    const Quantity* quantity = nullptr;  // never null once parsed
};
// Splits text like the daemon does (splitQueryName), but accepts only what
// the daemon would answer with a reading: false, with the reason in *error,
// when there is no full stop, the selector is not exactly "1", "2" or "3", or
// the text holds a CR, LF or NUL (which would end the request line early).
bool parseQuery(const std::string& text, Query* query, std::string* error);

// A query together with the reply line it received.
struct Result {
    Query query;
    std::string line;
    Reply reply;
};

// A threshold range in the monitoring-plugin syntax: "10" is 0..10, "10:" is
// 10..infinity, "~:35" is -infinity..35, "10:30", and "@20:25" alerts inside.
// Both ends belong to the range.
struct Range {
    double low = 0;
    double high = 0;
    bool inside = false;  // alert inside the range instead of outside
};
// False for text that is not a range, or whose start is above its end.
bool parseRange(const std::string& text, Range* range);
// True when value raises the alert of range.
bool rangeAlerts(const Range& range, double value);

// Monitoring-plugin states; their numbers are the plugin's exit codes.
enum PluginState { STATE_OK = 0, STATE_WARNING = 1, STATE_CRITICAL = 2, STATE_UNKNOWN = 3 };
// The worse of two states: CRITICAL, then WARNING, then UNKNOWN, then OK.
PluginState worseState(PluginState a, PluginState b);
// Reads "ok", "warning", "critical" or "unknown"; false for anything else.
bool parseState(const std::string& text, PluginState* state);
// "OK", "WARNING", "CRITICAL" or "UNKNOWN".
std::string stateName(PluginState state);

struct CheckOptions {
    std::optional<Range> warning, critical;
    std::string warningText, criticalText;   // as given, repeated in the performance data
    PluginState staleState = STATE_UNKNOWN;  // for STALE and NO_VALUE replies
};

// Exit code of the plain, JSON and Prometheus formats: 2 when a name is
// unknown, else 1 when a reply has no usable value, else 0.
int replyExitCode(const std::vector<Result>& results);

// One line per result: "cellar.1: valid=1;value=21.5;" ("cellar.1:" alone for
// an unknown name).
std::string formatPlain(const std::vector<Result>& results);
// One JSON object per line and result.
std::string formatJson(const std::vector<Result>& results);
// The text exposition format with the daemon's metric names, label sets and
// HELP texts: each family once, the first result of a sensor and quantity only.
std::string formatPrometheus(const std::vector<Result>& results);
// The plugin status line with performance data; *state receives the worst state.
std::string formatCheck(const std::vector<Result>& results, const CheckOptions& options,
                        PluginState* state);
