// The device line protocol: fields, pairs and the sample of a line.
#include "sample.h"

#include <algorithm>
#include <cstdlib>

#include "tool.h"

namespace {
const char VALUE_CHARS[] = "0123456789.";
}  // namespace

std::vector<std::pair<std::string, std::string>> parseLine(const std::string& line,
                                                           size_t* ignored) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> tokens;
    stringTokenize(line, tokens, " ");
    std::vector<std::string> values;
    for (const std::string& token : tokens) {
        values.clear();
        stringTokenize(token, values, "=");
        if (values.size() != 2) continue;
        std::string& raw = values[1];
        // Frost and dew points below zero are ordinary readings: a leading minus
        // sign stays when digits or full stops follow it.
        size_t sign = raw.size() > 1 && raw[0] == '-' ? 1 : 0;
        size_t end = std::min(raw.size(), raw.find_first_not_of(VALUE_CHARS, sign));
        raw.resize(end > sign ? end : 0);
        pairs.emplace_back(std::move(values[0]), std::move(raw));
    }
    if (ignored) *ignored = tokens.size() - pairs.size();
    return pairs;
}

Measurement measurementOf(std::string text) {
    Measurement m;
    m.text = std::move(text);
    if (isDecimal(m.text, true)) {
        // Digits only, so strtod either gives the number or overflows to infinity.
        double number = strtod(m.text.c_str(), nullptr);
        m.number = number;
        if (storable(number)) {
            m.hasNumber = true;
        } else {
            m.refused = Refusal::RANGE;
        }
    }
    return m;
}

const char* refusalName(Refusal refusal) {
    switch (refusal) {
        case Refusal::RANGE:
            return "range";
        case Refusal::CALIBRATION:
            return "calibration";
        case Refusal::NONE:
            break;
    }
    return "none";
}

Sample parseSample(const std::string& line) {
    Sample sample;
    for (auto& pair : parseLine(line, &sample.notPairs)) {
        const Quantity* quantity = quantityOfKey(pair.first);
        if (quantity == nullptr) {
            sample.otherKeys.push_back(std::move(pair.first));
            continue;
        }
        sample.values[quantity->type - 1] = measurementOf(std::move(pair.second));
        sample.has[quantity->type - 1] = true;
    }
    return sample;
}
