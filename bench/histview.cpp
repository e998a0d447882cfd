// The history views on a full year: the time to draw the status page of 16
// devices for each range, a device's year as JSON and as CSV, each as the web
// port makes it (the handler's answer) and as a browser gets it (compressed).
// The series are made up (a daily curve with noise and a gap of a day), so
// the time is that of the views alone, not of taking the buckets out of the
// history. Prints one line per view: name=... draw_ms=... (median of the
// runs) gzip_ms=... (drawn and compressed) draw_cpu_ms=... gzip_cpu_ms=... (the
// thread's CPU time, which a busy machine inflates less) bytes=... gzip_bytes=...
// Usage: histview [--runs N] [--write DIR]   (DIR: where the pages go, to look at them)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "csvview.h"
#include "http.h"
#include "jsonview.h"
#include "statuspage.h"

namespace {
using Clock = std::chrono::steady_clock;

const int DEVICES = 16;

HistorySeries madeUp(HistoryRange range, int64_t nowMinute, unsigned seed) {
    static const std::pair<int, int> SHAPES[] = {{1, 1440}, {10, 1008}, {10, 4464}, {60, 8784}};
    auto [step, count] = SHAPES[static_cast<int>(range)];
    HistorySeries s;
    s.stepMinutes = step;
    s.firstMinute = (nowMinute / step - count + 1) * step;
    std::minstd_rand random(seed);
    std::uniform_real_distribution<double> noise(-0.3, 0.3);
    int gapFrom = count / 3, gapTo = gapFrom + std::max(1, 1440 / step);
    for (int q = 0; q < QUANTITY_COUNT; ++q) {
        s.buckets[q].resize(count);
        for (int i = 0; i < count; ++i) {
            if (i >= gapFrom && i < gapTo) continue;
            HistoryBucket& b = s.buckets[q][i];
            int64_t minute = s.firstMinute + static_cast<int64_t>(i) * step;
            for (int m = 0; m < step; ++m) {
                double day = std::sin(static_cast<double>(minute + m) * 2 * M_PI / 1440);
                float v = static_cast<float>(
                    std::round(((q + 1) * 20 + 4 * day + (q + 1) * noise(random)) * 10) / 10);
                b.min = b.count ? std::min(b.min, v) : v;
                b.max = b.count ? std::max(b.max, v) : v;
                b.sum += v;
                ++b.count;
            }
        }
    }
    return s;
}

struct Result {
    double drawMs, gzipMs, drawCpuMs, gzipCpuMs;
    size_t bytes, gzipBytes;
};

// Wall and thread CPU time.
struct Stopwatch {
    Stopwatch() : wall(Clock::now()), cpu(cpuMs()) {}
    static double cpuMs() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    }
    double wallMs() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - wall).count();
    }
    double cpuSpentMs() const { return cpuMs() - cpu; }
    Clock::time_point wall;
    double cpu;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// handler timed alone and through HttpServer::respond for a client that takes gzip.
Result measure(const HttpServer::Handler& handler, int runs) {
    std::vector<double> draw, packed, drawCpu, packedCpu;
    size_t bytes = 0, gzipBytes = 0;
    sockaddr_storage peer = {};
    HttpRequest request;
    for (int i = 0; i < runs; ++i) {
        Stopwatch drawing;
        bytes = handler(request).body.size();
        draw.push_back(drawing.wallMs());
        drawCpu.push_back(drawing.cpuSpentMs());
        Stopwatch packing;
        gzipBytes =
            HttpServer::respond("GET / HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", peer, handler)
                .size();
        packed.push_back(packing.wallMs());
        packedCpu.push_back(packing.cpuSpentMs());
    }
    return {median(draw), median(packed), median(drawCpu), median(packedCpu), bytes, gzipBytes};
}
void report(const std::string& name, const Result& r) {
    printf(
        "name=%s draw_ms=%.2f gzip_ms=%.2f draw_cpu_ms=%.2f gzip_cpu_ms=%.2f bytes=%zu "
        "gzip_bytes=%zu\n",
        name.c_str(), r.drawMs, r.gzipMs, r.drawCpuMs, r.gzipCpuMs, r.bytes, r.gzipBytes);
    fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    int runs = 21;
    std::string writeTo;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) runs = std::max(1, atoi(argv[i + 1]));
        if (strcmp(argv[i], "--write") == 0) writeTo = argv[i + 1];
    }
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const int64_t wallNow = time(nullptr), nowMinute = History::utcMinuteOf(wallNow);
    std::vector<SensorSnapshot> devices(DEVICES);
    for (int i = 0; i < DEVICES; ++i) {
        devices[i].names = {"room" + std::to_string(i)};
        devices[i].device = "/dev/ttyUSB" + std::to_string(i);
    }
    for (HistoryRange range :
         {HistoryRange::DAY, HistoryRange::WEEK, HistoryRange::MONTH, HistoryRange::YEAR}) {
        std::vector<HistorySeries> all;
        for (int i = 0; i < DEVICES; ++i) all.push_back(madeUp(range, nowMinute, i + 1));
        auto page = [&](const HttpRequest&) {
            size_t next = 0;
            auto seriesOf = [&](const SensorSnapshot&) { return all[next++]; };
            return HttpResponse{
                200, "text/html", renderStatusPage(devices, seriesOf, range, wallNow, "bench"), {}};
        };
        report(std::string("page_") + historyRangeName(range) + "_16", measure(page, runs));
        if (!writeTo.empty()) {
            std::string path = writeTo + "/" + historyRangeName(range) + ".html";
            FILE* file = fopen(path.c_str(), "w");
            if (file == nullptr) return 1;
            std::string body = page(HttpRequest()).body;
            fwrite(body.data(), 1, body.size(), file);
            fclose(file);
        }
        if (range != HistoryRange::YEAR) continue;
        auto json = [&](const HttpRequest&) {
            return HttpResponse{200,
                                "application/json",
                                historyJson("room0", devices[0], all[0], range, wallNow),
                                {}};
        };
        report("json_year", measure(json, runs));
        auto csv = [&](const HttpRequest&) {
            return HttpResponse{200, "text/csv", historyCsv(all[0]), {}};
        };
        report("csv_year", measure(csv, runs));
    }
    return 0;
}
