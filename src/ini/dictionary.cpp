// The configuration table: parallel arrays of malloc'd keys, values and key
// hashes, kept in the order in which the keys were first stored.
#include "dictionary.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int INITIAL_SLOTS = 128;

// Like realloc(3), but aborts when memory is exhausted: the start-up cannot go
// on without its configuration, and no caller could do better.
void* reallocOrDie(void* p, size_t bytes) {
    void* q = realloc(p, bytes);
    if (q == nullptr) abort();
    return q;
}

char* copyOf(const char* s) {
    if (s == nullptr) return nullptr;
    size_t bytes = strlen(s) + 1;
    char* copy = static_cast<char*>(reallocOrDie(nullptr, bytes));
    memcpy(copy, s, bytes);
    return copy;
}

// Slot of key, or -1. A linear walk is enough for a configuration file; the
// hash keeps most comparisons to one integer.
int findSlot(const dictionary* d, const char* key) {
    unsigned h = dictionary_hash(key);
    for (int i = 0; i < d->n; ++i) {
        if (d->hash[i] == h && strcmp(d->key[i], key) == 0) return i;
    }
    return -1;
}

// Sets slots [from, to) free.
void clearSlots(dictionary* d, int from, int to) {
    for (int i = from; i < to; ++i) {
        d->val[i] = nullptr;
        d->key[i] = nullptr;
        d->hash[i] = 0;
    }
}

void doubleSlots(dictionary* d) {
    int size = d->size * 2;
    d->val = static_cast<char**>(reallocOrDie(d->val, size * sizeof(char*)));
    d->key = static_cast<char**>(reallocOrDie(d->key, size * sizeof(char*)));
    d->hash = static_cast<unsigned*>(reallocOrDie(d->hash, size * sizeof(unsigned)));
    clearSlots(d, d->size, size);
    d->size = size;
}

}  // namespace

dictionary* dictionary_new() {
    dictionary* d = static_cast<dictionary*>(reallocOrDie(nullptr, sizeof(dictionary)));
    d->n = 0;
    d->size = INITIAL_SLOTS;
    d->val = static_cast<char**>(reallocOrDie(nullptr, INITIAL_SLOTS * sizeof(char*)));
    d->key = static_cast<char**>(reallocOrDie(nullptr, INITIAL_SLOTS * sizeof(char*)));
    d->hash = static_cast<unsigned*>(reallocOrDie(nullptr, INITIAL_SLOTS * sizeof(unsigned)));
    clearSlots(d, 0, INITIAL_SLOTS);
    return d;
}

void dictionary_del(dictionary* d) {
    if (d == nullptr) return;
    for (int i = 0; i < d->n; ++i) {
        free(d->key[i]);
        free(d->val[i]);
    }
    free(d->val);
    free(d->key);
    free(d->hash);
    free(d);
}

// 32-bit FNV-1a.
unsigned dictionary_hash(const char* key) {
    unsigned h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != '\0'; ++p) {
        h = (h ^ *p) * 16777619u;
    }
    return h;
}

const char* dictionary_get(const dictionary* d, const char* key, const char* def) {
    if (d == nullptr || key == nullptr) return def;
    int i = findSlot(d, key);
    return i < 0 ? def : d->val[i];
}

void dictionary_set(dictionary* d, const char* key, const char* val) {
    if (d == nullptr || key == nullptr) return;
    int i = findSlot(d, key);
    if (i >= 0) {
        char* copy = copyOf(val);  // before freeing: val may be the stored value itself
        free(d->val[i]);
        d->val[i] = copy;
        return;
    }
    if (d->n == d->size) doubleSlots(d);
    i = d->n++;
    d->key[i] = copyOf(key);
    d->val[i] = copyOf(val);
    d->hash[i] = dictionary_hash(key);
}
