// Line cutting at CR or LF with a bound on the pending partial line.
#include "linebuffer.h"

namespace {
const char LINE_ENDS[] = "\r\n";
}

LineBuffer::LineBuffer(size_t maxPendingBytes, bool keepEmpty)
    : maxPending(maxPendingBytes), keepEmpty(keepEmpty) {}

void LineBuffer::append(const char* data, size_t len) {
    if (discarding) {
        // Skip the rest of the over-long line and the line end behind it.
        size_t skip = 0;
        while (skip < len && data[skip] != '\r' && data[skip] != '\n') ++skip;
        if (skip == len) return;
        while (skip < len && (data[skip] == '\r' || data[skip] == '\n')) ++skip;
        discarding = false;
        data += skip;
        len -= skip;
    }
    buffer.append(data, len);
}

bool LineBuffer::next(std::string& line) {
    for (;;) {
        size_t pos = buffer.find_first_of(LINE_ENDS, start, 2);
        if (pos == std::string::npos) break;
        bool empty = pos == start;
        if (!empty || keepEmpty) line.assign(buffer, start, pos - start);
        size_t lpos = buffer.find_first_not_of(LINE_ENDS, pos, 2);
        start = lpos == std::string::npos ? buffer.size() : lpos;
        if (!empty || keepEmpty) return true;
    }
    // Only a partial line is left: move it to the front and check its bound.
    buffer.erase(0, start);
    start = 0;
    if (buffer.size() > maxPending) {
        buffer.clear();
        buffer.shrink_to_fit();
        discarding = true;
        ++overflowCount;
    }
    return false;
}
