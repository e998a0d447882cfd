// The alerts put together; see alertservice.h.
#include "alertservice.h"

#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>

#include "alertstate.h"
#include "alertview.h"
#include "logging.h"
#include "threads.h"

// Shared with the ticker thread, which may outlive a stop that gave up on it.
struct AlertService::Ticker {
    std::shared_ptr<AlertEngine> engine;
    std::string path;  // the state file; empty: none
    uint64_t savedGeneration = 0;
    bool failing = false;

    Mutex mutex;
    std::condition_variable_any wake;
    bool stopping GUARDED_BY(mutex) = false;
    bool done GUARDED_BY(mutex) = false;

    // Writes the state file when an event came since the last write.
    void save(bool final) {
        uint64_t generation = engine->generation();
        if (path.empty() || (generation == savedGeneration && !final)) return;
        std::string error;
        if (saveAlertState(path, engine->active(), &error)) {
            savedGeneration = generation;
            if (failing) logEvent(LOG_STAT, "alert state file '" + path + "' written again");
            failing = false;
        } else if (!failing) {
            failing = true;
            logEvent(LOG_CRITICAL, "cannot write alert state file: " + error);
        }
    }
};

AlertService::AlertService(const AlertConfig& config, const std::vector<AlertDevice>& devices,
                           std::string stateDir)
    : engine(std::make_shared<AlertEngine>(config, devices, now())),
      ticker(std::make_shared<Ticker>()) {
    if (!config.notify.empty()) notifier = std::make_unique<Notifier>(config.notify);
    ticker->engine = engine;
    if (!stateDir.empty()) ticker->path = stateDir + "/" + ALERT_STATE_FILE;
    Notifier* n = notifier.get();
    engine->addListener([n](const AlertEvent& e) {
        logEvent(LOG_CRITICAL,
                 std::string("alert ") + (e.raised ? "raised: " : "cleared: ") + e.message);
        if (n != nullptr) n->notify(e);
    });
}

AlertService::~AlertService() {
    stop();
}

AlertTime AlertService::now() {
    struct timespec mono;
    clock_gettime(CLOCK_BOOTTIME, &mono);
    return {mono.tv_sec, static_cast<int64_t>(time(nullptr))};
}

bool AlertService::start() {
    if (!ticker->path.empty()) {
        std::vector<SavedAlert> saved;
        std::string problem;
        if (!loadAlertState(ticker->path, &saved, &problem)) {
            // A damaged file is kept aside for a look before the next write replaces it.
            struct stat st;
            std::string aside = ticker->path + ".corrupt";
            if (lstat(ticker->path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                rename(ticker->path.c_str(), aside.c_str()) == 0)
                problem += ", kept as '" + aside + "'";
            logEvent(LOG_CRITICAL, "alert states not restored, starting clean: " + problem);
        } else if (!saved.empty()) {
            size_t matched = engine->restore(saved);
            logEvent(LOG_STAT,
                     "restored " + std::to_string(matched) + " active alerts" +
                         (matched < saved.size() ? ", " + std::to_string(saved.size() - matched) +
                                                       " saved ones are no longer configured"
                                                 : std::string()));
        }
    }
    std::string error;
    std::shared_ptr<Ticker> t = ticker;
    if (startThread(
            &thread, [t] { tickLoop(t); }, &error))
        return true;
    logEvent(LOG_CRITICAL, "cannot start the alert ticker: " + error);
    return false;
}

bool AlertService::startNotifier() {
    return notifier == nullptr || notifier->start();
}

void AlertService::tickLoop(std::shared_ptr<Ticker> t) {
    for (;;) {
        {
            MutexLock lock(t->mutex);
            lock.waitFor(t->wake, std::chrono::milliseconds(TICK_MS),
                         [&]() REQUIRES(t->mutex) { return t->stopping; });
            if (t->stopping) break;
        }
        t->engine->tick(now());
        t->save(false);
    }
    t->save(true);
    MutexLock lock(t->mutex);
    t->done = true;
    t->wake.notify_all();
}

void AlertService::stop() {
    if (notifier) notifier->stop();
    if (!thread.joinable()) return;
    bool done;
    {
        MutexLock lock(ticker->mutex);
        ticker->stopping = true;
        ticker->wake.notify_all();
        done = lock.waitFor(ticker->wake, std::chrono::milliseconds(STOP_WAIT_MS),
                            [&]() REQUIRES(ticker->mutex) { return ticker->done; });
    }
    if (done) {
        thread.join();
    } else {
        logEvent(LOG_CRITICAL, "alert state file not written within " +
                                   std::to_string(STOP_WAIT_MS) + " ms, stopping without it");
        thread.detach();
    }
}

void AlertService::onReading(const std::string& device,
                             const AlertInput (&values)[QUANTITY_COUNT]) {
    engine->onReading(device, values, now());
}

std::string AlertService::json() const {
    return alertsJson(engine->report(), now().wall);
}

std::string AlertService::families() const {
    NotifyCounts counts;
    if (notifier) counts = notifier->counts();
    return alertFamilies(engine->report(), notifier ? &counts : nullptr);
}
