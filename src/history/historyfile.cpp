// Encoding and decoding of history files, byte by byte.
#include "historyfile.h"

#include <zlib.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
const char MAGIC[] = "SMKHIST\n";
const size_t MAGIC_BYTES = 8;
const uint32_t VERSION = 2;
const size_t HEADER_BYTES = 16;
const char RECORD_MARK[] = "SMKR";
const size_t MARK_BYTES = 4;
const size_t RECORD_HEAD_BYTES = 12;  // after the mark: two lengths and the CRC
const size_t BUCKET_BYTES = 1 + 8 + QUANTITY_COUNT * (4 + 4 + 8 + 4);
// More buckets than every tier holds twice over is no record this writes.
const size_t MAX_RAW_BYTES = 2 * BUCKET_BYTES * (24 * 60 + 31 * 24 * 6 + 366 * 24);
// Buckets of one record per tier: a day, a week, a month.
const size_t RECORD_BUCKETS[SensorHistory::TIER_COUNT] = {24 * 60, 7 * 24 * 6, 31 * 24};
// Names with a suffix (".corrupt-N", ".tmp") must fit NAME_MAX (255 bytes).
const size_t MAX_NAME_BYTES = 224;
const char SUFFIX[] = ".history";

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void putF32(std::string& out, float f) {
    uint32_t v;
    memcpy(&v, &f, 4);
    putU32(out, v);
}
void putF64(std::string& out, double d) {
    uint64_t v;
    memcpy(&v, &d, 8);
    putU64(out, v);
}

uint64_t getLE(const unsigned char* p, int bytes) {
    uint64_t v = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    memcpy(&v, p, static_cast<size_t>(bytes));  // what the loop below makes, at once
#else
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
#endif
    return v;
}
float getF32(const unsigned char* p) {
    uint32_t v = static_cast<uint32_t>(getLE(p, 4));
    float f;
    memcpy(&f, &v, 4);
    return f;
}
double getF64(const unsigned char* p) {
    uint64_t v = getLE(p, 8);
    double d;
    memcpy(&d, &v, 8);
    return d;
}

// A bucket as this writer writes them: known tier, finite values in order.
bool plausible(const StoredBucket& b) {
    if (b.tier < 0 || b.tier >= SensorHistory::TIER_COUNT) return false;
    for (const HistoryBucket& q : b.quantities) {
        if (!std::isfinite(q.min) || !std::isfinite(q.max) || !std::isfinite(q.sum)) return false;
        if (q.count > 0 && (q.min > q.max || std::fabs(q.sum) > q.count * double{FLT_MAX}))
            return false;
    }
    return true;
}

// Decodes raw (a whole number of buckets) into out; false when it is not one.
bool decodeBuckets(const std::string& raw, std::vector<StoredBucket>* out) {
    if (raw.size() % BUCKET_BYTES != 0) return false;
    const size_t before = out->size();
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    for (size_t at = 0; at < raw.size(); at += BUCKET_BYTES) {
        const unsigned char* b = p + at;
        StoredBucket s;
        s.tier = b[0];
        s.key = static_cast<int64_t>(getLE(b + 1, 8));
        const unsigned char* q = b + 9;
        for (HistoryBucket& bucket : s.quantities) {
            bucket.min = getF32(q);
            bucket.max = getF32(q + 4);
            bucket.sum = getF64(q + 8);
            bucket.count = static_cast<uint32_t>(getLE(q + 16, 4));
            q += 20;
        }
        if (!plausible(s)) {
            out->resize(before);
            return false;
        }
        out->push_back(s);
    }
    return true;
}

// One record of buckets [from, to), marked.
std::string record(const std::vector<StoredBucket>& buckets, size_t from, size_t to, int level) {
    std::string raw;
    raw.reserve((to - from) * BUCKET_BYTES);
    for (size_t i = from; i < to; ++i) {
        const StoredBucket& b = buckets[i];
        raw.push_back(static_cast<char>(b.tier));
        putU64(raw, static_cast<uint64_t>(b.key));
        for (const HistoryBucket& q : b.quantities) {
            putF32(raw, q.min);
            putF32(raw, q.max);
            putF64(raw, q.sum);
            putU32(raw, q.count);
        }
    }
    uLongf deflatedBytes = compressBound(raw.size());
    std::string stored(deflatedBytes, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&stored[0]), &deflatedBytes,
                  reinterpret_cast<const Bytef*>(raw.data()), raw.size(), level) == Z_OK) {
        stored.resize(deflatedBytes);
    } else {
        stored.clear();  // cannot happen with a bound-sized buffer; store nothing
        raw.clear();
    }
    std::string out(RECORD_MARK, MARK_BYTES);
    putU32(out, static_cast<uint32_t>(stored.size()));
    putU32(out, static_cast<uint32_t>(raw.size()));
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(out.data()) + MARK_BYTES, 8);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(stored.data()), stored.size());
    putU32(out, static_cast<uint32_t>(crc));
    return out + stored;
}

// Reads the record at `at` into out, inflating it in raw; its end in *end.
// False when it fails a check; *budget (bytes a damaged file may still cost
// to check) then shrinks.
bool readRecord(const std::string& bytes, size_t at, int version, std::string& raw,
                std::vector<StoredBucket>* out, size_t* end, size_t* budget) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size() - at;
    size_t head = at;
    if (left >= MARK_BYTES && memcmp(p + at, RECORD_MARK, MARK_BYTES) == 0) {
        head += MARK_BYTES;
        left -= MARK_BYTES;
    } else if (version != 1) {
        return false;
    }
    if (left < RECORD_HEAD_BYTES) return false;
    size_t storedBytes = getLE(p + head, 4), rawBytes = getLE(p + head + 4, 4);
    uint32_t crc = static_cast<uint32_t>(getLE(p + head + 8, 4));
    if (storedBytes > left - RECORD_HEAD_BYTES || rawBytes > MAX_RAW_BYTES ||
        rawBytes % BUCKET_BYTES != 0 || storedBytes > *budget)
        return false;
    *budget -= storedBytes;
    const unsigned char* stored = p + head + RECORD_HEAD_BYTES;
    uLong sum = crc32(0L, p + head, 8);
    if (static_cast<uint32_t>(crc32(sum, stored, storedBytes)) != crc) return false;
    raw.resize(rawBytes);
    uLongf rawLength = rawBytes;
    if (rawBytes > 0 &&
        (uncompress(reinterpret_cast<Bytef*>(&raw[0]), &rawLength, stored, storedBytes) != Z_OK ||
         rawLength != rawBytes))
        return false;
    if (!decodeBuckets(raw, out)) return false;
    *end = head + RECORD_HEAD_BYTES + storedBytes;
    return true;
}

void appendEscaped(std::string& out, unsigned char c) {
    static const char HEX[] = "0123456789abcdef";
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-';
    if (plain) {
        out.push_back(static_cast<char>(c));
    } else if (c == '/') {
        out.push_back('_');
    } else {
        out.push_back('%');
        out.push_back(HEX[c >> 4]);
        out.push_back(HEX[c & 0xf]);
    }
}
}  // namespace

std::string historyFileName(const std::string& device) {
    std::string name;
    size_t from = 0;
    if (!device.empty() && device[0] == '/')
        from = 1;
    else
        name = "%00";  // no path holds a NUL byte
    for (size_t i = from; i < device.size(); ++i)
        appendEscaped(name, static_cast<unsigned char>(device[i]));
    if (name.size() + sizeof(SUFFIX) - 1 > MAX_NAME_BYTES) {
        // FNV-1a: "~" appears in no name of the rule above.
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : device) hash = (hash ^ c) * 1099511628211ull;
        char tail[18];
        snprintf(tail, sizeof(tail), "~%016llx", static_cast<unsigned long long>(hash));
        name.resize(MAX_NAME_BYTES - (sizeof(SUFFIX) - 1) - (sizeof(tail) - 1));
        name += tail;
    }
    return name + SUFFIX;
}

std::string legacyHistoryFileName(const std::string& device) {
    std::string name;
    size_t from = device.find_first_not_of('/');
    if (from == std::string::npos) from = device.size();
    for (size_t i = from; i < device.size(); ++i) {
        char c = device[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        name.push_back(plain ? c : '_');
    }
    return name + SUFFIX;
}

std::string historyFileHeader(uint32_t wholeBytes) {
    std::string out(MAGIC, MAGIC_BYTES);
    putU32(out, VERSION);
    putU32(out, wholeBytes);
    return out;
}

std::string historyRecords(const std::vector<StoredBucket>& buckets, int level) {
    std::string out;
    size_t from = 0;
    for (size_t i = 1; i <= buckets.size(); ++i) {
        if (i < buckets.size() && buckets[i].tier == buckets[from].tier &&
            (buckets[from].tier < 0 || buckets[from].tier >= SensorHistory::TIER_COUNT ||
             i - from < RECORD_BUCKETS[buckets[from].tier]))
            continue;
        out += record(buckets, from, i, level);
        from = i;
    }
    return out;
}

HistoryFileContent readHistoryFile(const std::string& bytes) {
    HistoryFileContent content;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < HEADER_BYTES || memcmp(p, MAGIC, MAGIC_BYTES) != 0) return content;
    content.version = static_cast<int>(getLE(p + 8, 4));
    content.wholeBytes = static_cast<uint32_t>(getLE(p + 12, 4));
    if (content.version != 1 && content.version != 2) return content;
    if (content.version == 1 && content.wholeBytes != 0) return content;  // flags, all 0
    content.headerOk = true;
    // Records inflate to about three times their size: one allocation for most files.
    content.buckets.reserve(std::min<size_t>(bytes.size() / 20, 64 * 1024));
    // Checking a damaged file costs at most a few times its size, whatever it holds.
    size_t budget = 4 * bytes.size() + MAX_RAW_BYTES;
    size_t at = HEADER_BYTES;
    bool damaged = false;
    std::string raw;
    while (at < bytes.size()) {
        size_t end = 0;
        if (readRecord(bytes, at, content.version, raw, &content.buckets, &end, &budget)) {
            at = end;
            damaged = false;
            continue;
        }
        size_t next = bytes.find(RECORD_MARK, at + 1, MARK_BYTES);
        if (next == std::string::npos) next = bytes.size();
        content.damagedBytes += next - at;
        if (!damaged) ++content.damagedPlaces;
        damaged = true;
        at = next;
    }
    return content;
}
