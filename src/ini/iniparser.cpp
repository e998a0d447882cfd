// Reader of the ini-style configuration file: turns each line into a section
// header or a "section:key" entry of a dictionary, and answers lookups on it.
#include "iniparser.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "strlib.h"

namespace {

// A line is read at most 1023 characters at a time (plus the NUL); the rest of
// a longer line is read as a line of its own.
constexpr int LINE_BUFFER_BYTES = 1024;

// Stores the name of a header line "[name]..." in *section. The name is the
// text up to the first "]", taken exactly, and must not be empty; without a
// "]" it runs to the end of the line (its line end not included).
bool parseHeader(const char* line, std::string* section) {
    if (line[0] != '[' || line[1] == ']' || strchr("\r\n", line[1]) != nullptr) return false;
    size_t len = strcspn(line + 1, "]\r\n");
    section->assign(line + 1, len);
    return true;
}

// Splits "key = value" into its parts; false when the line has no "=", no key
// in front of it, or no usable value after it. The value is, in this order of
// trial: the text between double quotes, the text between single quotes (both
// at least one character), or the bare text up to ";" or "#".
bool parseKeyLine(const char* line, std::string* key, std::string* value) {
    const char* equals = strchr(line, '=');
    if (equals == nullptr) return false;
    size_t keyLen = strlib_rtrimlen(line, equals - line);
    if (keyLen == 0) return false;

    const char* v = strlib_skipblank(equals + 1);
    const char* begin = nullptr;
    size_t len = 0;
    for (char quote : {'"', '\''}) {
        const char* close = *v == quote ? strchr(v + 1, quote) : nullptr;
        if (close != nullptr && close > v + 1) {
            begin = v + 1;
            len = close - begin;
            break;
        }
    }
    if (begin == nullptr) {
        begin = v;
        len = strcspn(v, ";#");
        if (len == 0) return false;
    }

    key->assign(line, keyLen);
    value->assign(begin, strlib_rtrimlen(begin, len));
    // A bare "" or '' is how a file writes an empty value.
    if (*value == "\"\"" || *value == "''") value->clear();
    return true;
}

// True when entry i is a key (not a header) of section s, whose length is sLen.
bool isKeyOfSection(const dictionary* d, int i, const char* s, size_t sLen) {
    const char* k = d->key[i];
    return d->val[i] != nullptr && strncmp(k, s, sLen) == 0 && k[sLen] == ':';
}

}  // namespace

dictionary* iniparser_load(const char* path) {
    if (path == nullptr) return nullptr;
    FILE* f = fopen(path, "r");
    if (f == nullptr) return nullptr;

    dictionary* d = dictionary_new();
    static const char absent[] = "";
    std::string section, key, value;
    char buf[LINE_BUFFER_BYTES];
    // fgets stops at a newline or a full buffer; a NUL byte inside a piece ends
    // the text that the parsing below sees.
    while (fgets(buf, sizeof buf, f) != nullptr) {
        const char* line = strlib_skipblank(buf);
        if (*line == '\0' || *line == ';' || *line == '#') continue;
        if (parseHeader(line, &section)) {
            // A repeated header keeps its first place (and never clears a value).
            if (dictionary_get(d, section.c_str(), absent) == absent) {
                dictionary_set(d, section.c_str(), nullptr);
            }
        } else if (parseKeyLine(line, &key, &value)) {
            dictionary_set(d, (section + ":" + key).c_str(), value.c_str());
        }
    }
    // A path that opens but cannot be read (a directory) was found all the
    // same: its table holds what could be read, which may be nothing.
    fclose(f);
    return d;
}

const char* iniparser_getstring(const dictionary* d, const char* key, const char* def) {
    const char* v = dictionary_get(d, key, def);
    return v == nullptr ? def : v;  // a header is not a key: it has no value to give
}

int iniparser_getint(const dictionary* d, const char* key, int notfound) {
    const char* v = iniparser_getstring(d, key, nullptr);
    if (v == nullptr) return notfound;
    long n = strtol(v, nullptr, 0);  // saturates at LONG_MIN / LONG_MAX
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

int iniparser_getnseckeys(const dictionary* d, const char* s) {
    if (d == nullptr || s == nullptr) return -1;
    size_t sLen = strlen(s);
    int count = 0;
    for (int i = 0; i < d->n; ++i) {
        if (isKeyOfSection(d, i, s, sLen)) ++count;
    }
    return count;
}

const char* iniparser_getseckeyname(const dictionary* d, const char* s, int i) {
    if (d == nullptr || s == nullptr || i < 0) return nullptr;
    size_t sLen = strlen(s);
    for (int j = 0; j < d->n; ++j) {
        if (isKeyOfSection(d, j, s, sLen) && i-- == 0) return d->key[j];
    }
    return nullptr;
}

void iniparser_freedict(dictionary* d) {
    dictionary_del(d);
}
