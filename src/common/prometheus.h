// The Prometheus text exposition format (version 0.0.4): family headers,
// samples with escaped label values, and numbers as the format reads them.
// Used by the web port's /metrics, the MQTT publisher's families and
// sensomark-query. No shared state; any thread may use its own writer.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

// A label value with backslash, double quote and line feed escaped, without
// the quotes.
std::string escapeLabelValue(const std::string& value);
// The shortest text of value that reads back the same, up to 15 digits ("21.5").
std::string formatNumber(double value);

class PrometheusText {
  public:
    using Labels = std::initializer_list<std::pair<const char*, std::string>>;

    // "# HELP name help" and "# TYPE name type" ("gauge" or "counter").
    void family(const char* name, const char* type, const std::string& help);
    // One sample: name{label="value",...} value; no braces without labels.
    // value is written as it is: a number's text.
    void sample(const char* name, Labels labels, const std::string& value);
    void sample(const char* name, Labels labels, uint64_t value) {
        sample(name, labels, std::to_string(value));
    }
    void sample(const char* name, uint64_t value) { sample(name, {}, value); }

    const std::string& text() const { return out; }

  private:
    std::string out;
};
