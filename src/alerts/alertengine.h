// The state of every alert rule and stale alert, judged from the valid
// readings of the devices and the passing of time, and the events that their
// changes make. Guarded by one mutex: reader threads feed readings, one
// thread ticks, any thread takes a report. Listeners run under that mutex
// and must only queue (a log line, a notification); they must not call back.
//
// A rule "above L for D clear C": pending at the first valid reading above L,
// raised at a valid reading once every valid reading for D was above L (at
// once when D is 0), back to normal from pending at a reading at or below L,
// cleared from raised at a reading at or below C. "below" mirrors it. No
// reading keeps the state. A device with no valid reading for the stale
// duration (from the start on, unplugged or not) raises "stale"; its next
// valid reading clears it.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alertconfig.h"
#include "mutex.h"
#include "protocol.h"

// A moment on both clocks, in seconds: mono never steps (durations), wall is
// Unix time (what events report).
struct AlertTime {
    int64_t mono = 0;
    int64_t wall = 0;
};

// "2024-05-01T10:00:00Z".
std::string isoTime(int64_t wall);

// A device and the names it is served under (the first names its stale alert).
struct AlertDevice {
    std::string device;
    std::vector<std::string> names;
};

// One quantity of one device line: valid when it carried a number.
struct AlertInput {
    bool valid = false;
    double number = 0;
    std::string text;  // as served
};

struct AlertEvent {
    size_t index = 0;      // the alert's place in AlertReport::alerts
    bool raised = false;   // false: cleared
    std::string alert;     // the rule's text, or "stale"
    std::string name;      // sensor name (stale: the device's first name)
    std::string quantity;  // "humidity"; empty for stale
    std::string value;     // as served; empty for stale
    std::string limit;     // raised: the limit; cleared: the clear level; stale: its duration
    int64_t since = 0;     // wall time the condition began
    int64_t at = 0;        // wall time of the event
    std::string message;   // one sentence for people
};

// One rule or stale alert now.
struct AlertStatus {
    std::string name, quantity, alert, limit;
    std::string device;  // the path of the device judged
    bool active = false;
    int64_t since = 0;  // when active
    std::string value;  // the latest value judged; empty before one (and for stale)
};

// What the views show: every alert (rules in file order, then the stale
// alerts in device order) and the last events, newest first.
struct AlertReport {
    std::vector<AlertStatus> alerts;
    std::vector<AlertEvent> events;
};

// An active alert as kept over a restart.
struct SavedAlert {
    std::string name, quantity, alert;
    int64_t since = 0;
};

class AlertEngine {
  public:
    static constexpr size_t MAX_EVENTS = 100;
    using Listener = std::function<void(const AlertEvent& event)>;

    // The rules of config for devices (a name given to several devices is
    // the last one's, as the registry has it); the stale clocks start at start.
    AlertEngine(const AlertConfig& config, const std::vector<AlertDevice>& devices,
                AlertTime start);
    AlertEngine(const AlertEngine&) = delete;
    AlertEngine& operator=(const AlertEngine&) = delete;

    // Adds a listener of every event; before any reading.
    void addListener(Listener listener) { listeners.push_back(std::move(listener)); }

    // One line of device: the valid quantities of values (selector order).
    void onReading(const std::string& device, const AlertInput (&values)[QUANTITY_COUNT],
                   AlertTime now) EXCLUDES(mutex);
    // Raises the stale alerts due at now.
    void tick(AlertTime now) EXCLUDES(mutex);

    AlertReport report() const EXCLUDES(mutex);
    // Changes with every event: a saved state older than this is out of date.
    uint64_t generation() const EXCLUDES(mutex);
    // The active alerts, to keep over a restart.
    std::vector<SavedAlert> active() const EXCLUDES(mutex);
    // Makes the saved alerts that match a configured alert active again,
    // without an event; before any reading. Returns how many matched.
    size_t restore(const std::vector<SavedAlert>& saved) EXCLUDES(mutex);

  private:
    enum class Phase { NORMAL, PENDING, RAISED };
    struct Rule {
        AlertRule rule;
        std::string device;  // the device its name reads; empty when none does
        Phase phase = Phase::NORMAL;
        int64_t sinceMono = 0, sinceWall = 0;
        std::string value;
    };
    struct Device {
        std::string device, name;
        std::vector<size_t> rules;           // indexes into rules
        int64_t lastMono = 0, lastWall = 0;  // the last valid reading, or the start
        bool stale = false;
        int64_t staleSince = 0;
    };

    void judge(Rule& r, const AlertInput& input, AlertTime now) REQUIRES(mutex);
    void emit(AlertEvent event) REQUIRES(mutex);
    AlertEvent ruleEvent(const Rule& r, bool raised, AlertTime now) const REQUIRES(mutex);
    AlertEvent staleEvent(const Device& d, bool raised, AlertTime now) const REQUIRES(mutex);

    const int64_t staleS;
    const std::string staleText;
    std::vector<Listener> listeners;
    std::map<std::string, size_t> deviceIndex;  // device path to devices

    mutable Mutex mutex;
    std::vector<Rule> rules GUARDED_BY(mutex);
    std::vector<Device> devices GUARDED_BY(mutex);
    std::deque<AlertEvent> events GUARDED_BY(mutex);  // oldest first
    uint64_t changes GUARDED_BY(mutex) = 0;
};
