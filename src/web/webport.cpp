// The routes of the web port.
#include "webport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "csvview.h"
#include "jsonview.h"
#include "logging.h"
#include "sensormanager.h"
#include "statuspage.h"
#include "tool.h"

namespace {

HttpServer::Limits limits() {
    HttpServer::Limits limits;
    limits.maxHeadBytes = WebPort::MAX_REQUEST_HEAD_BYTES;
    limits.headTimeoutMs = WebPort::REQUEST_TIMEOUT_MS;
    return limits;
}

bool isHistoryPath(const std::string& path) {
    return path == "/history.json" || path == "/history.csv";
}

// The range a request asks for: day without one; false for an unknown one.
bool rangeOf(const HttpRequest& request, HistoryRange* range) {
    std::string text;
    *range = HistoryRange::DAY;
    return !request.queryValue("range", &text) || parseHistoryRange(text, range);
}

// What a response depends on: the path, the range of the page and of the
// history, and the name of the history; the rest of a query changes nothing,
// so it makes no response of its own. (An unknown range is answered 400,
// which is never kept.)
std::string cacheKey(const HttpRequest& request) {
    HistoryRange range;
    if (request.path != "/" && !isHistoryPath(request.path)) return request.path;
    std::string key = request.path + "?range=";
    key += rangeOf(request, &range) ? historyRangeName(range) : "?";
    std::string name;
    if (isHistoryPath(request.path) && request.queryValue("name", &name))
        key += "&name=" + percentEncode(name);
    return key;
}

HttpResponse badRange() {
    HttpResponse response;
    response.status = 400;
    response.body = "unknown range: try day, week, month or year\n";
    return response;
}

// The history of device for range ending with the UTC minute nowMinute; every
// bucket a gap when history does not follow it.
HistorySeries seriesOf(const History& history, const SensorSnapshot& device, HistoryRange range,
                       int64_t nowMinute) {
    SensorHistory* ring = history.of(device.sensor);
    if (ring != nullptr) return ring->series(range, nowMinute);
    static const struct {
        int step, count;
    } SHAPES[] = {{1, 1440}, {10, 1008}, {10, 4464}, {60, 8784}};
    const auto shape = SHAPES[static_cast<int>(range)];
    HistorySeries gaps;
    gaps.stepMinutes = shape.step;
    int64_t last = nowMinute / shape.step - (nowMinute % shape.step < 0);
    gaps.firstMinute = (last - shape.count + 1) * shape.step;
    for (auto& buckets : gaps.buckets) buckets.resize(shape.count);
    return gaps;
}

}  // namespace

WebPort::WebPort(SensorManager* sensors, ServiceCounters service)
    : sensors(sensors),
      service(std::move(service)),
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
        HistoryRange range;
        if (!rangeOf(request, &range)) return badRange();
        response.contentType = "text/html; charset=utf-8";
        // Nothing on the page may load or run anything, whatever a name holds.
        response.headers.push_back(
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'");
        int64_t wallNow = History::wallNow(), nowMinute = History::utcMinuteOf(wallNow);
        auto series = [&](const SensorSnapshot& device) {
            return seriesOf(*history, device, range, nowMinute);
        };
        response.body = renderStatusPage(namedSensors(now), series, range, wallNow, host,
                                         alertList ? alertList() : std::vector<AlertStatus>());
    } else if (request.path == "/readings.json") {
        response.contentType = "application/json";
        response.body = readingsJson(namedSensors(now), time(nullptr));
    } else if (isHistoryPath(request.path)) {
        response = historyResponse(request, now);
    } else if (request.path == "/alerts.json" && alertsJson) {
        response.contentType = "application/json";
        response.body = alertsJson();
    } else {
        response.status = 404;
        response.body = std::string("try /, /metrics, /readings.json, ") +
                        (alertsJson ? "/alerts.json, " : "") +
                        "/history.json?name=NAME or /history.csv?name=NAME\n";
    }
    return response;
}

HttpResponse WebPort::historyResponse(const HttpRequest& request, int64_t now) {
    HistoryRange range;
    if (!rangeOf(request, &range)) return badRange();
    const bool csv = request.path == "/history.csv";
    HttpResponse response;
    std::string name;
    if (request.queryValue("name", &name)) {
        for (const SensorSnapshot& device : namedSensors(now)) {
            if (std::find(device.names.begin(), device.names.end(), name) == device.names.end())
                continue;
            int64_t wallNow = History::wallNow();
            HistorySeries series = seriesOf(*history, device, range, History::utcMinuteOf(wallNow));
            if (csv) {
                response.contentType = "text/csv; charset=utf-8";
                // A fixed file name: nothing the client sent goes into a header.
                response.headers.push_back(
                    std::string("Content-Disposition: attachment; filename=\"sensomark-") +
                    historyRangeName(range) + ".csv\"");
                response.body = historyCsv(series);
            } else {
                response.contentType = "application/json";
                response.body = historyJson(name, device, series, range, wallNow);
            }
            return response;
        }
    }
    // The name is not echoed: the answer holds nothing the client chose.
    response.status = 404;
    if (csv) {
        response.body = "no sensor has that name\n";
    } else {
        response.contentType = "application/json";
        response.body = "{\"error\": \"no sensor has that name\"}\n";
    }
    return response;
}

std::vector<SensorSnapshot> WebPort::namedSensors(int64_t now) {
    std::vector<SensorSnapshot> named = sensors->snapshots(now);
    named.erase(std::remove_if(named.begin(), named.end(),
                               [](const SensorSnapshot& s) { return s.names.empty(); }),
                named.end());
    return named;
}

std::string WebPort::render(int64_t now) {
    std::string out = exposition(sensors->snapshots(now), service);
    for (const auto& families : extraFamilies) out += families();
    return out;
}
