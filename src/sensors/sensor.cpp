// A sensor's reader thread, storing and correcting device lines, the reply
// to a query and the snapshot.
#include "sensor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "linebuffer.h"
#include "logging.h"
#include "net.h"
#include "serial.h"
#include "sighandler.h"
#include "threads.h"
#include "tool.h"

namespace {
const size_t READ_CHUNK_BYTES = 1024;
const size_t READER_STACK_BYTES = 256 * 1024;

// Waits ms on a clock that does not step, unless shutdown comes first.
bool pauseUnlessShutdown(int ms) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000 + now.tv_nsec / 1000000 + ms;
    while (!shouldShutdown.load()) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left = deadline - (now.tv_sec * 1000 + now.tv_nsec / 1000000);
        if (left <= 0) return true;
        waitForShutdown(static_cast<int>(left));
    }
    return false;
}
}  // namespace

Sensor::Sensor(SensorManager* manager, std::string deviceName)
    : deviceName(std::move(deviceName)), manager(manager), pause(pauseUnlessShutdown) {}

int64_t Sensor::clockNow() {
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

bool Sensor::createThread() {
    if (spawnDetached(sensorThread, this, READER_STACK_BYTES)) return true;
    logEvent(LOG_CRITICAL, "failed to spawn sensor thread");
    return false;
}

void* sensorThread(void* s) {
    Sensor* sensor = static_cast<Sensor*>(s);
    while (true) {
        sensor->startSensing();
        if (shouldShutdown.load()) break;
        logEvent(LOG_STAT, "lost sensor connection on '" + sensor->getDeviceName() + "'");
        sensor->reconnects.fetch_add(1, std::memory_order_relaxed);
        if (!sensor->pause(Sensor::RECONNECT_PAUSE_MS)) break;
    }
    // Last touch of the sensor: once told, its owner may delete it, so the
    // listener is called from a copy.
    Sensor::ReaderListener listener = sensor->readerListener;
    if (listener) listener(Sensor::ReaderEvent::STOPPED);
    return nullptr;
}

void Sensor::startSensing() {
    logEvent(LOG_STAT, "start sensing on '" + deviceName + "'");
    Serial serial(deviceName);
    serial.reportOpen(&lastOpenError);
    int fd = serial.getFd();
    if (fd < 0) return;

    LineBuffer pending(MAX_PENDING_LINE_BYTES, false);
    std::string line;
    deviceOpen.store(true, std::memory_order_relaxed);
    tell(ReaderEvent::OPENED);
    char recBuff[READ_CHUNK_BYTES];
    while (!shouldShutdown.load()) {
        int ready = waitReadable(fd, shutdownWaitMs(), shutdownEventFd());
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue;
        ssize_t n = read(fd, recBuff, sizeof(recBuff));
        if (n <= 0) break;
        pending.append(recBuff, static_cast<size_t>(n));
        while (pending.next(line)) process(line);
    }
    deviceOpen.store(false, std::memory_order_relaxed);
    tell(ReaderEvent::CLOSED);
    tellLine(nullptr, clockNow());
}

void Sensor::tellLine(const bool* carried, int64_t now) {
    if (lineListeners.empty()) return;
    SensorSnapshot s = snapshot(now);
    if (carried) std::copy(carried, carried + QUANTITY_COUNT, s.carried);
    for (const LineListener& listener : lineListeners) listener(s, now);
}

void Sensor::process(const std::string& line) {
    logEvent(LOG_DEBUG, "sensed '" + line + "' on '" + deviceName + "'");
    int64_t now = clockNow();
    Sample sample = parseSample(line);
    logRefused(sample, Refusal::RANGE);  // the device's own values, before a correction
    size_t ignored = store(sample, now);
    logRefused(sample, Refusal::CALIBRATION);
    lines.fetch_add(1, std::memory_order_relaxed);
    ignoredFields.fetch_add(ignored, std::memory_order_relaxed);
    tellLine(sample.has, now);
}

void Sensor::countRefused(const Sample& sample, Refusal reason) {
    for (int q = 0; q < QUANTITY_COUNT; ++q)
        if (sample.has[q] && sample.values[q].refused == reason)
            refused[static_cast<int>(reason)].fetch_add(1, std::memory_order_relaxed);
}

void Sensor::logRefused(const Sample& sample, Refusal reason) {
    bool& logged = refusalLogged[static_cast<int>(reason)];
    for (int q = 0; q < QUANTITY_COUNT && !logged; ++q) {
        const Measurement& m = sample.values[q];
        if (!sample.has[q] || m.refused != reason) continue;
        logged = true;
        const std::string key = QUANTITIES[q].key;
        if (reason == Refusal::RANGE) {
            const size_t SHOWN = 24;
            std::string text = m.text.size() > SHOWN ? m.text.substr(0, SHOWN) + "..." : m.text;
            logEvent(LOG_CRITICAL, "'" + deviceName + "' sent " + key + " '" + text +
                                       "', beyond ±3.4e38: such values are replied as sent and "
                                       "served as no number elsewhere");
        } else {
            char corrected[32] = "nan";  // whatever its sign bit
            if (!std::isnan(m.number)) snprintf(corrected, sizeof(corrected), "%g", m.number);
            logEvent(LOG_CRITICAL, "the calibration of '" + deviceName + "' makes " + key + " " +
                                       corrected +
                                       ", beyond ±3.4e38: such values are served as no number");
        }
    }
}

size_t Sensor::store(Sample& sample, int64_t now) {
    size_t ignored = sample.notPairs;
    bool any = false;
    for (bool has : sample.has) any = any || has;
    if (!any && sample.otherKeys.empty()) return ignored;
    MutexLock lock(mutex);
    countRefused(sample, Refusal::RANGE);  // the device's own values, before a correction
    if (any && calibration.active()) correct(sample);
    countRefused(sample, Refusal::CALIBRATION);
    for (int q = 0; q < QUANTITY_COUNT; ++q)
        if (sample.has[q]) values[q] = sample.values[q];
    for (const std::string& key : sample.otherKeys) {
        // Line noise must not grow the table without end.
        if (otherKeys.count(key) == 0 && otherKeys.size() >= MAX_EXTRA_KEYS)
            ++ignored;
        else
            otherKeys.insert(key);
    }
    readTime = now;
    hasData = true;
    return ignored;
}

void Sensor::correct(Sample& sample) {
    for (int q = 0; q < QUANTITY_COUNT; ++q)
        if (sample.has[q]) rawValues[q] = sample.values[q];
    Measurement served[QUANTITY_COUNT];
    calibration.apply(rawValues, served);
    // The dew point follows either of its pair, so a line with one of the
    // three changes it.
    sample.has[DEWPOINT - 1] = true;
    for (int q = 0; q < QUANTITY_COUNT; ++q)
        if (sample.has[q]) sample.values[q] = std::move(served[q]);
}

std::string Sensor::getReadingAt(ReadType readType, int64_t now) {
    const Quantity* quantity = quantityOf(readType);
    if (quantity == nullptr) return formatReply(false, "");
    MutexLock lock(mutex);
    return formatReply(isFresh(ageAt(now)), values[quantity->type - 1].text);
}

SensorSnapshot Sensor::snapshot(int64_t now) {
    SensorSnapshot s;
    s.sensor = this;
    s.device = deviceName;
    MutexLock lock(mutex);
    s.open = deviceOpen.load(std::memory_order_relaxed);
    s.reconnects = reconnects.load(std::memory_order_relaxed);
    s.lines = lines.load(std::memory_order_relaxed);
    s.ignoredFields = ignoredFields.load(std::memory_order_relaxed);
    for (int r = 0; r < REFUSAL_COUNT; ++r)
        s.refused[r] = refused[r].load(std::memory_order_relaxed);
    s.ageS = ageAt(now);
    s.fresh = isFresh(s.ageS);
    for (int q = 0; q < QUANTITY_COUNT; ++q) {
        s.values[q] = values[q];
        s.corrected[q] = calibration.changes(static_cast<ReadType>(q + 1));
        if (s.corrected[q]) s.raw[q] = rawValues[q];
    }
    return s;
}
