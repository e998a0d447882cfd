// The optional Prometheus endpoint: GET /metrics over HTTP on its own port.
// One thread accepts and answers requests one at a time; it only reads the
// registry (under its lock) and the connection manager's counters.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "access.h"
#include "net.h"

class ConnectionManager;
class SensorManager;

class MetricsServer {
  public:
    // Bytes of a request head beyond which the request is refused.
    static const size_t MAX_REQUEST_HEAD_BYTES = 8192;
    // Time a client gets to send its request head.
    static constexpr int REQUEST_TIMEOUT_MS = 2000;

    MetricsServer(SensorManager* sensors, ConnectionManager* connections);
    // Stops the thread and waits for it (it wakes at once on shutdown).
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on addresses (none: all IPv4) and port and starts the thread;
    // clients outside allow (not owned; it outlives the server) are closed at
    // once. Logs and returns false when a socket cannot be set up.
    bool start(const std::vector<std::string>& addresses, const AllowList* allow, int port);

    // Adds a producer of further metric families (complete, with HELP and
    // TYPE) to the exposition; called on the metrics thread. Set before start.
    void addFamilies(std::function<std::string()> families) {
        extraFamilies.push_back(std::move(families));
    }

    // The exposition text of everything the daemon knows at time now (of
    // Sensor::clockNow()).
    std::string render(int64_t now);
    // The whole HTTP response to one request head (up to its blank line).
    std::string respond(const std::string& head, int64_t now);

  private:
    void run();
    void serve(int fd);

    SensorManager* const sensors;
    ConnectionManager* const connections;
    std::vector<UniqueFd> listenSockets;
    const AllowList* allow = nullptr;
    std::vector<std::function<std::string()>> extraFamilies;
    std::thread thread;
};
