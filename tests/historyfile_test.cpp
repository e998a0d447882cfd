// History files: the name rule, the golden files, damaged and hostile files,
// and the writer's appends, whole files and failures driven by hand.
#include "historyfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>

#include "historywriter.h"
#include "logging.h"
#include "sensor.h"
#include "testutil.h"

namespace {
const int64_t MINUTE_AT = 1709676000 / 60;  // Tue 2024-03-05 22:00 UTC

// Buckets with values that say where they are, some quantities empty.
std::vector<StoredBucket> sampleBuckets(int64_t from, int n) {
    std::vector<StoredBucket> buckets;
    for (int i = 0; i < n; ++i) {
        StoredBucket b;
        b.tier = i % 3;
        int step = SensorHistory::TIERS[b.tier].stepMinutes;
        b.key = (from / step + i) * step;
        for (int q = 0; q < 2; ++q)
            b.quantities[q] = HistoryBucket{-12.5f + i, 30.25f + q, 1234.5 + i * 0.125,
                                            static_cast<uint32_t>(60 + i + q)};
        buckets.push_back(b);
    }
    return buckets;
}

bool sameBuckets(const std::vector<StoredBucket>& a, const std::vector<StoredBucket>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].tier != b[i].tier || a[i].key != b[i].key) return false;
        for (int q = 0; q < QUANTITY_COUNT; ++q) {
            const HistoryBucket &x = a[i].quantities[q], &y = b[i].quantities[q];
            if (x.min != y.min || x.max != y.max || x.sum != y.sum || x.count != y.count)
                return false;
        }
    }
    return true;
}

std::vector<StoredBucket> join(std::initializer_list<std::vector<StoredBucket>> parts) {
    std::vector<StoredBucket> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Every bucket a history holds, as a whole file would carry it.
std::vector<StoredBucket> held(SensorHistory& h) {
    SensorHistory::Mark mark;
    std::vector<StoredBucket> out;
    h.collect(&mark, true, &out);
    return out;
}

// The log lines written while the object lives (the log writer does not run
// in these tests: every line goes out at once).
struct LogCapture {
    explicit LogCapture(const TempDir& dir) : path(dir.file("log")) { logFile = path; }
    ~LogCapture() { logFile.clear(); }
    bool has(const std::string& line) const {
        auto all = logLines(readFile(path));
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    std::string path;
};
}  // namespace

TEST(HistoryFile, NamesKeepOrdinaryPathsAndNeverCollide) {
    EXPECT_EQ(historyFileName("/dev/ttyUSB0"), "dev_ttyUSB0.history");
    EXPECT_EQ(historyFileName("/dev/serial/by-id/usb-FTDI_x:1.0"),
              "dev_serial_by-id_usb-FTDI%5fx%3a1.0.history");
    EXPECT_EQ(legacyHistoryFileName("/dev/serial/by-id/usb-FTDI_x:1.0"),
              "dev_serial_by-id_usb-FTDI_x_1.0.history");
    const std::string longPath = "/dev/" + std::string(300, 'a');
    std::set<std::string> names;
    for (const std::string& path :
         {std::string("/x/tty_0"), std::string("/x_tty/0"), std::string("x/tty_0"),
          std::string("//x/tty_0"), std::string("/x/tty%5f0"), longPath, longPath + "b",
          longPath + "/"}) {
        std::string name = historyFileName(path);
        EXPECT_LE(name.size() + strlen(".corrupt-1234567890"), 255u) << path;
        EXPECT_EQ(name.find('/'), std::string::npos);
        EXPECT_TRUE(names.insert(name).second) << path << " shares " << name;
    }
}

// The golden files were written by this code (golden2: the header for a whole
// part of the first records, then the records of first and of second) and are
// checked in: any machine, of any byte order and word size, must read the same
// numbers from them, and files of version 1 (records not marked) still load.
TEST(HistoryFile, GoldenFilesLoadWithTheValuesTheyWereWrittenWith) {
    std::vector<StoredBucket> first = sampleBuckets(MINUTE_AT, 5),
                              second = sampleBuckets(MINUTE_AT + 600, 4);
    second[1].quantities[2] = HistoryBucket{-40.0f, 85.125f, -1e-3, 4000000000u};
    const std::string dir = std::string(SENSOMARK_SOURCE_DIR) + "/tests/data/";
    for (const char* name : {"golden.history", "golden2.history"}) {
        HistoryFileContent content = readHistoryFile(readFile(dir + name));
        ASSERT_TRUE(content.headerOk) << name;
        EXPECT_EQ(content.damagedBytes, 0u);
        EXPECT_TRUE(sameBuckets(content.buckets, join({first, second}))) << name;
        EXPECT_EQ(content.buckets[6].quantities[2].count, 4000000000u);
        EXPECT_EQ(content.buckets[6].quantities[2].sum, -1e-3);
    }
    HistoryFileContent v2 = readHistoryFile(readFile(dir + "golden2.history"));
    EXPECT_EQ(v2.wholeBytes, 16 + historyRecords(first).size());
}

TEST(HistoryFile, DamageCostsTheDamagedRecordOnlyAndNeverChangesANumber) {
    std::vector<StoredBucket> a = sampleBuckets(MINUTE_AT, 3), b = sampleBuckets(MINUTE_AT + 60, 4),
                              c = sampleBuckets(MINUTE_AT + 120, 5);
    // One tier each: a record holds one tier.
    for (auto* part : {&a, &b, &c})
        for (StoredBucket& bucket : *part) bucket.tier = 2, bucket.key = bucket.key / 60 * 60;
    const std::string records[] = {historyRecords(a), historyRecords(b), historyRecords(c)};
    const std::string file = historyFileHeader(16) + records[0] + records[1] + records[2];
    const std::vector<StoredBucket> parts[] = {a, b, c};
    EXPECT_TRUE(sameBuckets(readHistoryFile(file).buckets, join({a, b, c})));
    // Cut anywhere in the last record: the first two load.
    for (size_t cut = file.size() - records[2].size(); cut < file.size(); ++cut) {
        HistoryFileContent content = readHistoryFile(file.substr(0, cut));
        ASSERT_TRUE(sameBuckets(content.buckets, join({a, b}))) << "cut at " << cut;
        ASSERT_EQ(content.damagedBytes, cut - (file.size() - records[2].size()));
    }
    // Every single bit flipped: the header is refused, or every record but
    // the damaged one loads; never a changed number.
    for (size_t bit = 0; bit < file.size() * 8; ++bit) {
        std::string damaged = file;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        HistoryFileContent content = readHistoryFile(damaged);
        if (bit / 8 < 12) {  // magic and version; the whole length is a hint
            ASSERT_FALSE(content.headerOk) << bit;
            continue;
        }
        const size_t starts[] = {16, 16 + records[0].size(), file.size() - records[2].size()};
        const size_t hit =
            bit / 8 < 16 ? 3 : std::upper_bound(starts, starts + 3, bit / 8) - starts - 1;
        std::vector<StoredBucket> want;
        for (size_t r = 0; r < 3; ++r)
            if (r != hit) want.insert(want.end(), parts[r].begin(), parts[r].end());
        ASSERT_TRUE(sameBuckets(content.buckets, want)) << "bit " << bit;
        ASSERT_EQ(content.damagedPlaces, hit < 3 ? 1 : 0) << "bit " << bit;
    }
}

TEST(HistoryWriter, AFlippedBitInAnyRecordOfAYearLosesThatRecordOnlyAndKeepsACopyAside) {
    TempDir dir;
    LogCapture log(dir);
    Sensor sensor(nullptr, "/dev/ttyUSB0");
    History history;
    SensorHistory* h = history.track(&sensor);
    for (int64_t m = MINUTE_AT - 366LL * 1440; m <= MINUTE_AT; ++m)
        for (int q = 1; q <= 3; ++q) h->add(m, static_cast<ReadType>(q), (m * 7 + q) % 401 * 0.1);
    {
        HistoryWriter writer(history, dir.path, 60000);
        writer.load();
        writer.tick(1000, true);  // no file yet: the stop writes it whole
    }
    const std::string path = dir.file("dev_ttyUSB0.history"), file = readFile(path);
    std::vector<size_t> ends{16};  // of the header, then of each record
    for (size_t at = 16; at + 16 <= file.size(); at = ends.back())
        ends.push_back(at + 16 +
                       (static_cast<unsigned char>(file[at + 4]) |
                        static_cast<unsigned char>(file[at + 5]) << 8 |
                        static_cast<unsigned char>(file[at + 6]) << 16));
    ASSERT_EQ(ends.back(), file.size());
    ASSERT_GE(ends.size(), 19u);  // a day of minutes, weeks of ten minutes, months of hours
    const size_t records = ends.size() - 1;
    for (size_t r = 1; r <= records; ++r) {
        std::string damaged = file;
        damaged[ends[r - 1] + 20] ^= 0x10;
        std::ofstream(path, std::ios::binary) << damaged;
        History copy;
        SensorHistory* c = copy.track(&sensor);
        HistoryWriter reader(copy, dir.path, 60000);
        reader.load();
        // Every record but the damaged one, as it was.
        std::vector<StoredBucket> before = readHistoryFile(file.substr(0, ends[r - 1])).buckets,
                                  after = readHistoryFile(file.substr(0, 16) + file.substr(ends[r]))
                                              .buckets;
        ASSERT_TRUE(sameBuckets(held(*c), join({before, after}))) << "record " << r;
        // Written whole at the next sync; the damaged bytes stay aside.
        reader.tick(1000);
        reader.tick(61000);
        const std::string aside = path + ".corrupt-" + std::to_string(r);
        EXPECT_EQ(readFile(aside), damaged) << "record " << r;
        EXPECT_TRUE(log.has("history file '" + path + "' written whole again, its former bytes " +
                            "kept in '" + aside + "'"));
        EXPECT_EQ(readHistoryFile(readFile(path)).damagedBytes, 0u);
    }
}

TEST(HistoryWriter, AppendsWhatChangedOnceTheFolderIsThereAndTheStopAppendsTheOpenMinute) {
    TempDir dir;
    const std::string folder = dir.file("state"), path = folder + "/dev_ttyUSB0.history";
    Sensor sensor(nullptr, "/dev/ttyUSB0"), quiet(nullptr, "/dev/ttyUSB1");
    History history;
    SensorHistory* h = history.track(&sensor);
    history.track(&quiet);
    HistoryWriter writer(history, folder, 60000);
    EXPECT_TRUE(writer.lock());  // the folder is missing: locked once it is there
    writer.load();
    writer.tick(1000);  // starts the interval
    h->add(MINUTE_AT, TEMPERATURE, 20.5);
    writer.tick(30000);
    EXPECT_EQ(writer.bytesWritten(), 0u);  // not yet due
    writer.tick(61000);                    // the folder is missing: fails
    writer.tick(122000);                   // fails again, nothing new: tried again all the same
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    writer.tick(183000);
    // No file yet: the first write is whole (2 fsyncs: the file, the folder).
    EXPECT_EQ(writer.fsyncCount(), 2u);
    EXPECT_EQ(readFile(folder + "/sensomarkUSB.lock"), std::to_string(getpid()) + "\n");
    EXPECT_EQ(access((folder + "/dev_ttyUSB1.history").c_str(), F_OK), -1);  // nothing came
    uint64_t bytes = writer.bytesWritten();
    writer.tick(250000);  // nothing new: nothing written
    EXPECT_EQ(writer.bytesWritten(), bytes);
    h->add(MINUTE_AT + 1, TEMPERATURE, 21);
    writer.tick(320000);
    EXPECT_EQ(writer.fsyncCount(), 3u);  // one append
    h->add(MINUTE_AT + 2, HUMIDITY, 40);

    // Read back now (as after a SIGKILL): the last append is there, not what
    // came after it.
    auto readBack = [&] {
        SensorHistory copy;
        copy.restore(readHistoryFile(readFile(path)).buckets);
        return copy.series(HistoryRange::DAY, MINUTE_AT + 2);
    };
    HistorySeries s = readBack();
    EXPECT_EQ(s.buckets[0][1437].sum, 20.5);
    EXPECT_EQ(s.buckets[0][1438].max, 21.0f);
    EXPECT_EQ(s.buckets[1][1439].count, 0u);
    const std::string before = readFile(path);
    writer.tick(330000, true);  // the stop: appended, the open minute included
    EXPECT_EQ(writer.fsyncCount(), 4u);
    EXPECT_EQ(readFile(path).compare(0, before.size(), before), 0);
    s = readBack();
    HistorySeries want = h->series(HistoryRange::DAY, MINUTE_AT + 2);
    EXPECT_EQ(s.buckets[1][1439].sum, 40);
    for (int q = 0; q < 3; ++q)
        for (size_t i = 0; i < 1440; ++i)
            ASSERT_EQ(s.buckets[q][i].count, want.buckets[q][i].count) << q << " " << i;
}

TEST(HistoryWriter, WhatIsNoHistoryFileIsMovedAsideUnreadAndTheDeviceStartsEmpty) {
    TempDir dir;
    LogCapture log(dir);
    const std::string path = dir.file("dev_ttyUSB0.history");
    struct Case {
        const char* reason;
        std::function<int()> make;  // 0 when made
    } cases[] = {
        {"is unreadable", [&] { return dir.write("dev_ttyUSB0.history", "not history\n"), 0; }},
        {"is not a regular file", [&] { return mkfifo(path.c_str(), 0600); }},
        {"is a symbolic link", [&] { return symlink("/dev/zero", path.c_str()); }},
        {"is larger than 8388608 bytes",
         [&] { return truncate((dir.write("dev_ttyUSB0.history", ""), path).c_str(), 2LL << 30); }},
        {"is unreadable", [&] { return dir.write("dev_ttyUSB0.history", "SMKHIST\n\7junk"), 0; }},
    };
    Sensor sensor(nullptr, "/dev/ttyUSB0");
    int n = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(c.make(), 0) << c.reason;
        History history;
        history.track(&sensor);
        HistoryWriter writer(history, dir.path, 60000);
        writer.load();
        const std::string aside = path + ".corrupt-" + std::to_string(++n);
        EXPECT_TRUE(
            log.has("history file '" + path + "' " + c.reason + ", moved aside to '" + aside + "'"))
            << readFile(log.path);
        EXPECT_EQ(history.of(&sensor)->bytesHeld(), 0u);
        struct stat st = {};
        EXPECT_EQ(lstat(path.c_str(), &st), -1);
    }
    // The first unreadable file is kept until newer copies push it out.
    EXPECT_EQ(access((path + ".corrupt-1").c_str(), F_OK), -1);
    EXPECT_EQ(readFile(path + ".corrupt-5"), "SMKHIST\n\7junk");
}

TEST(HistoryWriter, PathsThatOnceSharedANameKeepTheirOwnAndOldNamesAreTakenOver) {
    TempDir dir;
    LogCapture log(dir);
    const std::string byId = "/dev/serial/by-id/usb-FTDI_x-if00";
    Sensor one(nullptr, "/x/tty_0"), two(nullptr, "/x_tty/0"), id(nullptr, byId);
    // Files under the earlier rule: the by-id one is unambiguous, the other
    // could be that of one or two.
    StoredBucket old;
    old.key = MINUTE_AT - 5;
    old.quantities[0] = HistoryBucket{7, 7, 7, 1};
    const std::string oldFile = historyFileHeader(16) + historyRecords({old});
    dir.write(legacyHistoryFileName(byId), oldFile);
    dir.write("x_tty_0.history", oldFile);
    History history;
    Sensor* sensors[] = {&one, &two, &id};
    for (Sensor* s : sensors) history.track(s);
    HistoryWriter writer(history, dir.path, 60000);
    writer.load();
    EXPECT_EQ(history.of(&id)->series(HistoryRange::DAY, MINUTE_AT).buckets[0][1434].sum, 7);
    EXPECT_EQ(history.of(&one)->bytesHeld(), 0u);
    EXPECT_TRUE(log.has("history file '" + dir.file("x_tty_0.history") +
                        "' may be that of more than one device, left as it is"));
    EXPECT_TRUE(log.has("history file '" + dir.file(legacyHistoryFileName(byId)) +
                        "' renamed to '" + dir.file(historyFileName(byId)) + "'"));
    for (int i = 0; i < 3; ++i) history.of(sensors[i])->add(MINUTE_AT, TEMPERATURE, i);
    writer.tick(1000, true);
    for (int i = 0; i < 3; ++i) {
        SensorHistory copy;
        const std::string name = historyFileName(sensors[i]->getDeviceName());
        copy.restore(readHistoryFile(readFile(dir.file(name))).buckets);
        EXPECT_EQ(copy.series(HistoryRange::DAY, MINUTE_AT).buckets[0][1439].sum, i) << name;
    }
    EXPECT_EQ(readFile(dir.file("x_tty_0.history")), oldFile);
}
