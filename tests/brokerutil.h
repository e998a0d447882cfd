// Helpers for the MQTT tests: a mosquitto broker on 127.0.0.1, subscribers
// (mosquitto_sub -v), a rig of broker, subscriber, device and daemon, and a
// stand-in broker that misbehaves on purpose.
#pragma once
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

// Empty when mosquitto and its clients are installed, else why not.
std::string mosquittoMissing();
#define SKIP_WITHOUT_MOSQUITTO() \
    if (std::string why = mosquittoMissing(); !why.empty()) GTEST_SKIP() << why

const char LINE[] = "temperature=21.5 humidity=48.0 dewpoint=10.1\n";

// A broker whose first listener is on port; extra: further configuration.
struct Broker {
    Broker(const TempDir& dir, const std::string& extra = "", bool startNow = true);
    ~Broker() { stop(SIGKILL); }
    bool start();  // (again) on the same ports, once it listens
    void stop(int sig = SIGTERM);
    int count(const std::string& text) const { return process ? process->count(text) : 0; }
    const TempDir& dir;
    int port;
    std::string configPath;
    std::unique_ptr<Process> process;
};

// mosquitto_sub -v on topic, subscribed once constructed; extra: more options.
struct Subscriber {
    Subscriber(const TempDir& dir, int port, const std::string& topic = "#",
               const std::vector<std::string>& extra = {});
    std::vector<std::string> lines() const;  // "topic payload", debug lines left out
    bool waitFor(const std::string& topic, const std::string& payload, int times = 1,
                 std::chrono::milliseconds timeout = 10s);
    std::string waitForTopic(const std::string& topic);  // its last payload, or "<none>"
    int count(const std::string& topic) const;
    std::string last(const std::string& topic) const;
    std::unique_ptr<Process> process;
};

// A section [mqtt] for 127.0.0.1:port with prefix as topic and client id.
std::string mqttSection(int port, const std::string& prefix, const std::string& extra = "");
// The body of GET /metrics on the web port, and the value of one sample in it
// (-1 when absent).
std::string scrape(int metricsPort);
long metricValue(const std::string& metrics, const std::string& name);

// A broker, a subscriber to everything (once the broker runs), a pty behind
// the symlink link, and the daemon reading it with prefix "t".
struct Rig {
    explicit Rig(const std::string& brokerExtra = "", bool brokerUp = true);
    void startDaemon(const std::string& names = "cellar", const std::string& mqttExtra = "",
                     int mqttPort = 0);
    void replug();  // a new pty behind link
    std::string connected() const {
        return "connected to MQTT broker 127.0.0.1:" + std::to_string(broker.port);
    }
    TempDir dir;
    Broker broker;
    std::unique_ptr<Subscriber> sub;
    std::unique_ptr<Pty> pty;
    std::string link;
    int port = freePort(), metricsPort = freePort();
    std::unique_ptr<Process> daemon;
};

// A broker on 127.0.0.1 that speaks just enough MQTT 3.1.1 to misbehave: it
// answers PINGREQ, records each PUBLISH and never acknowledges one, and does
// what mode says with a CONNECT. Its thread serves one connection at a time.
class FakeBroker {
  public:
    enum Mode { CLOSE, CONNACK_THEN_CLOSE, SWALLOW };
    explicit FakeBroker(Mode mode);
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    std::vector<std::chrono::steady_clock::time_point> connects() const;
    std::vector<std::string> publishes() const;  // "topic payload", in order
    int port = 0;

  private:
    void serve();
    // Answers the packets at the start of *in; false when the connection ends.
    bool answer(int fd, std::string* in);

    const Mode mode;
    UniqueFd listener, stopFd;
    mutable std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> connectTimes;
    std::vector<std::string> published;
    std::thread thread;
};
