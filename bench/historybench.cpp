// The history's disk side without waiting for days:
//   historybench day DIR       one device with a full year, then a simulated
//                              week of values (6 lines a minute) through the
//                              writer at the default sync interval; prints the
//                              bytes written and fsyncs of an average day (a
//                              week holds the whole rewrites its appends make
//                              due).
//   historybench year DIR N    writes the history files of N devices
//                              /dev/benchK (K = 1..N), each with a full year,
//                              into DIR; prints their size.
//   historybench load DIR N    reads them back; prints the time it takes.
//   historybench levels        a full year written whole at each zlib level:
//                              the time (median of 5) and size of each.
// Time is simulated: values carry their UTC minute, the writer is driven by
// hand with the simulated monotonic time, so the writes are those of a real
// day. Bytes are counted by the writer and by /proc/self/io.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "config.h"
#include "history.h"
#include "historyfile.h"
#include "historywriter.h"
#include "sensor.h"

namespace {
const int64_t NOW_MINUTE = 1764547200 / 60;  // 2025-12-01 00:00 UTC
const int VALUES_PER_MINUTE = 6;

// The write_bytes and wchar lines of /proc/self/io.
void ioCounters(long long* writeBytes, long long* wchar) {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value;
    *writeBytes = *wchar = -1;
    while (io >> key >> value) {
        if (key == "write_bytes:") *writeBytes = value;
        if (key == "wchar:") *wchar = value;
    }
}

// Noisy climate values of minute for quantity q, one decimal.
void feedMinute(SensorHistory& h, int64_t minute, std::minstd_rand& random) {
    std::uniform_real_distribution<double> noise(-0.3, 0.3);
    double day = std::sin(2 * M_PI * static_cast<double>(minute % 1440) / 1440);
    double season = std::sin(2 * M_PI * static_cast<double>(minute % 525600) / 525600);
    for (int i = 0; i < VALUES_PER_MINUTE; ++i) {
        double t = 12 + 8 * season + 4 * day + noise(random);
        double rh = 60 - 10 * day + 3 * noise(random);
        h.add(minute, TEMPERATURE, std::round(t * 10) / 10);
        h.add(minute, HUMIDITY, std::round(rh * 10) / 10);
        h.add(minute, DEWPOINT, std::round((t - (100 - rh) / 5) * 10) / 10);
    }
}

void fillYear(SensorHistory& h, int64_t lastMinute, unsigned seed) {
    std::minstd_rand random(seed);
    for (int64_t m = lastMinute - 366LL * 1440 + 1; m <= lastMinute; ++m) feedMinute(h, m, random);
}

int day(const std::string& dir) {
    Sensor sensor(nullptr, "/dev/bench1");
    History history;
    SensorHistory* h = history.track(&sensor);
    fillYear(*h, NOW_MINUTE, 1);
    HistoryWriter writer(history, dir, DEFAULT_HISTORY_SYNC_S * 1000LL);
    writer.load();
    int64_t ms = 1000;
    writer.tick(ms, true);  // the file as a stop leaves it: the day starts there
    uint64_t bytes0 = writer.bytesWritten(), fsyncs0 = writer.fsyncCount();
    long long wb0, wc0;
    ioCounters(&wb0, &wc0);
    std::minstd_rand random(2);
    const int DAYS = 7;
    const int minutes = DAYS * 1440;
    for (int i = 1; i <= minutes; ++i) {
        feedMinute(*h, NOW_MINUTE + i, random);
        ms += 60000;
        writer.tick(ms);
    }
    long long wb1, wc1;
    ioCounters(&wb1, &wc1);
    struct stat st = {};
    stat((dir + "/" + historyFileName("/dev/bench1")).c_str(), &st);
    printf(
        "simulated_minutes=%d bytes=%llu fsyncs=%llu proc_write_bytes=%lld proc_wchar=%lld "
        "file_bytes=%lld\n",
        minutes, static_cast<unsigned long long>(writer.bytesWritten() - bytes0) / DAYS,
        static_cast<unsigned long long>(writer.fsyncCount() - fsyncs0) / DAYS, (wb1 - wb0) / DAYS,
        (wc1 - wc0) / DAYS, static_cast<long long>(st.st_size));
    return 0;
}

int year(const std::string& dir, int devices) {
    long long total = 0;
    for (int k = 1; k <= devices; ++k) {
        std::string device = "/dev/bench" + std::to_string(k);
        Sensor sensor(nullptr, device);
        History history;
        // Ending a day ago: the daemon of the stop benchmark fills the last
        // day, values not yet on disk.
        fillYear(*history.track(&sensor), History::utcMinuteOf(History::wallNow()) - 1441,
                 static_cast<unsigned>(k));
        HistoryWriter writer(history, dir, DEFAULT_HISTORY_SYNC_S * 1000LL);
        writer.tick(1000, true);
        total += static_cast<long long>(writer.bytesWritten());
    }
    printf("devices=%d file_bytes_per_device=%lld memory_bytes_per_device=%zu\n", devices,
           total / devices, SensorHistory::bytesPerDevice());
    return 0;
}

// Reads the files of year() back, as the daemon's start does; prints the time.
int load(const std::string& dir, int devices) {
    std::vector<std::unique_ptr<Sensor>> sensors;
    History history;
    for (int k = 1; k <= devices; ++k) {
        sensors.push_back(std::make_unique<Sensor>(nullptr, "/dev/bench" + std::to_string(k)));
        history.track(sensors.back().get());
    }
    HistoryWriter writer(history, dir, DEFAULT_HISTORY_SYNC_S * 1000LL);
    auto cpuMs = [] {
        rusage r = {};
        getrusage(RUSAGE_SELF, &r);
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
    };
    double cpu0 = cpuMs();
    auto start = std::chrono::steady_clock::now();
    writer.load();
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("devices=%d load_ms=%.1f load_cpu_ms=%.1f\n", devices, ms, cpuMs() - cpu0);
    return 0;
}

// The whole file of a realistic year at each zlib level.
int levels() {
    SensorHistory h;
    fillYear(h, NOW_MINUTE, 1);
    SensorHistory::Mark mark;
    std::vector<StoredBucket> buckets;
    h.collect(&mark, true, &buckets);
    for (int level = 1; level <= 9; ++level) {
        std::vector<double> ms;
        size_t bytes = 0;
        for (int rep = 0; rep < 5; ++rep) {
            auto start = std::chrono::steady_clock::now();
            bytes = historyRecords(buckets, level).size();
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::sort(ms.begin(), ms.end());
        printf("level=%d ms=%.1f bytes=%zu\n", level, ms[2], bytes + 16);
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "levels") return levels();
    std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "day") return day(argv[2]);
    if (mode == "year" && argc > 3) return year(argv[2], atoi(argv[3]));
    if (mode == "load" && argc > 3) return load(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: historybench day DIR | year DIR DEVICES | load DIR DEVICES | levels\n");
    return 1;
}
