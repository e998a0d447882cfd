// The history file of one device: its name, its bytes, and reading it back.
// Pure functions; any thread may call them.
//
// Layout (all fields little-endian, fixed size, the same on every machine):
//   header:  "SMKHIST\n", u32 version (2), u32 whole length (the file's length
//            when it was last written whole: what follows it was appended)
//   records: "SMKR", u32 stored length, u32 raw length, u32 CRC-32 (zlib's,
//            over the two lengths and the stored bytes), then the stored
//            bytes: the raw bytes deflated by zlib. The raw bytes are buckets
//            of 69 bytes: u8 tier, i64 UTC minute key, and per quantity
//            (temperature, humidity, dew point) f32 min, f32 max, f64 sum, u32
//            count. A record holds buckets of one tier: at most a day of minute
//            buckets, a week of ten-minute buckets or a month of hour buckets.
// A later bucket of the same tier and key replaces an earlier one. A record
// that fails its checks is skipped, and reading goes on at the next "SMKR"
// that begins a good record. Version 1 files (the whole length 0, records
// without "SMKR") are read too; they are never written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history.h"

// The largest history file the writer leaves: appends stop short of it until
// the file can be written whole again. A file larger than this is no history
// file and is never read.
constexpr uint64_t MAX_HISTORY_FILE_BYTES = 8 * 1024 * 1024;

// The file name of device's history, shared by no other path: the path without
// its leading "/" (a path without one begins with "%00"), each "/" as "_",
// letters, digits, "." and "-" as they are, every other byte ("_" included) as
// "%" and two hex digits, then ".history": "/dev/ttyUSB0" -> "dev_ttyUSB0.history".
// A name longer than 224 bytes is cut, and "~" and 16 hex digits of a hash of
// the path end it, so that every name with a suffix fits the 255-byte limit.
std::string historyFileName(const std::string& device);
// The name an earlier version gave the file: the path without its leading "/"s,
// every byte other than letters, digits, ".", "_" and "-" as "_", ".history".
std::string legacyHistoryFileName(const std::string& device);

// The 16 bytes that begin every history file; wholeBytes: the file's length
// when written whole, header included.
std::string historyFileHeader(uint32_t wholeBytes);
// zlib's level for the records of whole files and appends (see the README).
constexpr int HISTORY_DEFLATE_LEVEL = 6;
// Records holding buckets (ordered by tier, as SensorHistory::collect gives
// them), deflated at level (raw where zlib cannot): a new record at every tier
// and after a day of minute, a week of ten-minute or a month of hour buckets.
std::string historyRecords(const std::vector<StoredBucket>& buckets,
                           int level = HISTORY_DEFLATE_LEVEL);

struct HistoryFileContent {
    bool headerOk = false;              // false: not a history file of a version this reads
    int version = 0;                    // 1 or 2
    uint32_t wholeBytes = 0;            // from the header; 0 in version 1
    std::vector<StoredBucket> buckets;  // of the good records, in file order
    size_t damagedBytes = 0;            // skipped: bad records and bytes between records
    int damagedPlaces = 0;              // runs of skipped bytes
};
HistoryFileContent readHistoryFile(const std::string& bytes);
