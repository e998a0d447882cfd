// The routes of the web port and the Prometheus exposition of readings,
// device counters and service counters.
#include "webport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>
#include <vector>

#include "connectionmanager.h"
#include "jsonview.h"
#include "logging.h"
#include "protocol.h"
#include "sensormanager.h"
#include "sensorview.h"
#include "statuspage.h"
#include "tool.h"

namespace {

// Label values escape backslash, double quote and line feed.
std::string escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

HttpServer::Limits limits() {
    HttpServer::Limits limits;
    limits.maxHeadBytes = WebPort::MAX_REQUEST_HEAD_BYTES;
    limits.headTimeoutMs = WebPort::REQUEST_TIMEOUT_MS;
    return limits;
}

// What a response depends on: the path, and the name of history.json; the
// rest of a query changes nothing, so it makes no response of its own.
std::string cacheKey(const HttpRequest& request) {
    std::string name;
    if (request.path != "/history.json" || !request.queryValue("name", &name)) return request.path;
    return request.path + "?name=" + percentEncode(name);
}

struct NamedReadings {
    std::string sensor;  // the label set sensor="..."
    std::string device;
    Reading readings[QUANTITY_COUNT];
};

}  // namespace

WebPort::WebPort(SensorManager* sensors, ConnectionManager* connections)
    : sensors(sensors),
      connections(connections),
      server([this](const HttpRequest& request) { return route(request, Sensor::clockNow()); },
             limits(), cacheKey) {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) == 0) host = name;
    if (host.empty()) host = "this machine";
}

void WebPort::useHistory(const History* shown) {
    history = shown;
}

bool WebPort::start(const std::vector<std::string>& addresses, const AllowList* allowList, int port,
                    int backlog) {
    std::string error;
    std::vector<UniqueFd> listeners = openListenSockets(addresses, port, backlog, &error);
    if (listeners.empty()) {
        logEvent(LOG_CRITICAL, "metrics endpoint: " + error);
        return false;
    }
    HttpServer::Filter filter;
    if (!allowList->empty())
        filter = [allowList](const sockaddr_storage& peer) { return allowList->allows(peer); };
    if (!start(std::move(listeners), std::move(filter))) return false;
    logEvent(LOG_STAT, "serving metrics on port " + itoa(port));
    return true;
}

bool WebPort::start(std::vector<UniqueFd> listeners, HttpServer::Filter filter) {
    return server.start(std::move(listeners), std::move(filter));
}

HttpResponse WebPort::route(const HttpRequest& request, int64_t now) {
    HttpResponse response;
    if (request.path == "/metrics") {
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        response.body = render(now);
    } else if (request.path == "/") {
        response.contentType = "text/html; charset=utf-8";
        // Nothing on the page may load or run anything, whatever a name holds.
        response.headers.push_back(
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'");
        response.body =
            renderStatusPage(viewDevices(*sensors, now), *history, History::wallNow(), host);
    } else if (request.path == "/readings.json") {
        response.contentType = "application/json";
        response.body = readingsJson(viewDevices(*sensors, now), time(nullptr));
    } else if (request.path == "/history.json") {
        response = historyResponse(request, now);
    } else {
        response.status = 404;
        response.body = "try /, /metrics, /readings.json or /history.json?name=NAME\n";
    }
    return response;
}

HttpResponse WebPort::historyResponse(const HttpRequest& request, int64_t now) {
    HttpResponse response;
    response.contentType = "application/json";
    std::string name;
    if (request.queryValue("name", &name)) {
        for (const DeviceView& device : viewDevices(*sensors, now)) {
            if (std::find(device.names.begin(), device.names.end(), name) == device.names.end())
                continue;
            int64_t wallNow = History::wallNow();
            SensorHistory* ring = history->of(device.sensor);
            HistorySeries series;
            if (ring != nullptr)
                series = ring->series(HistoryRange::DAY, History::utcMinuteOf(wallNow));
            response.body = historyJson(name, device, series, wallNow);
            return response;
        }
    }
    // The name is not echoed: the answer holds nothing the client chose.
    response.status = 404;
    response.body = "{\"error\": \"no sensor has that name\"}\n";
    return response;
}

std::string WebPort::render(int64_t now) {
    std::vector<NamedReadings> named;
    std::vector<Sensor*> devices;
    sensors->visit(
        [&](const std::string& name, Sensor* sensor) {
            NamedReadings r;
            r.sensor = "sensor=\"" + escape(name) + "\"";
            r.device = sensor->getDeviceName();
            for (const Quantity& q : QUANTITIES)
                r.readings[q.type - 1] = sensor->getReadingAt(q.type, now);
            named.push_back(std::move(r));
        },
        [&](Sensor* sensor) { devices.push_back(sensor); });

    std::ostringstream out;
    for (const Quantity& q : QUANTITIES) {
        family(out, q.metric, "gauge", q.help);
        for (const NamedReadings& r : named) {
            const Reading& reading = r.readings[q.type - 1];
            if (reading.hasNumber)
                out << q.metric << '{' << r.sensor << "} " << reading.value << '\n';
        }
    }
    family(out, VALID_METRIC, "gauge", VALID_HELP);
    for (const NamedReadings& r : named)
        for (const Quantity& q : QUANTITIES)
            out << VALID_METRIC << '{' << r.sensor << ",quantity=\"" << q.key << "\"} "
                << r.readings[q.type - 1].hasNumber << '\n';
    family(out, "sensomark_reading_age_seconds", "gauge",
           "Seconds since the device last delivered a value; absent before the first.");
    for (const NamedReadings& r : named)
        if (r.readings[0].ageS >= 0)
            out << "sensomark_reading_age_seconds{" << r.sensor << "} " << r.readings[0].ageS
                << '\n';
    family(out, "sensomark_sensor_info", "gauge", "The device each sensor name reads; always 1.");
    for (const NamedReadings& r : named)
        out << "sensomark_sensor_info{" << r.sensor << ",device=\"" << escape(r.device)
            << "\"} 1\n";

    // Each device once: a path configured twice would repeat a label set, which
    // makes the whole exposition invalid.
    std::set<std::string> seen;
    devices.erase(
        std::remove_if(devices.begin(), devices.end(),
                       [&](Sensor* s) { return !seen.insert(s->getDeviceName()).second; }),
        devices.end());
    struct DeviceMetric {
        const char* name;
        const char* type;
        const char* help;
        unsigned long (*value)(Sensor*);
    } deviceMetrics[] = {
        {"sensomark_device_open", "gauge", "1 while the serial device is open.",
         [](Sensor* s) -> unsigned long { return s->isOpen(); }},
        {"sensomark_device_reconnects_total", "counter", "Times the device was lost.",
         [](Sensor* s) { return s->reconnectCount(); }},
        {"sensomark_device_lines_total", "counter", "Device lines parsed.",
         [](Sensor* s) { return s->lineCount(); }},
        {"sensomark_device_fields_ignored_total", "counter",
         "Fields of device lines that were no key=value pair, or a new key beyond the bound.",
         [](Sensor* s) { return s->ignoredFieldCount(); }},
    };
    for (const DeviceMetric& m : deviceMetrics) {
        family(out, m.name, m.type, m.help);
        for (Sensor* s : devices)
            out << m.name << "{device=\"" << escape(s->getDeviceName()) << "\"} " << m.value(s)
                << '\n';
    }
    family(out, "sensomark_clients_connected", "gauge", "TCP query clients being served.");
    out << "sensomark_clients_connected " << connections->clientCount() << '\n';
    family(out, "sensomark_requests_total", "counter", "Query requests answered.");
    out << "sensomark_requests_total " << connections->requestCount() << '\n';
    for (const auto& families : extraFamilies) out << families();
    return out.str();
}
