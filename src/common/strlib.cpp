// Small C-string helpers of the configuration reader: white space tests and
// trimming without copying.
#include "strlib.h"

bool strlib_isblank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* strlib_skipblank(const char* s) {
    while (strlib_isblank(*s)) ++s;
    return s;
}

size_t strlib_rtrimlen(const char* s, size_t len) {
    while (len > 0 && strlib_isblank(s[len - 1])) --len;
    return len;
}
