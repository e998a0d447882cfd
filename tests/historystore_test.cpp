// The daemon's history files in statedir: written by the stop for every
// device (the open minute included), a clock stepped away and back, a disk
// that fills and frees, and one daemon per folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "historyfile.h"
#include "testutil.h"

using nlohmann::json;

namespace {

// The history buckets of name as history.json lists them.
json buckets(int webPort, const std::string& name) {
    json doc = json::parse(httpGet(webPort, "/history.json?name=" + name).body, nullptr, false);
    return doc.is_discarded() ? json() : doc["buckets"];
}

int temperatureCount(const json& b) {
    int n = 0;
    if (b.is_object())
        for (const json& bucket : b["temperature"]) n += bucket["count"].get<int>();
    return n;
}

// The temperature values per key the buckets of tier (0: minutes) in a
// history file hold; a later bucket replaces an earlier one.
std::map<int64_t, uint32_t> keysInFile(const std::string& path, int tier = 0) {
    std::map<int64_t, uint32_t> keys;
    for (const StoredBucket& b : readHistoryFile(readFile(path)).buckets)
        if (b.tier == tier) keys[b.key] = b.quantities[0].count;
    return keys;
}
uint32_t valuesInFile(const std::string& path, int tier = 0) {
    uint32_t n = 0;
    for (const auto& [key, count] : keysInFile(path, tier)) n += count;
    return n;
}

int64_t nowMinute() {
    return time(nullptr) / 60;
}

// A year of one value a minute per quantity ending at lastMinute, as a history file.
std::string yearFile(int64_t lastMinute) {
    SensorHistory h;
    for (int64_t m = lastMinute - 366LL * 1440 + 1; m <= lastMinute; ++m) {
        double day = std::sin(static_cast<double>(m % 1440) / 1440 * 2 * M_PI);
        h.add(m, TEMPERATURE, std::round((12 + 4 * day + (m * 7 % 5) * 0.1) * 10) / 10);
        h.add(m, HUMIDITY, std::round((60 - 10 * day + (m * 3 % 7) * 0.1) * 10) / 10);
        h.add(m, DEWPOINT, std::round((4 + 2 * day) * 10) / 10);
    }
    SensorHistory::Mark mark;
    std::vector<StoredBucket> all;
    h.collect(&mark, true, &all);
    const std::string records = historyRecords(all);
    return historyFileHeader(16 + records.size()) + records;
}

// Devices feeding a daemon whose history goes to state/ (not the MQTT Rig of brokerutil.h).
struct StateRig {
    TempDir dir;
    std::vector<std::unique_ptr<Pty>> ptys;
    int port = freePort(), webPort = freePort();
    std::string state = dir.file("state");

    explicit StateRig(int devices = 1) {
        mkdir(state.c_str(), 0755);
        for (int i = 0; i < devices; ++i) ptys.push_back(std::make_unique<Pty>());
    }
    std::string file(int i = 0) const { return state + "/" + historyFileName(ptys[i]->slavePath); }
    std::string config(const std::string& level = "stat") const {
        std::string sensors;
        for (size_t i = 0; i < ptys.size(); ++i)
            sensors += ptys[i]->slavePath + " = cellar" + (i == 0 ? "" : std::to_string(i)) + "\n";
        return configText(port, "metricsport = " + std::to_string(webPort) +
                                    "\nloglevel = " + level + "\nstatedir = " + state +
                                    "\nhistorysync = 60\n" + "[sensors]\n" + sensors);
    }
    // Sends n lines to device i and waits until its history holds total values.
    void feed(int n, int total, int i = 0) {
        for (int k = 0; k < n; ++k) ptys[i]->write("temperature=2" + std::to_string(k) + ".5\r\n");
        std::string name = "cellar" + (i == 0 ? "" : std::to_string(i));
        ASSERT_TRUE(eventually([&] { return temperatureCount(buckets(webPort, name)) == total; },
                               SLOWDOWN * 30s));
    }
};

// Sets an environment variable for the daemons this test starts.
struct Env {
    Env(const char* name, const char* value) : name(name) { setenv(name, value, 1); }
    ~Env() { unsetenv(name); }
    const char* name;
};

// Every device holds a realistic year (on disk, ending two days ago) and a
// value not yet written when SIGTERM comes; every file must hold it after.
void stopWritesEveryDevice(int devices) {
    StateRig s(devices);
    const std::string year = yearFile(nowMinute() - 2 * 1440);
    for (int i = 0; i < devices; ++i) std::ofstream(s.file(i), std::ios::binary) << year;
    auto daemon = startDaemon(s.dir, s.config("critical"));
    for (int i = 0; i < devices; ++i) s.feed(1, 1, i);
    daemon->signal(SIGTERM);
    ASSERT_EQ(daemon->wait(SLOWDOWN * 60s), 0);
    EXPECT_FALSE(has(daemon->output(), "not written")) << daemon->output();
    for (int i = 0; i < devices; ++i) {
        auto minutes = keysInFile(s.file(i));
        ASSERT_FALSE(minutes.empty());
        EXPECT_GE(minutes.rbegin()->first, nowMinute() - 5) << "device " << i;
        EXPECT_EQ(minutes.rbegin()->second, 1u) << "device " << i;
        EXPECT_GE(keysInFile(s.file(i), 2).size(), 8700u) << "device " << i;
    }
}
}  // namespace

TEST(HistoryStore, TheStopWritesEveryOneOf16DevicesHoldingAYear) {
    stopWritesEveryDevice(16);
}

TEST(HistoryStoreSlow, TheStopWritesEveryOneOf200DevicesHoldingAYear) {
    stopWritesEveryDevice(200);
}

TEST(HistoryStore, AClockBehindIsCountedAndOneSetThreeDaysAheadAndBackResumes) {
    Env sync("SENSOMARK_TEST_HISTORYSYNC_MS", "100");
    StateRig s;
    const std::string device = s.ptys[0]->slavePath, file = s.file();
    // The records of values at one minute.
    auto records = [](int64_t minute, std::initializer_list<double> values) {
        SensorHistory h;
        for (double v : values) h.add(minute, TEMPERATURE, v);
        SensorHistory::Mark mark;
        std::vector<StoredBucket> all;
        h.collect(&mark, true, &all);
        return historyRecords(all);
    };
    const int64_t newest = nowMinute() - 1;
    const std::string written = historyFileHeader(16) + records(newest, {20.5, 21.5});
    std::ofstream(file, std::ios::binary) << written;
    {
        // A board without a real-time clock, booted an hour behind: its values
        // are refused, counted and logged once, and the file stays as it was.
        Env back("SENSOMARK_TEST_WALL_OFFSET", "-3600");
        auto daemon = startDaemon(s.dir, s.config("debug"));
        for (int i = 0; i < 3; ++i) s.ptys[0]->write("temperature=99\r\n");
        const std::string metric = "sensomark_history_refused_total{device=\"" + device + "\"} 3";
        ASSERT_TRUE(eventually([&] { return has(httpGet(s.webPort, "/metrics").body, metric); }));
        const std::string line = "history of '" + device + "': the clock is behind its newest " +
                                 "minute, values are refused until " +
                                 History::utcMinuteText(newest);
        EXPECT_TRUE(daemon->waitFor(line)) << daemon->output();
        EXPECT_EQ(daemon->count(line), 1);
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 0);
    }
    EXPECT_EQ(readFile(file), written);
    // A value of a clock three days ahead, then back at the right time: the
    // buckets ahead are set aside at once and recording resumes; the file is
    // written whole without them, a copy kept.
    std::ofstream(file, std::ios::binary | std::ios::app) << records(nowMinute() + 3 * 1440, {25});
    auto daemon = startDaemon(s.dir, s.config());
    EXPECT_TRUE(daemon->waitFor("history file '" + file + "': 3 buckets from "));
    EXPECT_TRUE(
        daemon->waitFor(" on lie ahead of the clock, the newest more than a day: set aside"));
    s.feed(1, 3);
    EXPECT_TRUE(daemon->waitFor("history file '" + file + "' written whole again, its former " +
                                "bytes kept in '" + file + ".ahead-1'"));
    EXPECT_TRUE(eventually([&] { return valuesInFile(file) == 3; }));
    EXPECT_LE(keysInFile(file).rbegin()->first, nowMinute() + 1);
}

TEST(HistoryStore, ATightDiskAppendsWaitsForRoomToWriteWholeAndTheStopSaysWhatItLost) {
    Env sync("SENSOMARK_TEST_HISTORYSYNC_MS", "100");
    StateRig s(2);
    if (mount("tmpfs", s.state.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs on " << s.state << " (" << strerror(errno)
                     << "): needs root in a mount namespace that allows it";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{s.state};
    // Device 0 has a file with a damaged record: it wants to be written whole.
    std::vector<StoredBucket> hours;
    for (int i = 0; i < 600; ++i) {
        StoredBucket b;
        b.tier = 2;
        b.key = (nowMinute() / 60 - 1000 + i) * 60;
        b.quantities[0] = HistoryBucket{static_cast<float>(i % 37), 40, i % 37 * 60.0 + 600, 60};
        hours.push_back(b);
    }
    const std::string damage("SMKR\x10\0\0\0garbage!", 15);
    std::ofstream(s.file(0), std::ios::binary)
        << historyFileHeader(16) << historyRecords(hours) << damage << historyRecords({hours[0]});
    // Device 1 has a good file: it only ever appends.
    std::ofstream(s.file(1), std::ios::binary)
        << historyFileHeader(16) << historyRecords({hours[0]});
    const uint32_t before = valuesInFile(s.file(0), 2);
    const std::string filler = s.state + "/filler";
    // Fills the disk but for free bytes; free 0: to the last byte, the last
    // page of each file filled up with empty records.
    auto fill = [&](size_t free) {
        {
            UniqueFd out(open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
            std::string block(4096, 'x');
            while (write(out.get(), block.data(), block.size()) == 4096) {
            }
        }
        struct stat st = {};
        stat(filler.c_str(), &st);
        ASSERT_EQ(truncate(filler.c_str(), st.st_size - static_cast<off_t>(free)), 0);
        if (free > 0) return;
        std::string empty("SMKR\0\0\0\0\0\0\0\0", 12);
        uint32_t crc =
            static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(&empty[4]), 8));
        empty.append(reinterpret_cast<const char*>(&crc), 4);
        for (int i = 0; i < 2; ++i) {
            UniqueFd f(open(s.file(i).c_str(), O_WRONLY | O_APPEND));
            off_t size = lseek(f.get(), 0, SEEK_END);
            while (write(f.get(), empty.data(), empty.size()) == 16) size += 16;
            // Room for a part of the next record: a failed append tears it.
            ASSERT_EQ(ftruncate(f.get(), size - 16), 0);
        }
    };
    fill(32 * 1024);
    auto daemon = startDaemon(s.dir, s.config());
    ASSERT_TRUE(daemon->waitFor("history file '" + s.file(0) + "': skipped 15 damaged bytes in 1 " +
                                "place, loaded the rest"));
    // Too tight for a whole file: device 0 appends meanwhile.
    s.feed(2, 2, 0);
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file(0) + "' waits for room to be written " +
                                "whole ("))
        << daemon->output();
    ASSERT_TRUE(eventually([&] { return valuesInFile(s.file(0)) == 2; }));
    // Full: appends fail, are cut back, and each device says so once.
    fill(0);
    s.feed(1, 3, 0);
    s.feed(1, 1, 1);
    const std::string failed = "cannot write history file '" + s.file(0) + "': failed to write (";
    ASSERT_TRUE(daemon->waitFor(failed)) << daemon->output();
    EXPECT_TRUE(daemon->waitFor("cannot write history file '" + s.file(1) + "': "));
    // A torn try is cut back: between two tries the file holds its old damage only.
    EXPECT_TRUE(
        eventually([&] { return readHistoryFile(readFile(s.file(0))).damagedBytes == 15; }));
    // Room again: device 0 written whole, its damaged bytes kept aside; device
    // 1 appends what failed; every value there.
    unlink(filler.c_str());
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file(0) + "' written again"));
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file(1) + "' written again"));
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file(0) + "' written whole again, its " +
                                "former bytes kept in '" + s.file(0) + ".corrupt-1'"));
    EXPECT_EQ(daemon->count(failed), 1);
    EXPECT_EQ(valuesInFile(s.file(0)), 3u);
    EXPECT_EQ(valuesInFile(s.file(0), 2), before + 3);
    EXPECT_EQ(valuesInFile(s.file(1)), 1u);
    // Full at the stop: said, per device.
    fill(0);
    s.feed(1, 4, 0);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    EXPECT_TRUE(has(daemon->output(),
                    "history file '" + s.file(0) + "' not written at the stop: failed to write ("))
        << daemon->output();
}

TEST(HistoryStore, ASecondDaemonOnTheSameStatedirEndsWithCode4NamingTheFirst) {
    StateRig s;
    auto first = startDaemon(s.dir, s.config());
    TempDir other;
    StateRig t;  // other ports and device, the same folder
    other.write("sensomarkUSB.conf", configText(t.port, "statedir = " + s.state + "\n[sensors]\n" +
                                                            t.ptys[0]->slavePath + " = other\n"));
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN}, other.path, &out), 4);
    EXPECT_TRUE(has(out, "statedir '" + s.state + "' is in use by another sensomarkUSB (pid " +
                             std::to_string(first->pid()) + ")"))
        << out;
    s.feed(1, 1);  // the first one serves on
}
