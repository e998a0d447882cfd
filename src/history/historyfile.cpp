// Encoding and decoding of history files, byte by byte.
#include "historyfile.h"

#include <zlib.h>

#include <cmath>
#include <cstring>

namespace {
const char MAGIC[] = "SMKHIST\n";
const size_t MAGIC_BYTES = 8;
const uint32_t VERSION = 1;
const size_t HEADER_BYTES = 16;
const size_t RECORD_HEAD_BYTES = 12;
const size_t BUCKET_BYTES = 1 + 8 + QUANTITY_COUNT * (4 + 4 + 8 + 4);
// More buckets than every tier holds twice over is no record this writes.
const size_t MAX_RAW_BYTES = 2 * BUCKET_BYTES * (24 * 60 + 31 * 24 * 6 + 366 * 24);

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
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
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

// A bucket as this writer writes them: known tier, values in order.
bool plausible(const StoredBucket& b) {
    if (b.tier < 0 || b.tier >= SensorHistory::TIER_COUNT) return false;
    for (const HistoryBucket& q : b.quantities) {
        if (q.count == 0) continue;
        if (!std::isfinite(q.min) || !std::isfinite(q.max) || !std::isfinite(q.sum) ||
            q.min > q.max)
            return false;
    }
    return true;
}

// Decodes raw (a whole number of buckets) into out; false when it is not one.
bool decodeBuckets(const std::string& raw, std::vector<StoredBucket>* out) {
    if (raw.size() % BUCKET_BYTES != 0) return false;
    std::vector<StoredBucket> buckets;
    buckets.reserve(raw.size() / BUCKET_BYTES);
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
        if (!plausible(s)) return false;
        buckets.push_back(s);
    }
    out->insert(out->end(), buckets.begin(), buckets.end());
    return true;
}
}  // namespace

std::string historyFileName(const std::string& device) {
    std::string name;
    size_t from = device.find_first_not_of('/');
    if (from == std::string::npos) from = device.size();
    for (size_t i = from; i < device.size(); ++i) {
        char c = device[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        name.push_back(plain ? c : '_');
    }
    return name + ".history";
}

std::string historyFileHeader() {
    std::string out(MAGIC, MAGIC_BYTES);
    putU32(out, VERSION);
    putU32(out, 0);
    return out;
}

std::string historyRecord(const std::vector<StoredBucket>& buckets) {
    std::string raw;
    raw.reserve(buckets.size() * BUCKET_BYTES);
    for (const StoredBucket& b : buckets) {
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
                  reinterpret_cast<const Bytef*>(raw.data()), raw.size(),
                  Z_BEST_COMPRESSION) == Z_OK) {
        stored.resize(deflatedBytes);
    } else {
        stored.clear();  // cannot happen with a bound-sized buffer; store nothing
        raw.clear();
    }
    std::string out;
    putU32(out, static_cast<uint32_t>(stored.size()));
    putU32(out, static_cast<uint32_t>(raw.size()));
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(out.data()), 8);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(stored.data()), stored.size());
    putU32(out, static_cast<uint32_t>(crc));
    return out + stored;
}

HistoryFileContent readHistoryFile(const std::string& bytes) {
    HistoryFileContent content;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < HEADER_BYTES || memcmp(p, MAGIC, MAGIC_BYTES) != 0 ||
        getLE(p + 8, 4) != VERSION || getLE(p + 12, 4) != 0)
        return content;
    content.headerOk = true;
    size_t at = HEADER_BYTES;
    while (bytes.size() - at >= RECORD_HEAD_BYTES) {
        size_t storedBytes = getLE(p + at, 4), rawBytes = getLE(p + at + 4, 4);
        uint32_t crc = static_cast<uint32_t>(getLE(p + at + 8, 4));
        if (storedBytes > bytes.size() - at - RECORD_HEAD_BYTES || rawBytes > MAX_RAW_BYTES) break;
        const unsigned char* stored = p + at + RECORD_HEAD_BYTES;
        uLong sum = crc32(0L, p + at, 8);
        if (static_cast<uint32_t>(crc32(sum, stored, storedBytes)) != crc) break;
        std::string raw(rawBytes, '\0');
        uLongf rawLength = rawBytes;
        if (rawBytes > 0 && (uncompress(reinterpret_cast<Bytef*>(&raw[0]), &rawLength, stored,
                                        storedBytes) != Z_OK ||
                             rawLength != rawBytes))
            break;
        if (!decodeBuckets(raw, &content.buckets)) break;
        at += RECORD_HEAD_BYTES + storedBytes;
        content.goodBytes = at;
    }
    if (content.goodBytes == 0) content.goodBytes = HEADER_BYTES;
    return content;
}
