// The parsed configuration: an ordered table of full keys ("section:key") and
// their values. Built on the start-up thread, read by it, then freed.
#pragma once

// Entries keep the order in which their keys were first stored. A section
// header is an entry whose value is null.
struct dictionary {
    int n;           // number of entries
    int size;        // number of slots; starts at 128 and doubles when full
    char** val;      // value of each slot; null for a section entry
    char** key;      // full key of each slot; null for a free slot
    unsigned* hash;  // hash of each key, compared before the key itself
};

// Returns a new empty table; never null.
dictionary* dictionary_new();
// Frees the table and every key and value in it; null is accepted.
void dictionary_del(dictionary* d);
// Hash of a key, as stored in hash[].
unsigned dictionary_hash(const char* key);
// Returns the stored value of key (exact, case-sensitive match), or def when
// the key is absent. A section entry's value is null.
const char* dictionary_get(const dictionary* d, const char* key, const char* def);
// Stores a copy of key and val (val may be null). An existing key keeps its
// place and gets the new value; a new key goes to the end.
void dictionary_set(dictionary* d, const char* key, const char* val);
