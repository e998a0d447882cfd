// A sensor's reader thread, the device line protocol and the reading snapshot.
#include "sensor.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "linebuffer.h"
#include "logging.h"
#include "net.h"
#include "sensormanager.h"
#include "serial.h"
#include "sighandler.h"
#include "threads.h"
#include "tool.h"

namespace {
const size_t READ_CHUNK_BYTES = 1024;
const size_t READER_STACK_BYTES = 256 * 1024;
const char VALUE_CHARS[] = "0123456789.";

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
    : deviceName(std::move(deviceName)), manager(manager), pause(pauseUnlessShutdown) {
    MutexLock lock(mutex);
    for (const Quantity& q : QUANTITIES) readContent[q.key] = "";
}

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
    // Last touch of the sensor: after this the registry may delete it.
    sensor->manager->readerStopped();
    return nullptr;
}

void Sensor::startSensing() {
    logEvent(LOG_STAT, "start sensing on '" + deviceName + "'");
    Serial serial(deviceName);
    int fd = serial.getFd();
    if (fd < 0) return;

    LineBuffer pending(MAX_PENDING_LINE_BYTES, false);
    std::string line;
    deviceOpen.store(true, std::memory_order_relaxed);
    manager->deviceChanged();
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
    manager->deviceChanged();
    int64_t now = clockNow();
    for (const StoreListener& listener : storeListeners) listener(*this, now);
}

void Sensor::process(const std::string& line) {
    logEvent(LOG_DEBUG, "sensed '" + line + "' on '" + deviceName + "'");
    int64_t now = clockNow();
    size_t ignored = storeLine(line, now);
    lines.fetch_add(1, std::memory_order_relaxed);
    ignoredFields.fetch_add(ignored, std::memory_order_relaxed);
    for (const StoreListener& listener : storeListeners) listener(*this, now);
}

std::vector<std::pair<std::string, std::string>> Sensor::parseLine(const std::string& line,
                                                                   size_t* ignored) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> tokens;
    stringTokenize(line, tokens, " ");
    std::vector<std::string> values;
    for (const std::string& token : tokens) {
        values.clear();
        stringTokenize(token, values, "=");
        if (values.size() != 2) continue;
        std::string& raw = values[1];
        // Frost and dew points below zero are ordinary readings: a leading minus
        // sign stays when digits or full stops follow it.
        size_t sign = raw.size() > 1 && raw[0] == '-' ? 1 : 0;
        size_t end = std::min(raw.size(), raw.find_first_not_of(VALUE_CHARS, sign));
        raw.resize(end > sign ? end : 0);
        pairs.emplace_back(std::move(values[0]), std::move(raw));
    }
    if (ignored) *ignored = tokens.size() - pairs.size();
    return pairs;
}

size_t Sensor::storeLine(const std::string& line, int64_t now) {
    size_t ignored = 0;
    auto pairs = parseLine(line, &ignored);
    if (pairs.empty()) return ignored;
    MutexLock lock(mutex);
    for (auto& pair : pairs) {
        // With a calibration the device's own values of the quantities are
        // kept apart; the served ones are made from them below.
        const Quantity* quantity = calibration.active() ? quantityByKey(pair.first) : nullptr;
        auto it = readContent.find(pair.first);
        if (quantity != nullptr) {
            rawContent[quantity->type - 1] = std::move(pair.second);
        } else if (it != readContent.end()) {
            it->second = std::move(pair.second);
        } else if (readContent.size() < QUANTITY_COUNT + MAX_EXTRA_KEYS) {
            // Line noise must not grow the table without end.
            readContent.emplace(std::move(pair.first), std::move(pair.second));
        } else {
            ++ignored;
        }
    }
    if (calibration.active()) {
        std::string served[QUANTITY_COUNT];
        calibration.apply(rawContent, served);
        for (const Quantity& q : QUANTITIES) readContent[q.key] = std::move(served[q.type - 1]);
    }
    readTime = now;
    hasData = true;
    return ignored;
}

Reading Sensor::getReadingAt(ReadType readType, int64_t now) {
    const Quantity* quantity = quantityOf(readType);
    MutexLock lock(mutex);
    int64_t age = hasData ? now - readTime : -1;
    if (quantity == nullptr) return makeReading("", -1);
    Reading reading = makeReading(readContent[quantity->key], age);
    if (reading.fresh && calibration.changes(quantity->type)) {
        reading.corrected = true;
        reading.raw = rawContent[quantity->type - 1];
    }
    return reading;
}
