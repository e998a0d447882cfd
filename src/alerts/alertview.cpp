// /alerts.json and the alert metrics; built with nlohmann::json and
// PrometheusText, so that escaping is never ours.
#include "alertview.h"

#include <nlohmann/json.hpp>

#include "prometheus.h"

using nlohmann::json;

namespace {
json textOrNull(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}
}  // namespace

std::string alertsJson(const AlertReport& report, int64_t wallNow) {
    json active = json::array(), events = json::array();
    for (const AlertStatus& a : report.alerts) {
        if (!a.active) continue;
        active.push_back({{"name", a.name},
                          {"quantity", textOrNull(a.quantity)},
                          {"alert", a.alert},
                          {"limit", a.limit},
                          {"value", textOrNull(a.value)},
                          {"since", a.since}});
    }
    for (const AlertEvent& e : report.events) {
        events.push_back({{"event", e.raised ? "raised" : "cleared"},
                          {"name", e.name},
                          {"quantity", textOrNull(e.quantity)},
                          {"alert", e.alert},
                          {"value", textOrNull(e.value)},
                          {"limit", e.limit},
                          {"since", e.since},
                          {"time", e.at},
                          {"message", e.message}});
    }
    json document = {{"time", wallNow}, {"active", active}, {"events", events}};
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string alertFamilies(const AlertReport& report, const NotifyCounts* notify) {
    PrometheusText out;
    out.family("sensomark_alert_active", "gauge",
               "1 while the alert of [alerts] is raised, 0 otherwise.");
    for (const AlertStatus& a : report.alerts)
        out.sample("sensomark_alert_active",
                   {{"name", a.name}, {"quantity", a.quantity}, {"alert", a.alert}},
                   uint64_t{a.active});
    if (notify == nullptr) return out.text();
    out.family("sensomark_alert_notifications_total", "counter",
               "Alert events handed to the notify command, by result: ok, failed (not started, "
               "a non-zero exit, killed) or dropped (never run).");
    for (auto [result, count] :
         {std::pair{"ok", notify->ok}, {"failed", notify->failed}, {"dropped", notify->dropped}})
        out.sample("sensomark_alert_notifications_total", {{"result", result}}, count);
    return out.text();
}
