// Cuts a received byte stream into lines. Owned and used by one thread (a
// sensor's reader or a client's thread).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Lines end at CR or LF; a run of them counts once. Bytes after the last line
// end wait for more input, up to maxPendingBytes: a line that grows past that
// is dropped up to its line end and counted in overflows().
class LineBuffer {
  public:
    // keepEmpty: whether a line end that arrives first into an empty buffer
    // gives an empty line (clients) or nothing (devices).
    LineBuffer(size_t maxPendingBytes, bool keepEmpty);

    // Appends received bytes, NUL bytes included.
    void append(const char* data, size_t len);
    // Moves the next complete line into line; false when none is complete.
    bool next(std::string& line);
    // Number of over-long lines dropped so far.
    uint64_t overflows() const { return overflowCount; }

  private:
    std::string buffer;
    size_t start = 0;         // first byte of buffer not yet consumed
    bool discarding = false;  // inside an over-long line: drop up to its line end
    uint64_t overflowCount = 0;
    const size_t maxPending;
    const bool keepEmpty;
};
