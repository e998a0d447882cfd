// The daemon and its broker under faults: the broker absent at start,
// restarted and hung, one that never acknowledges or closes every connection, and
// TLS with throw-away certificates and a password, right and wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brokerutil.h"
#include "mqtt.h"

namespace {
void run(const TempDir& dir, std::vector<std::string> argv) {
    std::string out;
    EXPECT_EQ(runProgram(argv, dir.path, &out), 0) << argv[0] << " " << argv[1] << ": " << out;
}
}  // namespace

TEST(MqttFaults, BrokerAbsentAtStartThenRestartedThenHung) {
    SKIP_WITHOUT_MOSQUITTO();
    Rig r("", false);
    r.startDaemon("cellar", "retain = yes\n");  // a later subscriber sees what was sent again
    r.pty->write(LINE);
    Client client(r.port);
    EXPECT_TRUE(eventually([&] { return client.query("cellar.1") == "valid=1;value=21.5;"; }));
    const std::string broker = "MQTT broker 127.0.0.1:" + std::to_string(r.broker.port);
    ASSERT_TRUE(r.daemon->waitFor("cannot reach " + broker + ": Connection refused"));
    ASSERT_TRUE(r.broker.start());
    ASSERT_TRUE(r.daemon->waitFor(r.connected(), 12s)) << r.daemon->output();  // after 1+2+4 s
    EXPECT_TRUE(Subscriber(r.dir, r.broker.port).waitFor("t/cellar/dewpoint", "10.1"));

    r.broker.stop(SIGKILL);  // it forgets everything
    ASSERT_TRUE(r.daemon->waitFor("lost " + broker));
    EXPECT_EQ(client.query("cellar.2"), "valid=1;value=48.0;");
    ASSERT_TRUE(r.broker.start());
    ASSERT_TRUE(eventually([&] { return r.daemon->count(r.connected()) == 2; }, 10s));
    Subscriber sub(r.dir, r.broker.port);
    EXPECT_TRUE(sub.waitFor("t/status", "online"));
    EXPECT_TRUE(sub.waitFor("t/cellar/available", "online"));
    EXPECT_TRUE(sub.waitFor("t/cellar/temperature", "21.5"));
    EXPECT_TRUE(sub.waitFor("t/cellar/humidity", "48.0"));
    EXPECT_NE(sub.waitForTopic("homeassistant/sensor/t/cellar_humidity/config"), "<none>");

    r.broker.process->signal(SIGSTOP);  // a publish that is never acknowledged
    r.pty->write("temperature=22.0 humidity=47.0 dewpoint=10.2\n");
    r.daemon->signal(SIGTERM);
    EXPECT_EQ(r.daemon->wait(STOP_BOUND + 1s), 0) << r.daemon->output();
    r.broker.process->signal(SIGCONT);
}

TEST(MqttFaults, BrokerThatNeverAcknowledgesIsHandedTheBoundAndOfflineAtTheStop) {
    FakeBroker broker(FakeBroker::SWALLOW);
    TempDir dir;
    Pty pty;
    const int NAMES = 50, metricsPort = freePort();
    std::string names;
    for (int i = 0; i < NAMES; ++i) names += " n" + std::to_string(i);
    auto daemon =
        startDaemon(dir, configText(freePort(), "metricsport = " + std::to_string(metricsPort) +
                                                    "\n[sensors]\n" + pty.slavePath + " =" + names +
                                                    "\n" + mqttSection(broker.port, "t")));
    const size_t bound = MqttPublisher::MAX_UNACKNOWLEDGED;
    ASSERT_TRUE(eventually([&] { return broker.publishes().size() >= bound; }));
    int line = 0;
    std::string metrics;
    auto dropping = [&] {  // each line brings new values, which replace the waiting ones
        pty.write("temperature=" + std::to_string(++line) + " humidity=48.0 dewpoint=10.1\n");
        metrics = scrape(metricsPort);
        return metricValue(metrics, "sensomark_mqtt_dropped_total") > 0;
    };
    ASSERT_TRUE(eventually(dropping, 10s)) << metrics;
    EXPECT_EQ(broker.publishes().size(), bound);
    EXPECT_EQ(metricValue(metrics, "sensomark_mqtt_publishes_total"), 0) << metrics;

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(STOP_BOUND + 1s), 0) << daemon->output();
    const size_t offline = bound + NAMES + 1;  // every name, then the daemon's status
    EXPECT_TRUE(eventually([&] { return broker.publishes().size() == offline; }));
    std::vector<std::string> sent = broker.publishes();
    ASSERT_EQ(sent.size(), offline);
    EXPECT_EQ(sent[bound], "t/n0/available offline");
    EXPECT_EQ(sent.back(), "t/status offline");
}

TEST(MqttFaults, BrokerThatClosesEveryConnectionIsAskedAgainAfter1Then2Then4Seconds) {
    // Closed before or right after the broker accepts: neither connection lasted.
    std::vector<std::unique_ptr<FakeBroker>> brokers;
    std::vector<std::unique_ptr<Process>> daemons;
    TempDir dir;
    for (FakeBroker::Mode mode : {FakeBroker::CLOSE, FakeBroker::CONNACK_THEN_CLOSE}) {
        brokers.push_back(std::make_unique<FakeBroker>(mode));
        daemons.push_back(
            startDaemon(dir, configText(freePort(), "[sensors]\n/nonexistent/tty = x\n" +
                                                        mqttSection(brokers.back()->port, "t"))));
    }
    for (const auto& broker : brokers) {
        ASSERT_TRUE(eventually([&] { return broker->connects().size() >= 4; }, 15s));
        auto times = broker->connects();
        for (size_t i = 1; i < 4; ++i)  // a pause may end late, never early
            EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1])
                          .count(),
                      900 << (i - 1))
                << "pause before attempt " << i + 1;
    }
}

TEST(MqttFaults, TlsTrustsOnlyTheConfiguredCaAndAWrongPasswordIsRefusedAndLoggedOnce) {
    SKIP_WITHOUT_MOSQUITTO();
    if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
    TempDir keys;
    // Each certificate its own CA, all for 127.0.0.1: the broker trusts the board's.
    for (std::string name : {"broker", "board", "stranger"})
        run(keys,
            {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key", "-out",
             name + ".crt", "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1"});
    run(keys, {"/usr/bin/mosquitto_passwd", "-c", "-b", keys.file("users"), "board", "right"});
    keys.write("wrong.pw", "wrong\n");
    keys.write("right.pw", "right\nsecond line\n");  // the first line counts
    chmod(keys.file("wrong.pw").c_str(), 0600);
    chmod(keys.file("right.pw").c_str(), 0400);
    int tlsPort = freePort();
    Rig r("password_file " + keys.file("users") + "\nlistener " + std::to_string(tlsPort) +
          " 127.0.0.1\ncafile " + keys.file("board.crt") + "\ncertfile " + keys.file("broker.crt") +
          "\nkeyfile " + keys.file("broker.key") + "\nrequire_certificate true\n");
    auto start = [&](const std::string& ca, const std::string& password) {
        if (r.daemon) {
            r.daemon->signal(SIGTERM);
            ASSERT_EQ(r.daemon->wait(), 0);
        }
        r.startDaemon("cellar",
                      "tls = yes\ncafile = " + keys.file(ca) + "\ncertfile = " +
                          keys.file("board.crt") + "\nkeyfile = " + keys.file("board.key") +
                          "\nusername = board\npasswordfile = " + keys.file(password) + "\n",
                      tlsPort);
    };
    const std::string broker = "MQTT broker 127.0.0.1:" + std::to_string(tlsPort);
    start("stranger.crt", "right.pw");
    EXPECT_TRUE(r.daemon->waitFor("certificate verify failed", 15s)) << r.daemon->output();
    EXPECT_EQ(r.daemon->count("connected to " + broker), 0) << r.daemon->output();

    start("broker.crt", "wrong.pw");
    ASSERT_TRUE(eventually([&] { return r.broker.count("not authorised") >= 3; }, 10s));
    std::vector<std::string> lines = logLines(r.daemon->output());
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         broker + " refused the connection: Connection Refused: not authorised."),
              1);
    EXPECT_EQ(r.daemon->count("refused the connection"), 1) << r.daemon->output();
    EXPECT_EQ(r.daemon->count("connected to " + broker), 0);

    start("broker.crt", "right.pw");
    ASSERT_TRUE(r.daemon->waitFor("connected to " + broker)) << r.daemon->output();
    r.pty->write(LINE);
    EXPECT_TRUE(r.sub->waitFor("t/cellar/temperature", "21.5"));
}
