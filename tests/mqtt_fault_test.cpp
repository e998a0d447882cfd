// The daemon and its broker under faults: the broker restarted, absent at
// start, refusing the credentials, and TLS with a throw-away CA.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brokerutil.h"
#include "testutil.h"

namespace {

// Runs a program in dir; the test fails when it does not succeed.
void run(const TempDir& dir, const std::vector<std::string>& argv) {
    std::string out;
    EXPECT_EQ(runProgram(argv, dir.path, &out), 0) << argv[0] << " " << argv[1] << ": " << out;
}

// A CA (name.crt, name.key) and a certificate for 127.0.0.1 signed by it.
void makeCertificate(const TempDir& dir, const std::string& name, const std::string& ca) {
    const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> request = {"/usr/bin/openssl", "req"};
    request.insert(request.end(), newKey.begin(), newKey.end());
    request.insert(request.end(), {"-keyout", name + ".key", "-subj", "/CN=" + name});
    if (ca.empty()) {
        request.insert(request.end(), {"-x509", "-days", "2", "-out", name + ".crt"});
        run(dir, request);
        return;
    }
    request.insert(request.end(), {"-out", name + ".csr"});
    run(dir, request);
    dir.write(name + ".ext", "subjectAltName=IP:127.0.0.1\n");
    run(dir, {"/usr/bin/openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt",
              "-CAkey", ca + ".key", "-CAcreateserial", "-days", "2", "-out", name + ".crt",
              "-extfile", name + ".ext"});
}

}  // namespace

TEST(MqttFaults, BrokerRestartBringsBackDiscoveryAvailabilityAndValues) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    Pty pty;
    int port = freePort();
    // Retained values, so that a subscriber after the restart sees what the
    // daemon sent again on its own.
    auto daemon =
        startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                              mqttSection(broker.port(), "t", "retain = yes\n")));
    ASSERT_TRUE(daemon->waitFor(connectedLine(broker))) << daemon->output();
    pty.write(LINE);
    {
        Subscriber sub(dir, broker.port(), "t/#");
        ASSERT_TRUE(sub.waitFor("t/cellar/dewpoint", "10.1"));
    }

    // The broker forgets everything (no persistence) and comes back.
    broker.stop(SIGKILL);
    ASSERT_TRUE(daemon->waitFor("lost MQTT broker 127.0.0.1:" + std::to_string(broker.port())));
    EXPECT_EQ(Client(port).query("cellar.2"), "valid=1;value=48.0;");
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(eventually([&] { return daemon->count(connectedLine(broker)) == 2; }, 10s))
        << daemon->output();
    Subscriber sub(dir, broker.port(), "#");
    EXPECT_TRUE(sub.waitFor("t/status", "online"));
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online"));
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "21.5"));
    EXPECT_TRUE(sub.waitFor("t/cellar/humidity", "48.0"));
    EXPECT_NE(sub.waitForTopic("homeassistant/sensor/t/cellar_humidity/config"), "<none>");
}

TEST(MqttFaults, BrokerAbsentAtStart) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir, "", false);
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                                        mqttSection(broker.port(), "t")));
    // The query service does not wait for the broker.
    pty.write(LINE);
    Client client(port);
    EXPECT_TRUE(eventually([&] { return client.query("cellar.1") == "valid=1;value=21.5;"; }));
    ASSERT_TRUE(daemon->waitFor("cannot reach MQTT broker 127.0.0.1:" +
                                std::to_string(broker.port()) + ": Connection refused"))
        << daemon->output();

    ASSERT_TRUE(broker.start());
    Subscriber sub(dir, broker.port(), "t/#");
    // Retries back off from 1 s: 1 + 2 + 4 s at most before this attempt.
    ASSERT_TRUE(daemon->waitFor(connectedLine(broker), 12s)) << daemon->output();
    EXPECT_TRUE(sub.waitFor("t/status", "online"));
    pty.write("temperature=22.0 humidity=47.0 dewpoint=10.2\n");
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "22.0"));
}

TEST(MqttFaults, WrongPasswordIsRefusedAndLoggedOnce) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    run(dir, {"/usr/bin/mosquitto_passwd", "-c", "-b", dir.file("users"), "board", "right"});
    Broker broker(dir, "allow_anonymous false\npassword_file " + dir.file("users") + "\n");
    dir.write("wrong.pw", "wrong\n");
    chmod(dir.file("wrong.pw").c_str(), 0600);
    Pty pty;
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                              mqttSection(broker.port(), "t",
                                                          "username = board\npasswordfile = " +
                                                              dir.file("wrong.pw") + "\n")));
    // Three refused attempts (after 0, 1 and 3 s), one line for them.
    ASSERT_TRUE(eventually([&] { return broker.count("not authorised") >= 3; }, 10s))
        << broker.output();
    EXPECT_EQ(daemon->count("refused the connection"), 1) << daemon->output();
    EXPECT_TRUE(daemon->waitFor("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) +
                                " refused the connection: Connection Refused: not authorised."));
    EXPECT_EQ(daemon->count("connected to MQTT broker"), 0);
    pty.write(LINE);
    Client client(port);
    EXPECT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=10.1;"; }));

    // The right password is let in.
    TempDir other;
    other.write("right.pw", "right");
    chmod(other.file("right.pw").c_str(), 0400);
    Subscriber sub(dir, broker.port(), "u/status", {"-u", "board", "-P", "right"});
    auto good = startDaemon(
        other, configText(freePort(), "[sensors]\n/nonexistent/tty = x\n" +
                                          mqttSection(broker.port(), "u",
                                                      "username = board\npasswordfile = " +
                                                          other.file("right.pw") + "\n")));
    EXPECT_TRUE(sub.waitFor("u/status", "online"));
}

TEST(MqttFaults, TlsVerifiesTheBrokerAgainstTheConfiguredCa) {
    SKIP_WITHOUT_MOSQUITTO();
    if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
    TempDir dir;
    makeCertificate(dir, "ca", "");
    makeCertificate(dir, "broker", "ca");
    makeCertificate(dir, "board", "ca");
    makeCertificate(dir, "stranger", "");
    int tlsPort = freePort();
    Broker broker(dir, "listener " + std::to_string(tlsPort) + " 127.0.0.1\ncafile " +
                           dir.file("ca.crt") + "\ncertfile " + dir.file("broker.crt") +
                           "\nkeyfile " + dir.file("broker.key") + "\nrequire_certificate true\n");
    Subscriber sub(dir, broker.port(), "#");

    // Trusted both ways: the board's certificate is checked by the broker too.
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "[sensors]\n" + pty.slavePath + " = cellar\n" +
                                  mqttSection(tlsPort, "t",
                                              "tls = yes\ncafile = " + dir.file("ca.crt") +
                                                  "\ncertfile = " + dir.file("board.crt") +
                                                  "\nkeyfile = " + dir.file("board.key") + "\n")));
    ASSERT_TRUE(daemon->waitFor("connected to MQTT broker 127.0.0.1:" + std::to_string(tlsPort)))
        << daemon->output();
    pty.write(LINE);
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "21.5"));

    // A broker certificate from another CA is refused.
    TempDir other;
    auto refused = startDaemon(
        other,
        configText(freePort(),
                   "[sensors]\n/nonexistent/tty = x\n" +
                       mqttSection(tlsPort, "u",
                                   "tls = yes\ncafile = " + dir.file("stranger.crt") + "\n")));
    EXPECT_TRUE(refused->waitFor("certificate verify failed", 15s)) << refused->output();
    EXPECT_EQ(refused->count("connected to MQTT broker"), 0) << refused->output();
    EXPECT_EQ(sub.count("u/status"), 0);
}
