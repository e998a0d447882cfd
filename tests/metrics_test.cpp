// The Prometheus exposition on the sensor clock; the daemon serves it in webport_test.
#include <gtest/gtest.h>

#include <regex>

#include "sensormanager.h"
#include "webport.h"

TEST(MetricsText, LabelledReadingsValidOnlyForAFreshNumberEachDeviceOnce) {
    const int64_t T = 1000000;
    SensorManager sensors;
    WebPort metrics{&sensors, {[] { return 0; }, [] { return 0ul; }}};
    Sensor* cellar = sensors.newSensor("/dev/\"a\\");
    Sensor* stale = sensors.newSensor("/dev/\"a\\");  // the same path twice
    sensors.nameSensor(cellar, "cellar");
    sensors.nameSensor(stale, "say \"hi\"\\");
    cellar->storeLine("temperature=21.5 humidity=1" + std::string(39, '0') + " dewpoint=-1.5", T);
    stale->storeLine("temperature=30", T - 31);
    // Every TYPE line follows the HELP line of its metric.
    EXPECT_EQ(
        std::regex_replace(metrics.render(T + 2), std::regex("# HELP (\\w+) [^\n]+\n# TYPE \\1 "),
                           "# HELP+TYPE $1 "),
        R"(# HELP+TYPE sensomark_temperature_celsius gauge
sensomark_temperature_celsius{sensor="cellar"} 21.5
# HELP+TYPE sensomark_relative_humidity_percent gauge
# HELP+TYPE sensomark_dewpoint_celsius gauge
sensomark_dewpoint_celsius{sensor="cellar"} -1.5
# HELP+TYPE sensomark_reading_valid gauge
sensomark_reading_valid{sensor="cellar",quantity="temperature"} 1
sensomark_reading_valid{sensor="cellar",quantity="humidity"} 0
sensomark_reading_valid{sensor="cellar",quantity="dewpoint"} 1
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="temperature"} 0
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="humidity"} 0
sensomark_reading_valid{sensor="say \"hi\"\\",quantity="dewpoint"} 0
# HELP+TYPE sensomark_reading_age_seconds gauge
sensomark_reading_age_seconds{sensor="cellar"} 2
sensomark_reading_age_seconds{sensor="say \"hi\"\\"} 33
# HELP+TYPE sensomark_sensor_info gauge
sensomark_sensor_info{sensor="cellar",device="/dev/\"a\\"} 1
sensomark_sensor_info{sensor="say \"hi\"\\",device="/dev/\"a\\"} 1
# HELP+TYPE sensomark_device_open gauge
sensomark_device_open{device="/dev/\"a\\"} 0
# HELP+TYPE sensomark_device_reconnects_total counter
sensomark_device_reconnects_total{device="/dev/\"a\\"} 0
# HELP+TYPE sensomark_device_lines_total counter
sensomark_device_lines_total{device="/dev/\"a\\"} 0
# HELP+TYPE sensomark_device_fields_ignored_total counter
sensomark_device_fields_ignored_total{device="/dev/\"a\\"} 0
# HELP+TYPE sensomark_device_values_refused_total counter
sensomark_device_values_refused_total{device="/dev/\"a\\",reason="range"} 1
sensomark_device_values_refused_total{device="/dev/\"a\\",reason="calibration"} 0
# HELP+TYPE sensomark_clients_connected gauge
sensomark_clients_connected 0
# HELP+TYPE sensomark_requests_total counter
sensomark_requests_total 0
)");
}
