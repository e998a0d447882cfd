// web/: the optional web port: a small HTTP server (http), the Prometheus
// metrics (exposition), the status page (statuspage) and the JSON views of
// readings and history (jsonview), all served by the web port (webport).
// Entered by its one server thread, and by the start-up thread that sets it up.
//
// The optional web port: GET /metrics (the Prometheus exposition), the status
// page at GET /, the readings as JSON, the history as JSON and CSV and the
// alerts as JSON. One HttpServer thread serves every client; it only takes the
// registry's snapshots, reads the query service's counters, copies the history
// and takes the alerts' report.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "access.h"
#include "alertengine.h"
#include "exposition.h"
#include "history.h"
#include "http.h"
#include "net.h"

class SensorManager;

class WebPort {
  public:
    // Bytes of a request head beyond which the request is refused.
    static constexpr size_t MAX_REQUEST_HEAD_BYTES = 8192;
    // Time a client gets to send its request head.
    static constexpr int REQUEST_TIMEOUT_MS = 2000;

    WebPort(SensorManager* sensors, ServiceCounters service);
    // Stops the thread (stop).
    ~WebPort() = default;
    WebPort(const WebPort&) = delete;
    WebPort& operator=(const WebPort&) = delete;

    // Draws and serves history (not owned; it outlives the web port) on the
    // status page, history.json and history.csv; an empty one unless set. Set before start.
    void useHistory(const History* history);

    // Listens on addresses (none: all IPv4) and port, with a queue of backlog
    // clients before accept, and starts the thread; clients outside allow
    // (not owned; it outlives the server) are closed at once. Logs and
    // returns false when a socket cannot be set up.
    bool start(const std::vector<std::string>& addresses, const AllowList* allow, int port,
               int backlog);
    // Serves the clients of listeners (listening sockets) that filter lets in
    // (null: everybody).
    bool start(std::vector<UniqueFd> listeners, HttpServer::Filter filter = nullptr);
    // Stops the thread and waits for it; it never waits for a client. Nothing
    // when it does not run.
    void stop() { server.stop(); }

    // The alerts of [alerts]: json() is the body of /alerts.json, alerts() what
    // the status page shows; both called on the server's thread. Without them
    // /alerts.json is answered 404. Set before start.
    void useAlerts(std::function<std::string()> json,
                   std::function<std::vector<AlertStatus>()> alerts) {
        alertsJson = std::move(json);
        alertList = std::move(alerts);
    }

    // Adds a producer of further metric families (complete, with HELP and
    // TYPE) to the exposition; called on the metrics thread. Set before start.
    void addFamilies(std::function<std::string()> families) {
        extraFamilies.push_back(std::move(families));
    }

    // The exposition text of everything the daemon knows at time now (of
    // Sensor::clockNow()).
    std::string render(int64_t now);
    // The answer to one GET or HEAD request at time now.
    HttpResponse route(const HttpRequest& request, int64_t now);

  private:
    HttpResponse historyResponse(const HttpRequest& request, int64_t now);
    // The sensors that have a name, in creation order.
    std::vector<SensorSnapshot> namedSensors(int64_t now);

    SensorManager* const sensors;
    const ServiceCounters service;
    std::vector<std::function<std::string()>> extraFamilies;
    std::function<std::string()> alertsJson;
    std::function<std::vector<AlertStatus>()> alertList;
    History noHistory;
    const History* history = &noHistory;
    std::string host;  // the machine's name, for the page title
    // Last: its thread, which uses everything above, ends first.
    HttpServer server;
};
