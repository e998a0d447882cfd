// The line cutter of device lines and client requests.
#include "linebuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

TEST(LineBuffer, CutsAtCrOrLfCountingARunOnceAndKeepsAnEmptyLineOnlyForClients) {
    struct Case {
        std::vector<std::string> chunks;
        bool keepEmpty;
        Lines lines;
        unsigned overflows = 0;
    } cases[] = {
        {{"a\r\nb\n"}, false, {"a", "b"}},
        {{"a\n\r\n\rb\r"}, false, {"a", "b"}},
        {{"tempera", "ture=21.5\n"}, false, {"temperature=21.5"}},
        {{"no end yet"}, false, {}},
        {{std::string("a\0b\n", 4)}, false, {std::string("a\0b", 3)}},
        // A line end arriving first into an empty buffer.
        {{"a\r", "\nb\n"}, false, {"a", "b"}},
        {{"a\r", "\nb\n"}, true, {"a", "", "b"}},
        {{"\r\n\r\n"}, false, {}},
        {{"\n"}, true, {""}},
        {{"a\n\n\nb\n"}, true, {"a", "b"}},
        // An over-long line is dropped up to its end, and only that line: the
        // chunks after it are whole again.
        {{"before\n", std::string(2000, 'x'), std::string(3000, 'x') + "tail\nafter\n"},
         false,
         {"before", "after"},
         1},
        {{std::string(2000, 'x'), "tail\r\n", "next\n", "last\n"}, false, {"next", "last"}, 1},
    };
    for (const Case& c : cases) {
        LineBuffer buffer(1024, c.keepEmpty);
        Lines lines;
        std::string line;
        for (const std::string& chunk : c.chunks) {
            buffer.append(chunk.data(), chunk.size());
            while (buffer.next(line)) lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines) << c.chunks[0];
        EXPECT_EQ(buffer.overflows(), c.overflows) << c.chunks[0];
    }
}
