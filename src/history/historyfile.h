// The history file of one device: its name, its bytes, and reading it back.
//
// Layout (all fields little-endian, fixed size, the same on every machine):
//   header:  "SMKHIST\n", u32 version (1), u32 flags (0)
//   records: u32 stored length, u32 raw length, u32 CRC-32 (zlib's, over the
//            two lengths and the stored bytes), then the stored bytes: the
//            raw bytes deflated by zlib. The raw bytes are buckets of 69 bytes:
//            u8 tier, i64 UTC minute key, and per quantity (temperature,
//            humidity, dew point) f32 min, f32 max, f64 sum, u32 count.
// A later bucket of the same tier and key replaces an earlier one. A record
// that fails its checks ends the file: it and everything after it is skipped.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "history.h"

// The file name of device's history: the path without its leading "/", every
// "/" and every byte outside [A-Za-z0-9._-] replaced by "_", then ".history":
// "/dev/ttyUSB0" -> "dev_ttyUSB0.history".
std::string historyFileName(const std::string& device);

// The 16 bytes that begin every history file.
std::string historyFileHeader();
// One record holding buckets (deflated when zlib can, raw otherwise).
std::string historyRecord(const std::vector<StoredBucket>& buckets);

struct HistoryFileContent {
    bool headerOk = false;              // false: not a history file of a version this reads
    std::vector<StoredBucket> buckets;  // of the good records, in file order
    size_t goodBytes = 0;               // header and good records; the rest was skipped
};
HistoryFileContent readHistoryFile(const std::string& bytes);
