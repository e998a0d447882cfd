// The serial port: raw line settings on a pseudo-terminal, and why a device
// that cannot be opened is not open, told once per reason by its reader.
#include "serial.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "logging.h"
#include "sensormanager.h"
#include "testutil.h"

namespace {
std::vector<tcflag_t> flags(const termios& t) {
    return {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag};
}
// The log lines of text that tell why path cannot be opened.
std::vector<std::string> openFailures(const std::string& text, const std::string& path) {
    std::vector<std::string> found;
    for (const std::string& line : logLines(text))
        if (line.rfind("cannot open '" + path + "': ", 0) == 0) found.push_back(line);
    return found;
}
}  // namespace

TEST(SerialPort, RawSettingsChangeOnlyTheLineFlags) {
    for (int fill : {0x00, 0xff}) {
        termios before;
        memset(&before, fill, sizeof(before));
        for (size_t i = 0; i < NCCS; ++i) before.c_cc[i] = static_cast<cc_t>(i * 7 + 3);
        termios want = before;  // the speed set the standard way, the named flags changed
        cfsetispeed(&want, B9600);
        cfsetospeed(&want, B9600);
        want.c_cflag =
            (want.c_cflag & ~tcflag_t(CSIZE | CSTOPB | PARENB | CRTSCTS)) | CS8 | CREAD | CLOCAL;
        want.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
        want.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ISIG);
        want.c_oflag &= ~tcflag_t(OPOST);
        termios raw = Serial::rawSettings(before);
        EXPECT_EQ(flags(raw), flags(want)) << fill;
        EXPECT_EQ(0, memcmp(raw.c_cc, want.c_cc, sizeof(want.c_cc))) << fill;
        EXPECT_EQ(raw.c_line, want.c_line);
        EXPECT_EQ(cfgetispeed(&raw), B9600);
    }
}

TEST(SerialPort, OpensAPtyWithTheRawSettingsAndFailsOnAMissingDevice) {
    Pty pty;
    termios before, after;
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    Serial serial(pty.slavePath);
    ASSERT_EQ(tcgetattr(serial.getFd(), &after), 0);
    EXPECT_EQ(flags(after), flags(Serial::rawSettings(before)));
    EXPECT_LT(Serial("/nonexistent/ttyUSB9").getFd(), 0);
    TempDir dir;  // a regular file takes no line settings but still reads
    dir.write("plain", "temperature=1\n");
    testing::internal::CaptureStderr();
    Serial plain(dir.file("plain"));
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("tcsetattr failed: ", 0), 0u);
    char buffer[32];
    EXPECT_EQ(read(plain.getFd(), buffer, sizeof(buffer)), 14);
}

TEST(DeviceOpen, TheReasonIsLoggedOnceUntilItChanges) {
    TempDir dir;
    logFile = dir.file("log");
    std::string path = dir.file("ttyUSB0");
    const std::string missing = "cannot open '" + path + "': No such file or directory";
    const std::string directory = "cannot open '" + path + "': Is a directory";

    // The reader's own attempts, each counted and followed by a pause of five
    // seconds, here cut short: missing twice, a directory twice, missing again.
    SensorManager registry;
    Sensor* sensor = registry.newSensor(path);
    std::vector<std::pair<int, unsigned long>> pauses;  // ms, and attempts lost before it
    sensor->setPause([&](int ms) {
        pauses.emplace_back(ms, sensor->snapshot(0).reconnects);
        if (pauses.size() == 2) mkdir(path.c_str(), 0755);
        if (pauses.size() == 4) rmdir(path.c_str());
        return pauses.size() < 5;  // then as if shutdown came
    });
    sensorThread(sensor);
    EXPECT_EQ(openFailures(readFile(logFile), path),
              (std::vector<std::string>{missing, directory, missing}));
    EXPECT_EQ(pauses, (decltype(pauses){{5000, 1}, {5000, 2}, {5000, 3}, {5000, 4}, {5000, 5}}));
    EXPECT_FALSE(sensor->snapshot(0).open);

    // A device that opened in between makes the same reason news again.
    remove(logFile.c_str());
    Pty pty;
    int last = 0;
    Serial(path).reportOpen(&last);
    Serial(path).reportOpen(&last);
    ASSERT_EQ(symlink(pty.slavePath.c_str(), path.c_str()), 0);
    Serial(path).reportOpen(&last);
    EXPECT_EQ(last, 0);
    remove(path.c_str());
    Serial(path).reportOpen(&last);
    EXPECT_EQ(openFailures(readFile(logFile), path), (std::vector<std::string>{missing, missing}));
    logFile.clear();
}
