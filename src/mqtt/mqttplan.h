// What the MQTT publisher sends and when: the state of every sensor name held
// against what the broker was last told, and the messages that wait for the
// broker to take them. Pure: the caller brings the time and the readings; one
// thread uses an instance.
#pragma once
#include <cstdint>
#include <limits>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "protocol.h"
#include "sample.h"

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

class PublishPlan {
  public:
    // Changed values of one name go out at most this often.
    static constexpr int64_t CHANGE_GAP_MS = 1000;
    static constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();

    // names: the sensor names, in the order of the snapshots given to update.
    PublishPlan(std::string prefix, std::vector<std::string> names, int intervalS,
                bool retainValues);

    // Forgets what the broker was told: the next update sends everything.
    void reset();
    // The messages due at nowMs for snapshots (one per name: its sensor's).
    // Times are milliseconds of the clock of Sensor::clockNow(), whose second
    // nowMs / 1000 the snapshots were taken at. Lowers *nextMs to the time at which something
    // falls due without a new device line: a value held back by CHANGE_GAP_MS,
    // the repeat of an unchanged value, or the moment the data of an available
    // name turns stale.
    std::vector<MqttMessage> update(const std::vector<SensorSnapshot>& snapshots, int64_t nowMs,
                                    int64_t* nextMs);
    // The retained "offline" of every name, for an orderly stop.
    std::vector<MqttMessage> offline() const;

  private:
    struct Sent {
        bool sent = false;
        std::string text;
        int64_t sentMs = 0;
    };
    struct Name {
        std::string availableTopic;
        std::string valueTopics[QUANTITY_COUNT];
        int available = -1;  // last sent: 1 online, 0 offline, -1 nothing
        int64_t changeMs = 0;
        bool changeSent = false;  // changeMs is set
        Sent values[QUANTITY_COUNT];
    };

    std::vector<Name> names;
    const int64_t intervalMs;
    const bool retainValues;
};

// Messages due but not yet handed to the broker connection: at most one per
// topic, the newest, in the order in which their topics fell due. Holds no
// more messages than there are topics.
class Outbox {
  public:
    // Adds message; returns true when it replaced a waiting message of its
    // topic, which is then dropped.
    bool put(MqttMessage message);
    bool empty() const { return order.empty(); }
    // Removes and returns the longest waiting message; the outbox must not be empty.
    MqttMessage take();
    void clear();

  private:
    std::list<MqttMessage> order;
    std::unordered_map<std::string, std::list<MqttMessage>::iterator> byTopic;
};
