// Fuzz target: a device's byte stream, cut into arbitrary read chunks, through
// the line cutter and the sensor's store; then every reply the sensor gives.
#include <cstdint>
#include <set>
#include <string>

#include "fuzzutil.h"
#include "linebuffer.h"
#include "logging.h"
#include "protocol.h"
#include "sensor.h"

namespace {

const int64_t NOW_S = 1000000;
const char* const SERVED_KEYS[] = {"temperature", "humidity", "dewpoint"};

// The bound on a pending line: the daemon's own for odd header bytes, else a
// small one (0 to 127 bytes) so that short inputs reach the overflow path.
size_t pendingBound(uint8_t b) {
    return (b & 1) != 0 ? Sensor::MAX_PENDING_LINE_BYTES : size_t{b} >> 1;
}

// The keys the sensor holds, as its contract says: the three served ones
// plus the first MAX_EXTRA_KEYS others that arrive.
struct KeyModel {
    KeyModel() : keys(std::begin(SERVED_KEYS), std::end(SERVED_KEYS)) {}
    // Fields of a line that a sensor with these keys ignores beyond fieldsIgnored.
    size_t store(const std::vector<std::pair<std::string, std::string>>& pairs) {
        size_t ignored = 0;
        for (const auto& pair : pairs) {
            if (keys.count(pair.first) != 0) continue;
            if (keys.size() < 3 + Sensor::MAX_EXTRA_KEYS) {
                keys.insert(pair.first);
            } else {
                ++ignored;
            }
        }
        return ignored;
    }
    std::set<std::string> keys;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setLogLevel(LOG_DISABLED);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChunkedInput input(data, size);
    LineBuffer lines(pendingBound(input.boundByte()), false);
    Sensor sensor(nullptr, "/dev/fuzz");
    KeyModel model;
    bool stored = false;
    std::string line;
    const char* chunk;
    size_t len;
    while (input.next(&chunk, &len)) {
        lines.append(chunk, len);
        while (lines.next(line)) {
            FUZZ_CHECK(!line.empty(), "a device never gets an empty line");
            FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, line);
            size_t notPairs = 0;
            auto pairs = parseLine(line, &notPairs);
            for (const auto& pair : pairs) {
                FUZZ_CHECK(!pair.first.empty(), line);
                FUZZ_CHECK(pair.first.find_first_of(" =") == std::string::npos, pair.first);
                FUZZ_CHECK(pair.second.find_first_not_of("0123456789.", pair.second[0] == '-') ==
                               std::string::npos,
                           pair.second);
            }
            stored = stored || !pairs.empty();
            size_t ignored = sensor.storeLine(line, NOW_S);
            FUZZ_CHECK(ignored == notPairs + model.store(pairs), line);
        }
    }

    // Selectors 1 to 3 are served; the freshness window is 30 seconds.
    for (int q = -1; q <= 4; ++q) {
        auto type = static_cast<ReadType>(q);
        std::string reply = sensor.getReadingAt(type, NOW_S);
        FUZZ_CHECK(isReadingReply(reply), reply);
        bool served = q >= 1 && q <= 3 && stored;
        FUZZ_CHECK(served == (reply != "valid=0"), reply);
        std::string late = sensor.getReadingAt(type, NOW_S + 31);
        FUZZ_CHECK(late == "valid=0", late);
        std::string edge = sensor.getReadingAt(type, NOW_S + 30);
        FUZZ_CHECK(edge == reply, edge + " at the end of the window, " + reply + " at once");
    }
    return 0;
}
