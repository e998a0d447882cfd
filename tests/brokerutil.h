// Helpers for the MQTT tests: a mosquitto broker of their own on 127.0.0.1,
// and subscribers (mosquitto_sub -v) that collect what the broker sends.
#pragma once
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "testutil.h"

// Empty when the broker and its clients are installed, else why the MQTT
// system tests are skipped.
std::string mosquittoMissing();
#define SKIP_WITHOUT_MOSQUITTO()                                         \
    do {                                                                 \
        std::string missing = mosquittoMissing();                        \
        if (!missing.empty()) GTEST_SKIP() << "MQTT tests: " << missing; \
    } while (0)

// A device line with all three quantities.
const char LINE[] = "temperature=21.5 humidity=48.0 dewpoint=10.1\n";

// A mosquitto broker on 127.0.0.1 with its own configuration file in dir; the
// first listener is on port(). Killed on destruction.
class Broker {
  public:
    // extra: further configuration lines (more listeners, TLS, passwords).
    // Starts the broker unless startNow is false; the test fails when it does
    // not listen.
    Broker(const TempDir& dir, const std::string& extra = "", bool startNow = true);
    ~Broker();
    int port() const { return listenPort; }
    // Starts it (again) on the same ports; waits until it listens.
    bool start();
    // Ends it with sig and waits for the exit.
    void stop(int sig = SIGTERM);
    // Sends sig to the running broker (SIGSTOP, SIGCONT).
    void signal(int sig) {
        if (running) process->signal(sig);
    }
    std::string output() const { return process ? process->output() : ""; }
    int count(const std::string& text) const { return process ? process->count(text) : 0; }

  private:
    const TempDir& dir;
    int listenPort;
    std::string configPath;
    std::unique_ptr<Process> process;
    bool running = false;
};

// mosquitto_sub -v on topic, collecting "topic payload" lines; extra
// arguments (port, TLS options) follow the defaults. Subscribed when the
// constructor returns (the test fails otherwise).
class Subscriber {
  public:
    Subscriber(const TempDir& dir, int port, const std::string& topic = "#",
               const std::vector<std::string>& extra = {});
    // The received lines, the client's debug output left out.
    std::vector<std::string> lines() const;
    // Waits until the line "topic payload" has arrived (count times).
    bool waitFor(const std::string& topic, const std::string& payload, int count = 1,
                 std::chrono::milliseconds timeout = 10s);
    // Waits until a message on topic has arrived; its payload, or "<none>".
    std::string waitForTopic(const std::string& topic, std::chrono::milliseconds timeout = 10s);
    // Messages on topic so far.
    int count(const std::string& topic) const;
    // Payload of the last message on topic, or "<none>".
    std::string last(const std::string& topic) const;

  private:
    std::unique_ptr<Process> process;
};

// The log line of the daemon once it is connected to broker.
inline std::string connectedLine(const Broker& broker) {
    return "connected to MQTT broker 127.0.0.1:" + std::to_string(broker.port());
}

// The daemon's section [mqtt] for a broker on 127.0.0.1:port, with prefix as
// its topic prefix and client id, followed by extra lines.
std::string mqttSection(int port, const std::string& prefix, const std::string& extra = "");

// Publishes one message with mosquitto_pub; returns its exit code.
int publishMessage(const TempDir& dir, int port, const std::string& topic,
                   const std::string& payload);
