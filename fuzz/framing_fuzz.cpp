// Fuzz target: a client's byte stream, cut into arbitrary read chunks, through
// the request line cutter; compared with a plain reference cutter.
#include <string>
#include <vector>

#include "connection.h"
#include "fuzzutil.h"
#include "linebuffer.h"

namespace {

// The bound on a pending request: the daemon's own for header bytes from 128
// up, else that small number of bytes (0 to 127).
size_t pendingBound(uint8_t b) {
    return b >= 128 ? Connection::MAX_PENDING_REQUEST_BYTES : size_t{b};
}

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// The framing rules, written as plainly as possible: per chunk, each line end
// in the text held so far ends a line (empty ones too), and the run of line
// ends behind it goes with it; a partial line longer than the bound is dropped
// up to and including its line ends.
struct ReferenceCutter {
    explicit ReferenceCutter(size_t bound) : bound(bound) {}
    void append(const std::string& chunk) {
        for (char c : chunk) {
            if (discarding && !isLineEnd(c)) continue;
            if (discarding) {
                skippingEnds = true;  // the line end of the dropped line
                discarding = false;
            }
            if (skippingEnds && isLineEnd(c)) continue;
            skippingEnds = false;
            held += c;
        }
        size_t from = 0;
        for (size_t i = 0; i < held.size(); ++i) {
            if (!isLineEnd(held[i])) continue;
            lines.push_back(held.substr(from, i - from));
            while (i + 1 < held.size() && isLineEnd(held[i + 1])) ++i;
            from = i + 1;
        }
        held.erase(0, from);
        skippingEnds = false;  // a run of line ends ends with the chunk
        if (held.size() > bound) {
            held.clear();
            discarding = true;
            ++overflows;
        }
    }
    const size_t bound;
    std::string held;
    bool discarding = false;
    bool skippingEnds = false;
    unsigned long overflows = 0;
    std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChunkedInput input(data, size);
    size_t bound = pendingBound(input.boundByte());
    LineBuffer requests(bound, true);
    ReferenceCutter reference(bound);
    std::vector<std::string> lines;
    std::string stream, line;
    const char* chunk;
    size_t len;
    while (input.next(&chunk, &len)) {
        stream.append(chunk, len);
        requests.append(chunk, len);
        reference.append(std::string(chunk, len));
        while (requests.next(line)) {
            FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, line);
            lines.push_back(line);
        }
        FUZZ_CHECK(lines == reference.lines, "lines differ from the reference");
        FUZZ_CHECK(requests.overflows() == reference.overflows, "overflow counts differ");
    }
    // A final line end completes the last request; without overflows the lines
    // then hold every byte of the stream except the line ends, in order.
    requests.append("\n", 1);
    while (requests.next(line)) lines.push_back(line);
    if (requests.overflows() == 0) {
        std::string joined, bare;
        for (const std::string& l : lines) joined += l;
        for (char c : stream) {
            if (!isLineEnd(c)) bare += c;
        }
        FUZZ_CHECK(joined == bare, "lines do not add up to the stream");
    }
    return 0;
}
