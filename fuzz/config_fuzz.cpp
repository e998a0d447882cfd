// Fuzz target: arbitrary bytes as the configuration file, then every lookup
// the daemon makes on the table it gives.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "fuzzutil.h"
#include "iniparser.h"

namespace {

// An in-memory file, rewritten for every input; the reader opens it by path.
struct MemFile {
    MemFile() : fd(memfd_create("config_fuzz", 0)) {
        FUZZ_CHECK(fd >= 0, "memfd_create");
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemFile() { close(fd); }
    void write(const uint8_t* data, size_t size) {
        FUZZ_CHECK(ftruncate(fd, 0) == 0, "ftruncate");
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0, "pwrite");
            done += static_cast<size_t>(n);
        }
    }
    int fd;
    std::string path;
};

// iniparser_getint's contract, written out: strtol with base 0, saturated.
int expectedInt(const char* text) {
    long n = strtol(text, nullptr, 0);
    return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
}

void checkSection(const dictionary* d, const char* section) {
    int n = iniparser_getnseckeys(d, section);
    FUZZ_CHECK(n >= 0 && n <= d->n, section);
    std::string prefix = std::string(section) + ":";
    std::set<std::string> seen;
    for (int i = 0; i < n; ++i) {
        const char* key = iniparser_getseckeyname(d, section, i);
        FUZZ_CHECK(key != nullptr, section);
        FUZZ_CHECK(strncmp(key, prefix.c_str(), prefix.size()) == 0, key);
        FUZZ_CHECK(seen.insert(key).second, std::string("key listed twice: ") + key);
        const char* value = iniparser_getstring(d, key, nullptr);
        FUZZ_CHECK(value != nullptr, key);
        FUZZ_CHECK(strchr(value, '\n') == nullptr, value);
        FUZZ_CHECK(iniparser_getint(d, key, -7) == expectedInt(value), key);
    }
    FUZZ_CHECK(iniparser_getseckeyname(d, section, n) == nullptr, section);
    FUZZ_CHECK(iniparser_getseckeyname(d, section, -1) == nullptr, section);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemFile file;
    file.write(data, size);
    dictionary* d = iniparser_load(file.path.c_str());
    FUZZ_CHECK(d != nullptr, "a readable file gives a table");
    FUZZ_CHECK(d->n >= 0 && d->n <= d->size, "entry count within the slots");
    for (int i = 0; i < d->n; ++i) {
        FUZZ_CHECK(d->key[i] != nullptr, "every entry has a key");
        FUZZ_CHECK(strchr(d->key[i], '\n') == nullptr, d->key[i]);
        FUZZ_CHECK(dictionary_get(d, d->key[i], "absent") == d->val[i], d->key[i]);
    }

    const char* absent = "absent";
    for (const char* key : {"main:port", "main:backlog", "main:maxclients", "main:metricsport"}) {
        const char* text = iniparser_getstring(d, key, nullptr);
        int n = iniparser_getint(d, key, -7);
        FUZZ_CHECK(text == nullptr ? n == -7 : n == expectedInt(text), key);
    }
    for (const char* key : {"main:logfile", "main:loglevel", "main:listen", "sensors", "main"}) {
        const char* text = iniparser_getstring(d, key, absent);
        FUZZ_CHECK(text != nullptr, key);  // a section header is no value: def comes back
    }
    checkSection(d, "sensors");
    checkSection(d, "main");
    FUZZ_CHECK(iniparser_getnseckeys(nullptr, "sensors") == -1, "null table");
    iniparser_freedict(d);
    return 0;
}
