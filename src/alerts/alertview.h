// What the alerts show to scripts and scrapers: the document of /alerts.json
// and the metric families of /metrics. Pure: the caller brings the report;
// any thread may call them.
#pragma once
#include <cstdint>
#include <string>

#include "alertengine.h"

// What the notify command did, counted by result.
struct NotifyCounts {
    uint64_t ok = 0;       // ended with exit code 0
    uint64_t failed = 0;   // not started, a non-zero exit, a signal, the time limit or the stop
    uint64_t dropped = 0;  // not run: the queue was full, or the daemon stopped first
};

// {"time": UNIX, "active": [ALERT, ...], "events": [EVENT, ...]}, the events
// newest first; ALERT {"name", "quantity", "alert", "limit", "value", "since"},
// EVENT {"event": "raised"|"cleared", "name", "quantity", "alert", "value",
// "limit", "since", "time", "message"}; times are Unix seconds, quantity and
// value null for a stale alert.
std::string alertsJson(const AlertReport& report, int64_t wallNow);

// sensomark_alert_active{name,quantity,alert} 0 or 1 per alert and, when
// notify is given, sensomark_alert_notifications_total{result}.
std::string alertFamilies(const AlertReport& report, const NotifyCounts* notify);
