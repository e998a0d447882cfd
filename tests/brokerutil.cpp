// A broker and subscribers for the MQTT tests.
#include "brokerutil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

namespace {
const char BROKER[] = "/usr/sbin/mosquitto";
const char SUBSCRIBE[] = "/usr/bin/mosquitto_sub";
const char PUBLISH[] = "/usr/bin/mosquitto_pub";

bool isDebugLine(const std::string& line) {
    return line.rfind("Client ", 0) == 0 || line.rfind("Subscribed (mid:", 0) == 0;
}
}  // namespace

std::string mosquittoMissing() {
    for (const char* program : {BROKER, SUBSCRIBE, PUBLISH})
        if (access(program, X_OK) != 0)
            return std::string(program) +
                   " is not installed (apt-get install mosquitto mosquitto-clients)";
    return "";
}

Broker::Broker(const TempDir& dir, const std::string& extra, bool startNow)
    : dir(dir), listenPort(freePort()) {
    configPath = dir.file("broker-" + std::to_string(listenPort) + ".conf");
    std::string config = "listener " + std::to_string(listenPort) +
                         " 127.0.0.1\n"
                         "persistence false\n"
                         "log_dest stderr\n"
                         "log_type all\n";
    if (extra.find("allow_anonymous") == std::string::npos) config += "allow_anonymous true\n";
    // As root the broker would switch to the user mosquitto, who cannot read
    // the test's directory.
    if (geteuid() == 0) config += "user root\n";
    dir.write(configPath.substr(dir.path.size() + 1), config + extra);
    if (startNow) {
        EXPECT_TRUE(start()) << output();
    }
}

Broker::~Broker() {
    stop(SIGKILL);
}

bool Broker::start() {
    process =
        std::make_unique<Process>(std::vector<std::string>{BROKER, "-c", configPath}, dir.path);
    running = true;
    return process->waitFor(" running", 10s);
}

void Broker::stop(int sig) {
    if (!running) return;
    running = false;
    process->signal(sig);
    process->wait(10s);
}

std::string mqttSection(int port, const std::string& prefix, const std::string& extra) {
    std::string id = prefix;
    for (char& c : id)
        if (c == '/') c = '-';
    return "[mqtt]\nhost = 127.0.0.1\nport = " + std::to_string(port) + "\nclientid = " + id +
           "\ntopic = " + prefix + "\n" + extra;
}

Subscriber::Subscriber(const TempDir& dir, int port, const std::string& topic,
                       const std::vector<std::string>& extra) {
    // Line-buffered: the debug lines say when the subscription stands.
    std::vector<std::string> argv = {
        "/usr/bin/stdbuf",    "-oL", SUBSCRIBE, "-d", "-v", "-h", "127.0.0.1", "-p",
        std::to_string(port), "-t",  topic};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<Process>(argv, dir.path);
    EXPECT_TRUE(process->waitFor("Subscribed (mid:", 10s)) << process->output();
}

std::vector<std::string> Subscriber::lines() const {
    std::vector<std::string> result;
    std::istringstream in(process->output());
    std::string line;
    while (std::getline(in, line))
        if (!isDebugLine(line)) result.push_back(line);
    return result;
}

bool Subscriber::waitFor(const std::string& topic, const std::string& payload, int count,
                         std::chrono::milliseconds timeout) {
    std::string wanted = topic + " " + payload;
    return eventually(
        [&] {
            int n = 0;
            for (const std::string& line : lines()) n += line == wanted;
            return n >= count;
        },
        timeout);
}

std::string Subscriber::waitForTopic(const std::string& topic, std::chrono::milliseconds timeout) {
    eventually([&] { return count(topic) > 0; }, timeout);
    return last(topic);
}

int Subscriber::count(const std::string& topic) const {
    int n = 0;
    for (const std::string& line : lines()) n += line.rfind(topic + " ", 0) == 0;
    return n;
}

std::string Subscriber::last(const std::string& topic) const {
    std::string payload = "<none>";
    for (const std::string& line : lines())
        if (line.rfind(topic + " ", 0) == 0) payload = line.substr(topic.size() + 1);
    return payload;
}

int publishMessage(const TempDir& dir, int port, const std::string& topic,
                   const std::string& payload) {
    std::string out;
    return runProgram(
        {PUBLISH, "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", payload},
        dir.path, &out);
}
