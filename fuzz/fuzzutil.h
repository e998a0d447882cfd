// Helpers shared by the libFuzzer targets: a check that ends the run with a
// message, and an input cut into a small header and a stream of read chunks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Ends the run (libFuzzer then saves the input) when cond is false.
#define FUZZ_CHECK(cond, what)                                                           \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                    std::string(what).c_str());                                          \
            abort();                                                                     \
        }                                                                                \
    } while (0)

// The first HEADER_BYTES bytes: one that chooses a bound, then three chunk
// sizes (1 to 256 bytes each) that the rest is cut into, in turn, like the
// pieces successive reads return.
class ChunkedInput {
  public:
    static const size_t HEADER_BYTES = 4;

    ChunkedInput(const uint8_t* data, size_t size) {
        size_t header = size < HEADER_BYTES ? size : HEADER_BYTES;
        for (size_t i = 0; i < header; ++i) head[i] = data[i];
        begin = reinterpret_cast<const char*>(data) + header;
        left = size - header;
    }
    uint8_t boundByte() const { return head[0]; }
    // The next chunk of the stream; false when it is used up.
    bool next(const char** chunk, size_t* len) {
        if (left == 0) return false;
        size_t want = 1 + size_t{head[1 + turn++ % 3]};
        *len = want < left ? want : left;
        *chunk = begin;
        begin += *len;
        left -= *len;
        return true;
    }

  private:
    uint8_t head[HEADER_BYTES] = {0, 0, 0, 0};
    const char* begin;
    size_t left;
    unsigned turn = 0;
};

// Whether text is a reading reply: "valid=0", or "valid=1;value=" with only
// digits and full stops (after an optional minus sign) up to the closing ";".
inline bool isReadingReply(const std::string& text) {
    if (text == "valid=0") return true;
    const std::string head = "valid=1;value=";
    if (text.size() < head.size() + 1 || text.compare(0, head.size(), head) != 0) return false;
    if (text.back() != ';') return false;
    size_t first = head.size() + (text.size() > head.size() + 2 && text[head.size()] == '-');
    for (size_t i = first; i + 1 < text.size(); ++i) {
        if ((text[i] < '0' || text[i] > '9') && text[i] != '.') return false;
    }
    return true;
}
