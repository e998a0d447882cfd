// Prometheus exposition of readings, device counters and service counters,
// served by a deliberately small HTTP responder: one GET path, Connection:
// close, a bounded request head and a time-out. It needs no HTTP library.
#include "metrics.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <sstream>
#include <vector>

#include "connectionmanager.h"
#include "logging.h"
#include "protocol.h"
#include "sensormanager.h"
#include "sighandler.h"
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

struct NamedReadings {
    std::string sensor;  // the label set sensor="..."
    std::string device;
    Reading readings[QUANTITY_COUNT];
};

}  // namespace

MetricsServer::MetricsServer(SensorManager* sensors, ConnectionManager* connections)
    : sensors(sensors), connections(connections) {}

MetricsServer::~MetricsServer() {
    if (thread.joinable()) {
        requestShutdown();
        thread.join();
    }
}

bool MetricsServer::start(const std::vector<std::string>& addresses, const AllowList* allowList,
                          int port) {
    std::string error;
    listenSockets = openListenSockets(addresses, port, SOMAXCONN, &error);
    if (listenSockets.empty()) {
        logEvent(LOG_CRITICAL, "metrics endpoint: " + error);
        return false;
    }
    allow = allowList;
    logEvent(LOG_STAT, "serving metrics on port " + itoa(port));
    thread = std::thread(&MetricsServer::run, this);
    return true;
}

void MetricsServer::run() {
    std::vector<pollfd> waits;
    for (const UniqueFd& s : listenSockets) waits.push_back({s.get(), POLLIN, 0});
    waits.push_back({shutdownEventFd(), POLLIN, 0});
    while (!shouldShutdown.load()) {
        if (poll(waits.data(), waits.size(), shutdownWaitMs()) < 0 && errno != EINTR) {
            logEvent(LOG_CRITICAL, "metrics endpoint: select on listen socket failed");
            return;
        }
        for (size_t i = 0; i + 1 < waits.size() && !shouldShutdown.load(); ++i) {
            if (waits[i].revents == 0) continue;
            sockaddr_storage peer;
            socklen_t size = sizeof(peer);
            UniqueFd client(
                accept4(waits[i].fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
            // A client that left, a passing shortage, or one not on the list.
            if (client.valid() && allow->allows(peer)) serve(client.get());
        }
    }
}

void MetricsServer::serve(int fd) {
    std::string head;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_TIMEOUT_MS);
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > MAX_REQUEST_HEAD_BYTES) {
            head.clear();  // answered as malformed
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        int ready = waitReadable(fd, static_cast<int>(left.count()), shutdownEventFd());
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || shouldShutdown.load()) return;
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return;
        head.append(buffer, static_cast<size_t>(n));
    }
    std::string reply = respond(head, Sensor::clockNow());
    size_t len = reply.size();
    sendall(fd, reply.data(), &len);
}

std::string MetricsServer::respond(const std::string& head, int64_t now) {
    std::istringstream firstLine(head.substr(0, head.find_first_of("\r\n")));
    std::string method, target, version;
    firstLine >> method >> target >> version;
    std::string status = "200 OK", body;
    if (method.empty() || target.empty() || version.compare(0, 5, "HTTP/") != 0) {
        status = "400 Bad Request";
        body = "malformed request\n";
    } else if (method != "GET" && method != "HEAD") {
        status = "405 Method Not Allowed";
        body = "only GET is served\n";
    } else if (target != "/metrics" && target.compare(0, 9, "/metrics?") != 0) {
        status = "404 Not Found";
        body = "try /metrics\n";
    } else {
        body = render(now);
    }
    std::string reply = "HTTP/1.1 " + status + "\r\n";
    if (status == "405 Method Not Allowed") reply += "Allow: GET, HEAD\r\n";
    reply += "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
    reply += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (method != "HEAD") reply += body;
    return reply;
}

std::string MetricsServer::render(int64_t now) {
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
