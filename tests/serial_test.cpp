// The serial port: raw line settings, on a pseudo-terminal and a plain file.
#include "serial.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "testutil.h"

namespace {
std::vector<tcflag_t> flags(const termios& t) {
    return {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag};
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
        EXPECT_EQ(raw.c_cflag & CBAUD, tcflag_t(B9600));
        EXPECT_EQ(cfgetispeed(&raw), B9600);
        EXPECT_EQ(cfgetospeed(&raw), B9600);
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

