#include "brokerutil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace {
const char BROKER[] = "/usr/sbin/mosquitto";
const char SUBSCRIBE[] = "/usr/bin/mosquitto_sub";
const char PUBLISH[] = "/usr/bin/mosquitto_pub";
}  // namespace

std::string mosquittoMissing() {
    for (const char* program : {BROKER, SUBSCRIBE, PUBLISH})
        if (access(program, X_OK) != 0)
            return std::string(program) + " is not installed (apt-get install mosquitto-clients)";
    return "";
}

Broker::Broker(const TempDir& dir, const std::string& extra, bool startNow)
    : dir(dir), port(freePort()), configPath(dir.file("broker-" + std::to_string(port))) {
    std::string config = "listener " + std::to_string(port) +
                         " 127.0.0.1\npersistence false\nlog_dest stderr\nlog_type all\n";
    if (extra.find("allow_anonymous") == std::string::npos) config += "allow_anonymous true\n";
    if (geteuid() == 0) config += "user root\n";  // else it cannot read the test's directory
    dir.write(configPath.substr(dir.path.size() + 1), config + extra);
    if (startNow && !start()) ADD_FAILURE() << process->output();
}

bool Broker::start() {
    process =
        std::make_unique<Process>(std::vector<std::string>{BROKER, "-c", configPath}, dir.path);
    return process->waitFor(" running", 10s);
}

void Broker::stop(int sig) {
    if (!process || process->wait(0ms) != -1) return;  // never signal a reaped pid
    process->signal(sig);
    process->wait(10s);
}

Subscriber::Subscriber(const TempDir& dir, int port, const std::string& topic,
                       const std::vector<std::string>& extra) {
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
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Client ", 0) != 0 && line.rfind("Subscribed (mid:", 0) != 0)
            result.push_back(line);
    return result;
}

bool Subscriber::waitFor(const std::string& topic, const std::string& payload, int times,
                         std::chrono::milliseconds timeout) {
    auto seen = [&] {
        auto all = lines();
        return std::count(all.begin(), all.end(), topic + " " + payload) >= times;
    };
    return eventually(seen, timeout);
}

std::string Subscriber::waitForTopic(const std::string& topic) {
    eventually([&] { return count(topic) > 0; }, 10s);
    return last(topic);
}

int Subscriber::count(const std::string& topic) const {
    auto all = lines();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& line) { return line.rfind(topic + " ", 0) == 0; });
}

std::string Subscriber::last(const std::string& topic) const {
    std::string payload = "<none>";
    for (const std::string& line : lines())
        if (line.rfind(topic + " ", 0) == 0) payload = line.substr(topic.size() + 1);
    return payload;
}

std::string mqttSection(int port, const std::string& prefix, const std::string& extra) {
    std::string id = prefix;
    std::replace(id.begin(), id.end(), '/', '-');
    return "[mqtt]\nhost = 127.0.0.1\nport = " + std::to_string(port) + "\nclientid = " + id +
           "\ntopic = " + prefix + "\n" + extra;
}

int publishMessage(const TempDir& dir, int port, const std::string& topic,
                   const std::string& payload) {
    std::string out;
    return runProgram(
        {PUBLISH, "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", payload},
        dir.path, &out);
}

Rig::Rig(const std::string& brokerExtra, bool brokerUp)
    : broker(dir, brokerExtra, brokerUp), link(dir.file("ttySENSOR")) {
    if (brokerUp) sub = std::make_unique<Subscriber>(dir, broker.port);
    replug();
}

void Rig::replug() {
    pty = std::make_unique<Pty>();
    unlink(link.c_str());
    EXPECT_EQ(symlink(pty->slavePath.c_str(), link.c_str()), 0);
}

void Rig::startDaemon(const std::string& names, const std::string& mqttExtra, int mqttPort) {
    daemon = ::startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(metricsPort) + "\n[sensors]\n" +
                                  link + " = " + names + "\n" +
                                  mqttSection(mqttPort ? mqttPort : broker.port, "t", mqttExtra)));
}
