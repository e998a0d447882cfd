// The text exposition format of Prometheus.
#include "prometheus.h"

#include <cstdio>

std::string escapeLabelValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string formatNumber(double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.15g", value);
    return text;
}

void PrometheusText::family(const char* name, const char* type, const std::string& help) {
    out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void PrometheusText::sample(const char* name, Labels labels, const std::string& value) {
    out += name;
    const char* separator = "{";
    for (const auto& label : labels) {
        out += separator;
        out += label.first;
        out += "=\"" + escapeLabelValue(label.second) + '"';
        separator = ",";
    }
    if (labels.size() > 0) out += '}';
    out += ' ' + value + '\n';
}
