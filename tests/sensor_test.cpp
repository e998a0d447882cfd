// The device line protocol, the reading reply, the serial line settings and a
// reader thread on a real pseudo-terminal.
#include "sensor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "sensormanager.h"
#include "serial.h"
#include "sighandler.h"
#include "testutil.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;
const time_t T = 1000000;
}  // namespace

TEST(DeviceLine, ParsesPairsAsTheProtocolDefines) {
    struct Case {
        std::string line;
        Pairs pairs;
    } cases[] = {
        {"temperature=21.5 humidity=48.3% dewpoint=-1.0 status=ok",
         {{"temperature", "21.5"}, {"humidity", "48.3"}, {"dewpoint", "-1.0"}, {"status", ""}}},
        {"temperature=21.5C", {{"temperature", "21.5"}}},
        {"temperature=-3.5", {{"temperature", "-3.5"}}},
        {"temperature=-.5x humidity=+4 dewpoint=- a=-- b=-x",
         {{"temperature", "-.5"}, {"humidity", ""}, {"dewpoint", ""}, {"a", ""}, {"b", ""}}},
        {"humidity=abc", {{"humidity", ""}}},
        {"temperature==21.5", {{"temperature", "21.5"}}},
        {"a=b=c =5 temperature= temperature", {}},
        {"temperature = 21.5", {}},
        {"temperature=21.5\thumidity=40", {}},
        {"  temperature=1   temperature=2  ", {{"temperature", "1"}, {"temperature", "2"}}},
        {"temperature=1.2.3x", {{"temperature", "1.2.3"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(Sensor::parseLine(c.line), c.pairs) << c.line;
}

TEST(SensorReading, FreshForThirtySecondsThenInvalid) {
    Sensor sensor(nullptr, "/dev/null");
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T), "valid=0");  // nothing stored yet
    sensor.storeLine("temperature=21.5", T);
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T), "valid=1;value=21.5;");
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T + 30), "valid=1;value=21.5;");
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T + 31), "valid=0");
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T - 100),
              "valid=1;value=21.5;");                                        // clock set back
    EXPECT_EQ(sensor.getReadingAt(Sensor::HUMIDITY, T), "valid=1;value=;");  // never sent
    for (int outside : {0, 4, -1, 1 << 30})
        EXPECT_EQ(sensor.getReadingAt(static_cast<Sensor::ReadType>(outside), T), "valid=0");
}

TEST(SensorReading, LaterPairWinsAndOtherKeysRefreshTheTime) {
    Sensor sensor(nullptr, "/dev/null");
    sensor.storeLine("temperature=1 temperature=2 dewpoint=-4 humidity=abc", T);
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T), "valid=1;value=2;");
    EXPECT_EQ(sensor.getReadingAt(Sensor::DEWPOINT, T), "valid=1;value=-4;");
    EXPECT_EQ(sensor.getReadingAt(Sensor::HUMIDITY, T), "valid=1;value=;");
    sensor.storeLine("status=7", T + 25);
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T + 50), "valid=1;value=2;");
    sensor.storeLine("no pairs here", T + 60);
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T + 60), "valid=0");
}

TEST(SensorReading, NoiseKeysAreBoundedAndServedRepliesUnchanged) {
    Sensor sensor(nullptr, "/dev/null");
    for (int i = 0; i < 1000; ++i) sensor.storeLine("k" + std::to_string(i) + "=1", T + i % 10);
    sensor.storeLine("temperature=20.5 brandnew=3", T + 20);
    EXPECT_EQ(sensor.getReadingAt(Sensor::TEMPERATURE, T + 50), "valid=1;value=20.5;");
}

TEST(SerialPort, SetsOnlyTheRawLineFlagsAndKeepsTheRest) {
    Pty pty;
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    Serial serial(pty.slavePath);
    ASSERT_GE(serial.getFd(), 0);
    struct termios after;
    ASSERT_EQ(tcgetattr(serial.getFd(), &after), 0);

    EXPECT_EQ(cfgetispeed(&after), B9600);
    EXPECT_EQ(after.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(after.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    // Everything the line settings do not name is as it was.
    tcflag_t cflagNamed = CSIZE | CSTOPB | PARENB | CRTSCTS | CREAD | CLOCAL | CBAUD | CBAUDEX;
    EXPECT_EQ(after.c_cflag & ~cflagNamed, before.c_cflag & ~cflagNamed);
    EXPECT_EQ(after.c_iflag & ~tcflag_t(IXON | IXOFF | IXANY),
              before.c_iflag & ~tcflag_t(IXON | IXOFF | IXANY));
    EXPECT_EQ(after.c_lflag & ~tcflag_t(ICANON | ECHO | ECHOE | ISIG),
              before.c_lflag & ~tcflag_t(ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(after.c_oflag & ~tcflag_t(OPOST), before.c_oflag & ~tcflag_t(OPOST));
    EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof(before.c_cc)));
}

TEST(SerialPort, MissingDeviceIsNotOpenAndARegularFileStillReads) {
    EXPECT_LT(Serial("/nonexistent/ttyUSB9").getFd(), 0);

    TempDir dir;
    dir.write("plain", "temperature=1\n");
    testing::internal::CaptureStderr();
    Serial serial(dir.file("plain"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("tcsetattr failed: ", 0), 0u) << err;
    char buffer[32];
    EXPECT_EQ(read(serial.getFd(), buffer, sizeof(buffer)), 14);
}

TEST(SensorReader, ReadsLinesFromAPtyAndStopsOnShutdown) {
    Pty pty;
    auto* registry = new SensorManager;
    Sensor* sensor = registry->newSensor(pty.slavePath);
    registry->nameSensor(sensor, "probe");
    registry->createThreads();

    // Split lines, a CR at the end of one write and the LF at the start of the next.
    pty.write("tempera");
    pty.write("ture=21.5 humidity=40\r");
    pty.write("\ndewpoint=7.5\n");
    EXPECT_TRUE(
        eventually([&] { return registry->getReading("probe.3") == "valid=1;value=7.5;"; }));
    EXPECT_EQ(registry->getReading("probe.1"), "valid=1;value=21.5;");
    EXPECT_EQ(registry->getReading("probe.2"), "valid=1;value=40;");

    auto started = std::chrono::steady_clock::now();
    shouldShutdown.store(1);
    delete registry;  // waits for the reader to leave
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
    shouldShutdown.store(0);
}
