// Quantities, readings, reply texts and query names.
#include "protocol.h"

#include <climits>
#include <cmath>
#include <cstdlib>

const Quantity QUANTITIES[QUANTITY_COUNT] = {
    {TEMPERATURE, "temperature", "Temperature", "°C", "sensomark_temperature_celsius",
     "Latest temperature in degrees Celsius; absent while the reading is not valid.", "temperature",
     -100, 200},
    {HUMIDITY, "humidity", "Humidity", "%", "sensomark_relative_humidity_percent",
     "Latest relative humidity in percent; absent while the reading is not valid.", "humidity", 0,
     100},
    {DEWPOINT, "dewpoint", "Dew point", "°C", "sensomark_dewpoint_celsius",
     "Latest dew point in degrees Celsius; absent while the reading is not valid.", "temperature",
     -100, 200},
};

namespace {
const char VALID_PREFIX[] = "valid=1;value=";
const size_t VALID_PREFIX_LEN = sizeof(VALID_PREFIX) - 1;
const char STALE_REPLY[] = "valid=0";
const char VALUE_CHARS[] = "0123456789.";
}  // namespace

const Quantity* quantityOf(int selector) {
    if (selector < 1 || selector > QUANTITY_COUNT) return nullptr;
    return &QUANTITIES[selector - 1];
}

const Quantity* quantityOfKey(std::string_view key) {
    for (const Quantity& q : QUANTITIES)
        if (key == q.key) return &q;
    return nullptr;
}

bool isDecimal(std::string_view text, bool allowSign) {
    size_t i = 0;
    if (allowSign && i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    bool dot = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            ++digits;
        } else if (text[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    return digits > 0;
}

bool parseDecimal(std::string_view text, bool allowSign, double* number) {
    if (!isDecimal(text, allowSign)) return false;
    double value = strtod(std::string(text).c_str(), nullptr);
    if (!std::isfinite(value)) return false;
    *number = value;
    return true;
}

std::string formatReply(bool fresh, const std::string& value) {
    if (!fresh) return STALE_REPLY;
    std::string reply;
    reply.reserve(VALID_PREFIX_LEN + value.size() + 1 + sizeof(REPLY_END) - 1);
    reply.append(VALID_PREFIX, VALID_PREFIX_LEN).append(value) += ';';
    return reply;
}

bool splitQueryName(std::string_view name, QueryName* query) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    query->sensor = name.substr(0, dot);
    // strtol stops at the first byte that is no digit, a NUL byte included.
    long value = strtol(std::string(name.substr(dot + 1)).c_str(), nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    query->selector = static_cast<int>(value);
    return true;
}

bool parseReply(std::string_view line, Reply* reply) {
    Reply parsed;
    if (line.empty()) {
        parsed.kind = ReplyKind::UNKNOWN_NAME;
    } else if (line == STALE_REPLY) {
        parsed.kind = ReplyKind::STALE;
    } else if (line.size() > VALID_PREFIX_LEN && line.substr(0, VALID_PREFIX_LEN) == VALID_PREFIX &&
               line.back() == ';') {
        std::string_view value = line.substr(VALID_PREFIX_LEN, line.size() - VALID_PREFIX_LEN - 1);
        // Values are the leading digits and full stops of what the device sent,
        // after an optional minus sign.
        size_t first = !value.empty() && value[0] == '-' ? 1 : 0;
        if (value.find_first_not_of(VALUE_CHARS, first) != std::string_view::npos) return false;
        parsed.kind =
            parseDecimal(value, true, &parsed.value) ? ReplyKind::VALUE : ReplyKind::NO_VALUE;
    } else {
        return false;
    }
    *reply = parsed;
    return true;
}
