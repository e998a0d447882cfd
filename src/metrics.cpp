// Prometheus exposition of readings, device counters and service counters,
// served by a deliberately small HTTP responder: one GET path, Connection:
// close, a bounded request head and a time-out. It needs no HTTP library.
#include "metrics.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include "connectionmanager.h"
#include "logging.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "tool.h"

namespace {

struct Quantity {
    Sensor::ReadType type;
    const char* label;
    const char* metric;
    const char* help;
};
const Quantity QUANTITIES[] = {
    {Sensor::TEMPERATURE, "temperature", "sensomark_temperature_celsius",
     "Latest temperature in degrees Celsius; absent while the reading is not valid."},
    {Sensor::HUMIDITY, "humidity", "sensomark_relative_humidity_percent",
     "Latest relative humidity in percent; absent while the reading is not valid."},
    {Sensor::DEWPOINT, "dewpoint", "sensomark_dewpoint_celsius",
     "Latest dew point in degrees Celsius; absent while the reading is not valid."},
};

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

// The value of a "valid=1;value=...;" reply when it is a number.
bool replyValue(const std::string& reply, std::string* value) {
    const std::string prefix = "valid=1;value=";
    if (reply.compare(0, prefix.size(), prefix) != 0) return false;
    *value = reply.substr(prefix.size(), reply.size() - prefix.size() - 1);
    if (value->empty()) return false;
    char* end = nullptr;
    strtod(value->c_str(), &end);
    return *end == '\0';
}

struct NamedReading {
    std::string labels;  // sensor="...",device="..."
    std::string replies[4];
    time_t readTime;
};

}  // namespace

MetricsServer::MetricsServer(SensorManager* sensors, ConnectionManager* connections)
    : sensors(sensors), connections(connections) {}

MetricsServer::~MetricsServer() {
    if (thread.joinable()) {
        shouldShutdown.store(1);
        thread.join();
    }
    if (listenFd >= 0) close(listenFd);
}

bool MetricsServer::start(const std::string& address, int port) {
    std::string error;
    listenFd = openListenSocket(address, port, SOMAXCONN, &error);
    if (listenFd < 0) {
        logEvent(LOG_CRITICAL, "metrics endpoint: " + error);
        return false;
    }
    logEvent(LOG_STAT, "serving metrics on port " + itoa(port));
    thread = std::thread(&MetricsServer::run, this);
    return true;
}

void MetricsServer::run() {
    while (!shouldShutdown.load()) {
        int ready = waitReadable(listenFd);
        if (ready < 0 && errno != EINTR) {
            logEvent(LOG_CRITICAL, "metrics endpoint: select on listen socket failed");
            return;
        }
        if (ready <= 0) continue;
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) continue;  // a client that left, or a passing shortage
        serve(fd);
        close(fd);
    }
}

void MetricsServer::serve(int fd) {
    std::string head;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_TIMEOUT_MS);
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > MAX_REQUEST_HEAD_BYTES) {
            std::string reply = respond("", 0);  // answered as malformed
            size_t len = reply.size();
            sendall(fd, reply.data(), &len);
            return;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || shouldShutdown.load() ||
            poll(&p, 1, std::min<long>(left.count(), WAIT_STEP_MS)) < 0)
            return;
        if (p.revents == 0) continue;
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return;
        head.append(buffer, static_cast<size_t>(n));
    }
    std::string reply = respond(head, time(nullptr));
    size_t len = reply.size();
    sendall(fd, reply.data(), &len);
}

std::string MetricsServer::respond(const std::string& head, time_t now) {
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

std::string MetricsServer::render(time_t now) {
    std::vector<NamedReading> named;
    std::vector<Sensor*> devices;
    sensors->visit(
        [&](const std::string& name, Sensor* sensor) {
            NamedReading reading;
            reading.labels = "sensor=\"" + escape(name) + "\",device=\"" +
                             escape(sensor->getDeviceName()) + "\"";
            for (const Quantity& q : QUANTITIES)
                reading.replies[q.type] = sensor->getReadingAt(q.type, now);
            reading.readTime = sensor->lastReadTime();
            named.push_back(std::move(reading));
        },
        [&](Sensor* sensor) { devices.push_back(sensor); });

    std::ostringstream out;
    for (const Quantity& q : QUANTITIES) {
        family(out, q.metric, "gauge", q.help);
        std::string value;
        for (const NamedReading& r : named)
            if (replyValue(r.replies[q.type], &value))
                out << q.metric << '{' << r.labels << "} " << value << '\n';
    }
    family(out, "sensomark_reading_valid", "gauge",
           "1 while the reading is served as valid (fresh), 0 otherwise.");
    for (const NamedReading& r : named)
        for (const Quantity& q : QUANTITIES)
            out << "sensomark_reading_valid{" << r.labels << ",quantity=\"" << q.label << "\"} "
                << (r.replies[q.type].compare(0, 8, "valid=1;") == 0) << '\n';
    family(out, "sensomark_reading_age_seconds", "gauge",
           "Seconds since the device last delivered a value; absent before the first.");
    for (const NamedReading& r : named)
        if (r.readTime != 0)
            out << "sensomark_reading_age_seconds{" << r.labels << "} " << now - r.readTime << '\n';

    // Sensors are listed per device; a device configured twice is shown once per sensor.
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
    return out.str();
}
