// common/: what every subsystem shares and none owns: the wire protocol of
// queries and replies (protocol), sockets and descriptors (net), the lock
// types the compiler checks (mutex.h), detached threads (threads), line
// framing (linebuffer), the Prometheus text format (prometheus), failed
// system calls as text (syserror) and text helpers (strlib).
// No thread of its own and no shared state: every thread calls in.
//
// The query protocol in one place: the quantities a sensor serves, the
// freshness rule, the reply text, and the grammar of query names. Both sides use it:
// the daemon to answer, the tools to ask and to read replies. No state; any
// thread may call it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The quantity a query asks for; its number is the selector of a query name.
enum ReadType : int { TEMPERATURE = 1, HUMIDITY = 2, DEWPOINT = 3 };

struct Quantity {
    ReadType type;
    const char* key;          // key of device lines and name in texts: "temperature"
    const char* title;        // name for people: "Dew point"
    const char* unit;         // unit for people: "°C" or "%"
    const char* metric;       // metric name: "sensomark_temperature_celsius"
    const char* help;         // HELP text of the metric
    const char* deviceClass;  // Home Assistant's device class: "temperature"
    // The plausible values in unit; a calibration must keep all of them
    // within the range of stored numbers.
    double low, high;
};
const int QUANTITY_COUNT = 3;
// In selector order: temperature, humidity, dew point.
extern const Quantity QUANTITIES[QUANTITY_COUNT];
// The quantity of selector; null outside 1..3.
const Quantity* quantityOf(int selector);
// The quantity whose device line key is key; null for any other key.
const Quantity* quantityOfKey(std::string_view key);
// The metric that says per sensor name and quantity whether a number is served.
const char VALID_METRIC[] = "sensomark_reading_valid";
const char VALID_HELP[] = "1 while a fresh number is served for the reading, 0 otherwise.";

// Data older than this is not served.
const int64_t MAX_AGE_S = 30;
// Data of age ageS (-1: never arrived) is served: replies say valid=1. The
// one freshness rule of every output.
inline bool isFresh(int64_t ageS) {
    return ageS >= 0 && ageS <= MAX_AGE_S;
}

// Whether text is a decimal number: digits with at most one full stop, a
// sign only when allowSign. No exponent, "inf", "nan" or blanks.
bool isDecimal(std::string_view text, bool allowSign);
// Reads a decimal number; false when text is none, or when it lies beyond
// the range of a double.
bool parseDecimal(std::string_view text, bool allowSign, double* number);

// The reply without line end: "valid=1;value=<value>;" while fresh, else
// "valid=0". Room for REPLY_END is reserved.
std::string formatReply(bool fresh, const std::string& value);
// The reply to a query name that no sensor has.
const char UNKNOWN_NAME_REPLY[] = "";
// Every reply line ends with this.
const char REPLY_END[] = "\r\n";

// A query name split at its last full stop: the sensor name before it, the
// selector after it (read like strtol with base 10, saturating at the int
// range). False when the name has no full stop.
struct QueryName {
    std::string_view sensor;
    int selector = 0;
};
bool splitQueryName(std::string_view name, QueryName* query);

// What one reply line says, read by a client.
enum class ReplyKind {
    VALUE,         // "valid=1;value=21.5;": fresh data with a number
    NO_VALUE,      // "valid=1;value=;": fresh data, but no number for this quantity
    STALE,         // "valid=0": no data within MAX_AGE_S
    UNKNOWN_NAME,  // "": no sensor has that name
};
struct Reply {
    ReplyKind kind = ReplyKind::UNKNOWN_NAME;
    double value = 0;  // only for VALUE
};
// Reads a reply line without its line end. False when it is none of the
// reply forms above.
bool parseReply(std::string_view line, Reply* reply);
