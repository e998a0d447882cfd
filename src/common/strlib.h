// Small C-string helpers of the configuration reader. Pure functions.
#pragma once
#include <cstddef>

// True for space, tab, newline, vertical tab, form feed and carriage return.
bool strlib_isblank(char c);
// Pointer to the first character of s that is not white space.
const char* strlib_skipblank(const char* s);
// Length of s[0..len) without its trailing white space.
size_t strlib_rtrimlen(const char* s, size_t len);
