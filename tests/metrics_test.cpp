// The opt-in listener keys and the Prometheus endpoint of the real daemon.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "testutil.h"

namespace {
// One HTTP exchange on 127.0.0.1:port; returns everything the server sent.
std::string http(int port, const std::string& request) {
    Client client(port);
    if (!client.connected()) return "<no connection>";
    client.send(request);
    std::string reply;
    char buffer[4096];
    while (true) {
        pollfd p = {client.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = recv(client.fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    return reply;
}

std::string body(const std::string& reply) {
    return reply.substr(reply.find("\r\n\r\n") + 4);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
}  // namespace

TEST(ListenerKeys, MaxClientsClosesTheClientBeyondTheLimit) {
    TempDir dir;
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "maxclients = 2\n[sensors]\n/nonexistent/t = x\n"));
    // startDaemon's own probe connection must be gone before the count starts.
    ASSERT_TRUE(daemon->waitFor("lost client connection"));
    Client first(port), second(port);
    ASSERT_TRUE(
        eventually([&] { return daemon->count("incoming connection from 127.0.0.1") == 3; }));
    EXPECT_EQ(first.query("x.1"), "valid=0");
    EXPECT_EQ(second.query("x.1"), "valid=0");
    Client third(port);
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_TRUE(daemon->waitFor("too many clients, closing connection from 127.0.0.1"));
    first.resetHard();
    EXPECT_TRUE(eventually([&] { return Client(port).query("x.1") == "valid=0"; }));
}

TEST(ListenerKeys, ListenAddressBindsOnlyThereAndGarbageEndsTheDaemon) {
    TempDir dir;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "listen = 127.0.0.1\n"));
    EXPECT_EQ(Client(port).query("nobody.1"), "");
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);

    dir.write("sensomarkUSB.conf", configText(port, "listen = 127.0.0.300\n"));
    Process bad({SENSOMARK_BIN}, dir.path);
    EXPECT_EQ(bad.wait(), 0);
    EXPECT_TRUE(has(bad.output(), "invalid listen address '127.0.0.300'\n"));
    EXPECT_TRUE(has(bad.output(), "ending daemon\n"));
}

TEST(MetricsEndpoint, ServesReadingsCountersAndRefusesOtherRequests) {
    TempDir dir;
    Pty pty;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(metricsPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar garage\n"));
    std::string before = body(http(metricsPort, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_FALSE(has(before, "sensomark_temperature_celsius{"));
    EXPECT_TRUE(has(before, "sensomark_reading_valid{sensor=\"cellar\",device=\"" + pty.slavePath +
                                "\",quantity=\"temperature\"} 0\n"));

    pty.write("temperature=21.5 humidity=48.3 dewpoint=10.1 junk\r\n");
    Client client(port);
    ASSERT_TRUE(eventually([&] { return client.query("garage.1") == "valid=1;value=21.5;"; }));
    // startDaemon's probe client may still be counted for a moment.
    std::string reply;
    EXPECT_TRUE(eventually([&] {
        reply = http(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n");
        return has(reply, "sensomark_clients_connected 1\n");
    })) << reply;
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    std::string after = body(reply);
    std::string labels = "{sensor=\"garage\",device=\"" + pty.slavePath + "\"}";
    EXPECT_TRUE(has(after, "sensomark_temperature_celsius" + labels + " 21.5\n")) << after;
    EXPECT_TRUE(has(after, "sensomark_relative_humidity_percent" + labels + " 48.3\n"));
    EXPECT_TRUE(has(after, "sensomark_dewpoint_celsius" + labels + " 10.1\n"));
    EXPECT_TRUE(has(after, "sensomark_device_open{device=\"" + pty.slavePath + "\"} 1\n"));
    EXPECT_TRUE(has(after, "sensomark_device_lines_total{device=\"" + pty.slavePath + "\"} 1\n"));
    EXPECT_TRUE(
        has(after, "sensomark_device_fields_ignored_total{device=\"" + pty.slavePath + "\"} 1\n"));
    EXPECT_TRUE(has(after, "sensomark_requests_total "));

    if (access("/usr/bin/promtool", X_OK) == 0) {
        dir.write("metrics.txt", after);
        std::string out;
        EXPECT_EQ(
            runProgram({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, dir.path, &out),
            0)
            << out;
    }

    EXPECT_EQ(http(metricsPort, "GET /other HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(http(metricsPort, "POST /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_EQ(http(metricsPort, "garbage\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(http(metricsPort, std::string(20000, 'G')).rfind("HTTP/1.1 400 ", 0), 0u);
    // The query service never noticed.
    EXPECT_EQ(client.query("cellar.2"), "valid=1;value=48.3;");
}

TEST(MetricsEndpoint, StaleReadingsAreNotServedAsFresh) {
    TempDir dir;
    Pty pty;
    int port = freePort(), metricsPort = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "metricsport = " + std::to_string(metricsPort) +
                                              "\n[sensors]\n" + pty.slavePath + " = probe\n"));
    pty.write("temperature=19.0\n");
    Client client(port);
    ASSERT_TRUE(eventually([&] { return client.query("probe.1") == "valid=1;value=19.0;"; }));
    ASSERT_TRUE(eventually([&] { return client.query("probe.1") == "valid=0"; }, 40s));
    std::string stale = body(http(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(has(stale, "sensomark_temperature_celsius{")) << stale;
    EXPECT_TRUE(has(stale, "quantity=\"temperature\"} 0\n"));
    EXPECT_TRUE(has(stale, "sensomark_reading_age_seconds{sensor=\"probe\",device=\"" +
                               pty.slavePath + "\"} 3"));
}
