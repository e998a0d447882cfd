#include "brokerutil.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
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

std::string scrape(int metricsPort) {
    return httpGet(metricsPort, "/metrics").body;
}

long metricValue(const std::string& metrics, const std::string& name) {
    size_t at = metrics.find("\n" + name + " ");
    return at == std::string::npos ? -1 : atol(metrics.c_str() + at + name.size() + 2);
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

FakeBroker::FakeBroker(Mode mode) : mode(mode), stopFd(eventfd(0, EFD_CLOEXEC)) {
    std::string error;
    listener = openListenSocket("127.0.0.1", 0, 16, &error);
    EXPECT_TRUE(listener.valid()) << error;
    port = portOf(listener);
    thread = std::thread([this] { serve(); });
}

FakeBroker::~FakeBroker() {
    uint64_t one = 1;
    EXPECT_EQ(write(stopFd.get(), &one, sizeof(one)), 8);
    thread.join();
}

std::vector<std::chrono::steady_clock::time_point> FakeBroker::connects() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connectTimes;
}

std::vector<std::string> FakeBroker::publishes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return published;
}

void FakeBroker::serve() {
    while (waitReadable(listener.get(), -1, stopFd.get()) > 0) {
        UniqueFd client(accept(listener.get(), nullptr, nullptr));
        std::string in;
        char buffer[4096];
        while (client.valid() && waitReadable(client.get(), -1, stopFd.get()) > 0) {
            ssize_t n = recv(client.get(), buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            in.append(buffer, static_cast<size_t>(n));
            if (!answer(client.get(), &in)) break;
        }
    }
}

bool FakeBroker::answer(int fd, std::string* in) {
    for (;;) {
        // A fixed header: type and flags, then the remaining length in 7-bit groups.
        size_t length = 0, at = 1;
        for (int shift = 0;; shift += 7) {
            if (at >= in->size()) return true;  // the rest comes later
            const unsigned char byte = static_cast<unsigned char>((*in)[at++]);
            length |= size_t{byte & 0x7fu} << shift;
            if ((byte & 0x80) == 0) break;
        }
        if (in->size() - at < length) return true;
        const int type = static_cast<unsigned char>((*in)[0]) >> 4, qos = ((*in)[0] >> 1) & 3;
        std::string body = in->substr(at, length);
        in->erase(0, at + length);
        if (type == 1) {  // CONNECT
            std::lock_guard<std::mutex> lock(mutex);
            connectTimes.push_back(std::chrono::steady_clock::now());
            if (mode == CLOSE) return false;
        }
        if (type == 3 && body.size() >= 2) {  // PUBLISH: topic, packet id (qos > 0), payload
            size_t topicLength =
                static_cast<unsigned char>(body[0]) * 256u + static_cast<unsigned char>(body[1]);
            std::string payload =
                body.substr(std::min(body.size(), 2 + topicLength + (qos ? 2 : 0)));
            std::lock_guard<std::mutex> lock(mutex);
            published.push_back(body.substr(2, topicLength) + " " + payload);
        }
        const char connack[] = {0x20, 2, 0, 0}, pingresp[] = {static_cast<char>(0xd0), 0};
        if ((type == 1 && send(fd, connack, sizeof(connack), MSG_NOSIGNAL) < 0) ||
            (type == 1 && mode == CONNACK_THEN_CLOSE) || type == 14 /* DISCONNECT */)
            return false;
        if (type == 12 && send(fd, pingresp, sizeof(pingresp), MSG_NOSIGNAL) < 0) return false;
    }
}
