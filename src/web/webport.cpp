// The routes of the web port.
#include "webport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

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

// What a response depends on: the path, and the name of history.json; the
// rest of a query changes nothing, so it makes no response of its own.
std::string cacheKey(const HttpRequest& request) {
    std::string name;
    if (request.path != "/history.json" || !request.queryValue("name", &name)) return request.path;
    return request.path + "?name=" + percentEncode(name);
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
        response.contentType = "text/html; charset=utf-8";
        // Nothing on the page may load or run anything, whatever a name holds.
        response.headers.push_back(
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'");
        response.body = renderStatusPage(namedSensors(now), *history, History::wallNow(), host);
    } else if (request.path == "/readings.json") {
        response.contentType = "application/json";
        response.body = readingsJson(namedSensors(now), time(nullptr));
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
        for (const NamedSnapshot& device : namedSensors(now)) {
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

std::vector<NamedSnapshot> WebPort::namedSensors(int64_t now) {
    std::vector<NamedSnapshot> named = sensors->snapshots(now);
    named.erase(std::remove_if(named.begin(), named.end(),
                               [](const NamedSnapshot& s) { return s.names.empty(); }),
                named.end());
    return named;
}

std::string WebPort::render(int64_t now) {
    std::string out = exposition(sensors->snapshots(now), service);
    for (const auto& families : extraFamilies) out += families();
    return out;
}
