// Corrections of measured values: the grammar of [calibration] with each
// refusal's message, the Magnus dew point, decimals and clamping of corrected
// values, a calibrated sensor, and the daemon serving one on every output.
#include "calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "brokerutil.h"
#include "config.h"
#include "sensor.h"

namespace {
Calibration parsed(const std::string& value) {
    Calibration c;
    std::string error;
    EXPECT_TRUE(parseCalibration(value, &c, &error)) << value << ": " << error;
    return c;
}

std::string refusal(const std::string& value) {
    Calibration c;
    std::string error;
    EXPECT_FALSE(parseCalibration(value, &c, &error)) << value;
    return error;
}

}  // namespace

TEST(CalibrationGrammar, AcceptsOffsetsFactorsAndPoints) {
    struct Case {
        std::string value;
        bool t;
        double tFactor, tOffset;
        bool h;
        double hFactor, hOffset;
    } cases[] = {
        {"temperature +0.4", true, 1, 0.4, false, 1, 0},
        {"humidity 1.02 -2.5", false, 1, 0, true, 1.02, -2.5},
        {"temperature 0.3->0.0 39.6->40.0", true, 40.0 / 39.3, -0.3 * 40.0 / 39.3, false, 1, 0},
        // Least squares through (0,1) (1,2) (2,4): slope 1.5, offset 5/6.
        {"temperature 0->1 1->2 2->4", true, 1.5, 7.0 / 3 - 1.5, false, 1, 0},
        {" temperature\t+0.4 ,humidity 0.98->1.0 74.0->75.3 ", true, 1, 0.4, true, 74.3 / 73.02,
         1.0 - 0.98 * 74.3 / 73.02},
    };
    for (const Case& c : cases) {
        Calibration cal = parsed(c.value);
        EXPECT_EQ(cal.temperature.active, c.t) << c.value;
        EXPECT_NEAR(cal.temperature.factor, c.tFactor, 1e-9) << c.value;
        EXPECT_NEAR(cal.temperature.offset, c.tOffset, 1e-9) << c.value;
        EXPECT_EQ(cal.humidity.active, c.h) << c.value;
        EXPECT_NEAR(cal.humidity.factor, c.hFactor, 1e-9) << c.value;
        EXPECT_NEAR(cal.humidity.offset, c.hOffset, 1e-9) << c.value;
    }
}

TEST(CalibrationGrammar, RefusesWhatItCannotReadAndSaysWhy) {
    struct Case {
        std::string value, error;
    } cases[] = {
        {"dewpoint +1",
         "dewpoint cannot be calibrated: it is recomputed from the corrected "
         "temperature and humidity"},
        {"pressure +1", "unknown quantity 'pressure' (temperature or humidity)"},
        {"Temperature +1", "unknown quantity 'Temperature' (temperature or humidity)"},
        {"temperature", "temperature has no correction"},
        {"temperature 0.4", "offset '0.4' needs its sign ('+0.4' or '-0.4')"},
        {"temperature +0,4", "unknown quantity '4' (temperature or humidity)"},
        {"temperature +0.4,", "empty entry"},
        {"temperature +0.4, temperature -0.1", "temperature is calibrated twice"},
        {"humidity 0 +2", "a factor of 0"},
        {"humidity 1 2 3", "humidity has more than a factor and an offset"},
        {"temperature +1e3", "offset '+1e3' is not a decimal number"},
        {"humidity one -2.5", "factor 'one' is not a decimal number"},
        {"temperature 0.3->0.0", "a line needs at least two points"},
        {"temperature 0.3->0.0 0.3->1.0",
         "the points do not define a line (all measured "
         "values equal)"},
        {"temperature 0->5 10->5", "the points give a factor of 0 (all true values equal)"},
        {"temperature 0->0 +1", "'+1' is not a MEASURED->TRUE point"},
        {"temperature ->0 1->1", "measured value '' is not a decimal number"},
        {"temperature 0-> 1->1", "true value '' is not a decimal number"},
        // Finite numbers whose corrections are not: what the history stores is a float.
        {"temperature 1" + std::string(40, '0') + " +0",
         "corrects -100 °C to -1e+42: corrected temperature from -100 to 200 °C must lie within "
         "±3.4e38"},
        {"temperature 1" + std::string(308, '0') + "->0 5->6",
         "corrects -100 °C to nan: corrected temperature from -100 to 200 °C must lie within "
         "±3.4e38"},
        {"humidity 1 +4" + std::string(38, '0'),
         "corrects 0 % to 4e+38: corrected humidity from 0 to 100 % must lie within ±3.4e38"},
    };
    for (const Case& c : cases) EXPECT_EQ(refusal(c.value), c.error) << c.value;
}

TEST(CalibrationSection, IsReadWithTheConfigurationForTheDevicesItServes) {
    TempDir dir;
    auto load = [&](const std::string& text, ConfigUse use = ConfigUse::DAEMON) {
        dir.write("c.conf", text);
        ConfigFound found;
        return loadConfig(dir.file("c.conf"), use, &found);
    };
    // Without [sensors] the default device is the one there is to correct.
    Config c = load("[calibration]\n/dev/ttyUSB0 = humidity -3 ; too damp\n");
    EXPECT_TRUE(c.notes.empty());
    ASSERT_EQ(c.calibrations.count("/dev/ttyUSB0"), 1u);
    EXPECT_DOUBLE_EQ(c.calibrations["/dev/ttyUSB0"].humidity.offset, -3);
    c = load("[sensors]\n/dev/ttyUSB1 = a\n[calibration]\n/dev/ttyUSB0 = humidity -3\n");
    ASSERT_EQ(c.notes.size(), 1u);
    EXPECT_TRUE(c.notes[0].fatal);
    EXPECT_EQ(c.notes[0].text,
              "invalid calibration of '/dev/ttyUSB0': no such device under [sensors]");
    EXPECT_TRUE(c.calibrations.empty());
    // A client reading the file for its defaults leaves the section alone.
    c = load("[calibration]\n/dev/ttyUSB9 = dewpoint +1\n", ConfigUse::CLIENT);
    EXPECT_TRUE(c.notes.empty());
}

TEST(MagnusDewPoint, MatchesTheReferenceTable) {
    // Dew points of the Magnus form with Alduchov and Eskridge's coefficients,
    // as the usual calculators give them to a tenth.
    struct Case {
        double t, rh, dewPoint;
    } cases[] = {
        {20, 50, 9.3},  {25, 60, 16.7}, {0, 100, 0.0},  {-10, 80, -12.8},
        {30, 30, 10.5}, {10, 75, 5.8},  {35, 90, 33.1}, {-20, 50, -27.8},
    };
    for (const Case& c : cases) {
        double dewPoint = NAN;
        EXPECT_TRUE(magnusDewPoint(c.t, c.rh, &dewPoint));
        EXPECT_NEAR(dewPoint, c.dewPoint, 0.05) << c.t << " °C " << c.rh << " %";
    }
    double dewPoint;
    EXPECT_FALSE(magnusDewPoint(20, 0, &dewPoint));
    EXPECT_TRUE(magnusDewPoint(20, 104, &dewPoint));  // condensing: as at 100 %
    EXPECT_NEAR(dewPoint, 20, 1e-9);
}

TEST(CorrectedValue, KeepsTheDevicesDecimalsAndHumidityWithinItsRange) {
    Correction plus{true, 1, 0.44}, scale{true, 1.1, -10}, wet{true, 1, 5}, nan{true, NAN, 0};
    struct Case {
        Correction c;
        ReadType type;
        std::string measured, corrected;
    } cases[] = {
        {plus, TEMPERATURE, "21.5", "21.9"},
        {plus, TEMPERATURE, "21.50", "21.94"},
        {plus, TEMPERATURE, "21", "21"},
        {plus, TEMPERATURE, "-0.4", "0.0"},
        {plus, TEMPERATURE, "-0.5", "-0.1"},
        {plus, TEMPERATURE, "-.48", "-0.04"},
        {plus, TEMPERATURE, "1.123456789", "1.563457"},
        {plus, TEMPERATURE, "", ""},
        {plus, TEMPERATURE, "1.2.3", ""},
        {scale, HUMIDITY, "95.0", "94.5"},
        {wet, HUMIDITY, "98.0", "100.0"},
        {scale, HUMIDITY, "8.0", "0.0"},
        {scale, TEMPERATURE, "8.0", "-1.2"},
        // No number rather than a clamped NaN, or a value beyond a float.
        {nan, HUMIDITY, "50", ""},
        {scale, TEMPERATURE, "34" + std::string(37, '0'), ""},
    };
    for (const Case& c : cases) {
        Measurement m = correctMeasurement(c.c, c.type, measurementOf(c.measured));
        EXPECT_EQ(m.text, c.corrected) << c.measured;
        EXPECT_EQ(m.hasNumber, !c.corrected.empty()) << c.measured;
        if (m.hasNumber) {
            EXPECT_EQ(m.number, strtod(c.corrected.c_str(), nullptr)) << c.measured;
        }
    }
}

TEST(CalibratedSensor, StoresCorrectedValuesBesideRawAndRecomputesTheDewPoint) {
    const int T = TEMPERATURE - 1, H = HUMIDITY - 1, D = DEWPOINT - 1;
    Sensor sensor(nullptr, "/dev/ttyUSB0");
    sensor.setCalibration(parsed("temperature -1.0"));
    const int64_t t = 1000;
    sensor.storeLine("temperature=21.0 humidity=50.0 dewpoint=10.25 status=ok", t);
    EXPECT_EQ(sensor.getReadingAt(TEMPERATURE, t), "valid=1;value=20.0;");
    SensorSnapshot s = sensor.snapshot(t);
    EXPECT_EQ(s.values[T].text, "20.0");
    EXPECT_TRUE(s.corrected[T]);
    EXPECT_EQ(s.raw[T].text, "21.0");
    EXPECT_EQ(s.values[H].text, "50.0");
    EXPECT_FALSE(s.corrected[H]);
    EXPECT_EQ(s.values[D].text, "9.26");  // of 20 °C and 50 %, the device's two decimals
    EXPECT_TRUE(s.corrected[D]);
    EXPECT_EQ(s.raw[D].text, "10.25");

    // A line with humidity only: the dew point follows it with the kept
    // temperature, and the sample the listeners hear says so.
    Sample sample = parseSample("humidity=60.0");
    sensor.store(sample, t + 1);
    EXPECT_TRUE(sample.has[D]);
    EXPECT_EQ(sample.values[D].text, "12.00");
    EXPECT_DOUBLE_EQ(sample.values[D].number, 12);
    EXPECT_FALSE(sample.has[T]);
    EXPECT_EQ(sensor.snapshot(t + 1).values[T].text, "20.0");
    // No humidity number: no dew point rather than the device's uncorrected one.
    sensor.storeLine("humidity=x", t + 2);
    EXPECT_EQ(sensor.getReadingAt(DEWPOINT, t + 2), "valid=1;value=;");
    EXPECT_EQ(sensor.snapshot(t + 2).raw[D].text, "10.25");

    // A device without a dew point gets one, with one decimal.
    Sensor humid(nullptr, "/dev/ttyUSB2");
    humid.setCalibration(parsed("humidity 1 +10"));
    humid.storeLine("temperature=20 humidity=40", t);
    EXPECT_EQ(humid.getReadingAt(HUMIDITY, t), "valid=1;value=50;");
    EXPECT_EQ(humid.getReadingAt(DEWPOINT, t), "valid=1;value=9.3;");
    EXPECT_EQ(humid.snapshot(t).raw[D].text, "");
}

// The device sends 21.53 °C and 48.0 %; configured with 2 x -22.04 °C it is
// served as 21.02 °C, and its dew point 10.87 as that of 21.02 °C and 48 %:
// 9.59 (Magnus), everywhere a value leaves the daemon. Then a humidity beyond
// a float and a temperature that the correction takes beyond one: only query
// replies carry either (the humidity as sent), each refusal logged once.
TEST(CalibratedDaemon, EveryOutputCarriesTheCorrectedValueAndNoNumberBeyondAFloat) {
    SKIP_WITHOUT_MOSQUITTO();
    Rig r;
    r.daemon = startDaemon(
        r.dir, configText(r.port, "metricsport = " + std::to_string(r.metricsPort) +
                                      "\n[sensors]\n" + r.link + " = cellar\n" +
                                      mqttSection(r.broker.port, "t") + "[calibration]\n" + r.link +
                                      " = temperature 2 -22.04 ; odd, but linear\n"));
    EXPECT_TRUE(r.daemon->waitFor("calibrating sensor '" + r.link + "'"));
    r.pty->write("temperature=21.53 humidity=48.0 dewpoint=10.87\n");
    EXPECT_TRUE(r.sub->waitFor("t/cellar/temperature", "21.02"));
    EXPECT_TRUE(r.sub->waitFor("t/cellar/dewpoint", "9.59"));
    Client client(r.port);
    EXPECT_EQ(client.query("cellar.1"), "valid=1;value=21.02;");
    EXPECT_EQ(client.query("cellar.3"), "valid=1;value=9.59;");
    std::string metrics = scrape(r.metricsPort);
    EXPECT_TRUE(has(metrics, "sensomark_temperature_celsius{sensor=\"cellar\"} 21.02\n") &&
                has(metrics, "sensomark_dewpoint_celsius{sensor=\"cellar\"} 9.59\n"))
        << metrics;
    auto readings = nlohmann::json::parse(
        httpGet(r.metricsPort, "/readings.json").body)["sensors"]["cellar"]["readings"];
    EXPECT_EQ(readings["temperature"]["value"], 21.02) << readings;
    EXPECT_EQ(readings["temperature"]["raw"], 21.53) << readings;
    EXPECT_FALSE(readings["humidity"].contains("raw")) << readings;
    std::string page = httpGet(r.metricsPort, "/").body;
    EXPECT_TRUE(has(page, "21.02") && !has(page, "21.53")) << page;

    // 10^40 % as sent; 2 x 2e38 - 22.04 = 4e38 °C as corrected. Twice, logged once.
    const std::string huge = "1" + std::string(40, '0'), far = "2" + std::string(38, '0');
    for (int i = 0; i < 2; ++i) r.pty->write("temperature=" + far + " humidity=" + huge + "\n");
    r.pty->write("temperature=21.54\n");
    EXPECT_TRUE(r.sub->waitFor("t/cellar/temperature", "21.04"));
    EXPECT_TRUE(r.daemon->waitFor("sensed 'temperature=21.54' on"));
    EXPECT_EQ(r.daemon->count("sent humidity '" + huge.substr(0, 24) + "...', beyond"), 1);
    EXPECT_EQ(r.daemon->count("makes temperature 4e+38, beyond"), 1);
    // A later publication: whatever came with the one before has arrived.
    r.pty->write("temperature=21.55\n");
    EXPECT_TRUE(r.sub->waitFor("t/cellar/temperature", "21.06"));
    EXPECT_EQ(r.sub->last("t/cellar/humidity"), "48.0");
    EXPECT_EQ(client.query("cellar.2"), "valid=1;value=" + huge + ";");
    EXPECT_EQ(client.query("cellar.3"), "valid=1;value=;");
    metrics = scrape(r.metricsPort);
    for (const char* reason : {"range", "calibration"})
        EXPECT_TRUE(has(metrics, "sensomark_device_values_refused_total{device=\"" + r.link +
                                     "\",reason=\"" + reason + "\"} 2\n"))
            << metrics;
    EXPECT_FALSE(has(metrics, "sensomark_relative_humidity_percent{")) << metrics;
}
