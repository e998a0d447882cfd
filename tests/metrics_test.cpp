// The Prometheus endpoint: the exposition text and the HTTP answers on the
// sensor clock, then the real daemon serving them over TCP.
#include "metrics.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "connectionmanager.h"
#include "sensormanager.h"
#include "testutil.h"

using Lines = std::vector<std::string>;
namespace {
const int64_t T = 1000000;

struct Exposition {
    SensorManager sensors;
    ConnectionManager connections{&sensors};
    MetricsServer metrics{&sensors, &connections};
};

// What the daemon on port sends back to one HTTP request.
std::string http(int port, const std::string& request) {
    Client client(port);
    client.send(request);
    client.closedByPeer();
    return client.pending;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
}  // namespace

TEST(MetricsText, ReadingsByNameValidOnlyForAFreshNumberEachDeviceOnce) {
    Exposition e;
    Sensor* cellar = e.sensors.newSensor("/dev/\"a\\");
    Sensor* shared = e.sensors.newSensor("/dev/\"a\\");  // the same path twice
    Sensor* quiet = e.sensors.newSensor("/dev/ttyB");
    e.sensors.nameSensor(cellar, "cellar");
    e.sensors.nameSensor(shared, "say \"hi\"\\");
    e.sensors.nameSensor(quiet, "attic");
    cellar->storeLine("temperature=21.5 humidity=.... dewpoint=-1.5", T);
    shared->storeLine("temperature=30", T - 31);
    EXPECT_EQ(std::regex_replace(e.metrics.render(T + 2), std::regex("# HELP .*\n"), ""),
              R"(# TYPE sensomark_temperature_celsius gauge
sensomark_temperature_celsius{sensor="cellar"} 21.5
# TYPE sensomark_relative_humidity_percent gauge
# TYPE sensomark_dewpoint_celsius gauge
sensomark_dewpoint_celsius{sensor="cellar"} -1.5
# TYPE sensomark_reading_valid gauge
sensomark_reading_valid{sensor="attic",quantity="temperature"} 0
sensomark_reading_valid{sensor="attic",quantity="humidity"} 0
sensomark_reading_valid{sensor="attic",quantity="dewpoint"} 0
sensomark_reading_valid{sensor="cellar",quantity="temperature"} 1
sensomark_reading_valid{sensor="cellar",quantity="humidity"} 0
sensomark_reading_valid{sensor="cellar",quantity="dewpoint"} 1
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="temperature"} 0
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="humidity"} 0
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="dewpoint"} 0
# TYPE sensomark_reading_age_seconds gauge
sensomark_reading_age_seconds{sensor="cellar"} 2
sensomark_reading_age_seconds{sensor="say \"hi\"\\"} 33
# TYPE sensomark_sensor_info gauge
sensomark_sensor_info{sensor="attic",device="/dev/ttyB"} 1
sensomark_sensor_info{sensor="cellar",device="/dev/\"a\\"} 1
sensomark_sensor_info{sensor="say \"hi\"\\",device="/dev/\"a\\"} 1
# TYPE sensomark_device_open gauge
sensomark_device_open{device="/dev/\"a\\"} 0
sensomark_device_open{device="/dev/ttyB"} 0
# TYPE sensomark_device_reconnects_total counter
sensomark_device_reconnects_total{device="/dev/\"a\\"} 0
sensomark_device_reconnects_total{device="/dev/ttyB"} 0
# TYPE sensomark_device_lines_total counter
sensomark_device_lines_total{device="/dev/\"a\\"} 0
sensomark_device_lines_total{device="/dev/ttyB"} 0
# TYPE sensomark_device_fields_ignored_total counter
sensomark_device_fields_ignored_total{device="/dev/\"a\\"} 0
sensomark_device_fields_ignored_total{device="/dev/ttyB"} 0
# TYPE sensomark_clients_connected gauge
sensomark_clients_connected 0
# TYPE sensomark_requests_total counter
sensomark_requests_total 0
)");
    // At T + 31 the cellar's readings are stale: no samples, valid 0, the age goes on.
    std::string stale = e.metrics.render(T + 31);
    EXPECT_FALSE(has(stale, "_celsius{"));
    EXPECT_FALSE(has(stale, "temperature\"} 1") || has(stale, "dewpoint\"} 1"));
    EXPECT_TRUE(has(stale, "sensomark_reading_age_seconds{sensor=\"cellar\"} 31\n"));
}

TEST(MetricsEndpoint, ServesTheDaemonsReadingsAndCountersOverHttp) {
    TempDir dir;
    Pty pty;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(metricsPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar garage\n"));
    pty.write("temperature=21.5 humidity=48.3 dewpoint=10.1 junk\r\n");
    Client client(port);
    ASSERT_TRUE(eventually([&] { return client.query("garage.1") == "valid=1;value=21.5;"; }));
    std::string reply;  // startDaemon's probe client may still be counted for a moment
    EXPECT_TRUE(eventually([&] {
        reply = http(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n");
        return has(reply, "sensomark_clients_connected 1\n");
    })) << reply;
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
    const std::string device = "{device=\"" + pty.slavePath + "\"} 1";
    for (const std::string& sample :
         Lines{"sensomark_temperature_celsius{sensor=\"garage\"} 21.5",
               "sensomark_relative_humidity_percent{sensor=\"cellar\"} 48.3",
               "sensomark_sensor_info{sensor=\"garage\",device=\"" + pty.slavePath + "\"} 1",
               "sensomark_device_open" + device, "sensomark_device_lines_total" + device,
               "sensomark_device_fields_ignored_total" + device})
        EXPECT_TRUE(has(body, sample + "\n")) << sample << "\n" << body;
    EXPECT_FALSE(has(body, "sensomark_requests_total 0\n"));
    if (access("/usr/bin/promtool", X_OK) == 0) {
        dir.write("metrics.txt", body);
        std::string out;
        EXPECT_EQ(
            runProgram({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir.path, &out),
            0)
            << out;
    }
    EXPECT_EQ(http(metricsPort, "POST /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_EQ(http(metricsPort, std::string(20000, 'G')).rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(client.query("cellar.2"), "valid=1;value=48.3;");  // the query service never noticed
}
