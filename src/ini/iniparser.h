// Reader of the ini-style configuration file. Used only on the start-up
// thread; the table it returns belongs to the caller.
#pragma once
#include "dictionary.h"

// Parses the file at path. Null only when the file cannot be opened for
// reading; a file without a single valid line gives an empty table.
dictionary* iniparser_load(const char* path);
// The value of the full key ("section:key"), or def when absent or when d or
// key is null. The pointer stays valid until the table is freed.
const char* iniparser_getstring(const dictionary* d, const char* key, const char* def);
// The value read like strtol with base 0 (0 when no digits lead), saturated to
// the range of int; notfound when the key is absent or d or key is null.
int iniparser_getint(const dictionary* d, const char* key, int notfound);
// Number of keys of section s; -1 when d is null.
int iniparser_getnseckeys(const dictionary* d, const char* s);
// Full key of the i-th key (0-based, table order) of section s; null when d
// is null, i is negative or the section has no more than i keys.
const char* iniparser_getseckeyname(const dictionary* d, const char* s, int i);
// Frees the table; null is accepted.
void iniparser_freedict(dictionary* d);
