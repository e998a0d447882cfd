// Reading the corrections of [calibration] and applying them.
#include "calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "tool.h"

namespace {

// Magnus coefficients over water for -45..60 °C, from O. A. Alduchov and
// R. E. Eskridge, "Improved Magnus form approximation of saturation vapor
// pressure", Journal of Applied Meteorology 35 (1996), 601-609.
const double MAGNUS_A = 17.625;
const double MAGNUS_B = 243.04;  // °C

const char ARROW[] = "->";

bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// Decimal digits after the full stop of a number's text.
int decimalsOf(const std::string& text) {
    size_t dot = text.find('.');
    if (dot == std::string::npos) return 0;
    return std::min(static_cast<int>(text.size() - dot - 1), MAX_DECIMALS);
}

std::string formatFixed(double value, int decimals) {
    // Up to 39 digits before the full stop of a storable number, and the decimals.
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    std::string result = text;
    // -0.04 with one decimal is "-0.0": no sign on a zero.
    if (result[0] == '-' && result.find_first_not_of("-0.") == std::string::npos)
        result.erase(0, 1);
    return result;
}

// A computed value as served: its text with decimals, and the number that
// text reads as, so that every output shows the same; refused when it is
// not storable().
Measurement computed(double value, int decimals) {
    Measurement m;
    if (!storable(value)) {
        m.number = value;
        m.refused = Refusal::CALIBRATION;
        return m;
    }
    m.text = formatFixed(value, decimals);
    m.number = strtod(m.text.c_str(), nullptr);
    m.hasNumber = true;
    return m;
}

std::string shortNumber(double value) {
    if (std::isnan(value)) return "nan";  // whatever its sign bit
    char text[32];
    snprintf(text, sizeof(text), "%g", value);
    return text;
}

// Every plausible value of quantity q stays storable() once corrected; a
// line is checked at its ends.
bool checkPlausible(const Correction& c, const Quantity& q, std::string* error) {
    for (double measured : {q.low, q.high}) {
        double corrected = measured * c.factor + c.offset;
        if (!storable(corrected))
            return fail(error, "corrects " + shortNumber(measured) + " " + q.unit + " to " +
                                   shortNumber(corrected) + ": corrected " + q.key + " from " +
                                   shortNumber(q.low) + " to " + shortNumber(q.high) + " " +
                                   q.unit + " must lie within ±3.4e38");
    }
    return true;
}

// The line through points (measured, true): least squares, which is the line
// through them when there are two.
bool fitLine(const std::vector<std::pair<double, double>>& points, Correction* correction,
             std::string* error) {
    double meanX = 0, meanY = 0;
    for (const auto& p : points) {
        meanX += p.first;
        meanY += p.second;
    }
    meanX /= static_cast<double>(points.size());
    meanY /= static_cast<double>(points.size());
    double sxx = 0, sxy = 0;
    for (const auto& p : points) {
        sxx += (p.first - meanX) * (p.first - meanX);
        sxy += (p.first - meanX) * (p.second - meanY);
    }
    if (sxx == 0) return fail(error, "the points do not define a line (all measured values equal)");
    correction->factor = sxy / sxx;
    correction->offset = meanY - correction->factor * meanX;
    if (correction->factor == 0)
        return fail(error, "the points give a factor of 0 (all true values equal)");
    return true;
}

bool parseNumber(const std::string& text, const std::string& what, double* number,
                 std::string* error) {
    if (!parseDecimal(text, true, number))
        return fail(error, what + " '" + text + "' is not a decimal number");
    return true;
}

bool parsePoints(const std::vector<std::string>& words, Correction* correction,
                 std::string* error) {
    std::vector<std::pair<double, double>> points;
    for (const std::string& word : words) {
        size_t arrow = word.find(ARROW);
        if (arrow == std::string::npos)
            return fail(error, "'" + word + "' is not a MEASURED->TRUE point");
        double measured, real;
        if (!parseNumber(word.substr(0, arrow), "measured value", &measured, error) ||
            !parseNumber(word.substr(arrow + 2), "true value", &real, error))
            return false;
        points.emplace_back(measured, real);
    }
    if (points.size() < 2) return fail(error, "a line needs at least two points");
    return fitLine(points, correction, error);
}

bool parseEntry(const std::string& entry, Calibration* calibration, std::string* error) {
    std::vector<std::string> words;
    stringTokenize(entry, words, " \t");
    if (words.empty()) return fail(error, "empty entry");
    Correction* correction;
    if (words[0] == "temperature") {
        correction = &calibration->temperature;
    } else if (words[0] == "humidity") {
        correction = &calibration->humidity;
    } else if (words[0] == "dewpoint") {
        return fail(error,
                    "dewpoint cannot be calibrated: it is recomputed from the "
                    "corrected temperature and humidity");
    } else {
        return fail(error, "unknown quantity '" + words[0] + "' (temperature or humidity)");
    }
    if (correction->active) return fail(error, words[0] + " is calibrated twice");
    std::vector<std::string> args(words.begin() + 1, words.end());
    if (args.empty()) return fail(error, words[0] + " has no correction");

    bool points = std::any_of(args.begin(), args.end(), [](const std::string& word) {
        return word.find(ARROW) != std::string::npos;
    });
    if (points) {
        if (!parsePoints(args, correction, error)) return false;
    } else if (args.size() == 1) {
        if (args[0][0] != '+' && args[0][0] != '-')
            return fail(error, "offset '" + args[0] + "' needs its sign ('+" + args[0] + "' or '-" +
                                   args[0] + "')");
        if (!parseNumber(args[0], "offset", &correction->offset, error)) return false;
    } else if (args.size() == 2) {
        if (!parseNumber(args[0], "factor", &correction->factor, error) ||
            !parseNumber(args[1], "offset", &correction->offset, error))
            return false;
        if (correction->factor == 0) return fail(error, "a factor of 0");
    } else {
        return fail(error, words[0] + " has more than a factor and an offset");
    }
    if (!checkPlausible(*correction, *quantityOfKey(words[0]), error)) return false;
    correction->active = true;
    return true;
}

}  // namespace

bool Calibration::changes(ReadType type) const {
    switch (type) {
        case TEMPERATURE:
            return temperature.active;
        case HUMIDITY:
            return humidity.active;
        case DEWPOINT:
            return active();
    }
    return false;
}

void Calibration::apply(const Measurement measured[QUANTITY_COUNT],
                        Measurement served[QUANTITY_COUNT]) const {
    const int t = TEMPERATURE - 1, h = HUMIDITY - 1, d = DEWPOINT - 1;
    served[t] = temperature.active ? correctMeasurement(temperature, TEMPERATURE, measured[t])
                                   : measured[t];
    served[h] = humidity.active ? correctMeasurement(humidity, HUMIDITY, measured[h]) : measured[h];
    served[d] = measured[d];
    if (!active()) return;
    // The device's dew point belongs to the values it measured, not to the
    // corrected ones: without both of those there is none.
    served[d] = Measurement();
    double dewPoint;
    if (served[t].hasNumber && served[h].hasNumber &&
        magnusDewPoint(served[t].number, served[h].number, &dewPoint))
        served[d] = computed(dewPoint, measured[d].hasNumber ? decimalsOf(measured[d].text) : 1);
}

bool parseCalibration(const std::string& value, Calibration* calibration, std::string* error) {
    Calibration parsed;
    size_t start = 0;
    while (true) {
        size_t comma = value.find(',', start);
        if (!parseEntry(value.substr(start, comma - start), &parsed, error)) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *calibration = parsed;
    return true;
}

bool readCalibrations(const std::vector<std::pair<std::string, std::string>>& keys,
                      const std::vector<std::string>& devices,
                      std::map<std::string, Calibration>* calibrations, std::string* error) {
    std::set<std::string> known(devices.begin(), devices.end());
    for (const auto& key : keys) {
        std::string why;
        Calibration calibration;
        if (!known.count(key.first)) {
            why = "no such device under [sensors]";
        } else if (parseCalibration(key.second, &calibration, &why)) {
            (*calibrations)[key.first] = calibration;
            continue;
        }
        return fail(error, "invalid calibration of '" + key.first + "': " + why);
    }
    return true;
}

Measurement correctMeasurement(const Correction& correction, ReadType type,
                               const Measurement& measured) {
    if (!measured.hasNumber) {
        Measurement none;
        none.refused = measured.refused;
        return none;
    }
    double value = measured.number * correction.factor + correction.offset;
    // Clamped only as a number: std::max(0.0, NaN) would make NaN a 0.
    if (type == HUMIDITY && !std::isnan(value)) value = std::min(100.0, std::max(0.0, value));
    return computed(value, decimalsOf(measured.text));
}

bool magnusDewPoint(double temperature, double humidity, double* dewPoint) {
    if (!(humidity > 0)) return false;
    humidity = std::min(humidity, 100.0);
    double gamma = std::log(humidity / 100) + MAGNUS_A * temperature / (MAGNUS_B + temperature);
    *dewPoint = MAGNUS_B * gamma / (MAGNUS_A - gamma);
    return true;
}
