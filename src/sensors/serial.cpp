// Opening a serial device and putting the line into raw 9600 8N1 mode. Only
// the flags below change; everything else keeps the device's settings.
#include "serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "logging.h"
#include "syserror.h"

Serial::Serial(std::string deviceName) : deviceName(std::move(deviceName)), fd(-1) {
    open();
}

Serial::~Serial() {
    if (fd >= 0) close(fd);
}

void Serial::open() {
    fd = ::open(deviceName.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        openError = errno;
        return;
    }

    // On a non-terminal tcgetattr fails and leaves the zeroed settings; the
    // tcsetattr below then reports the failure.
    struct termios current = {};
    tcgetattr(fd, &current);
    struct termios options = rawSettings(current);
    if (tcsetattr(fd, TCSANOW, &options) != 0) perror("tcsetattr failed");
}

void Serial::reportOpen(int* lastError) const {
    if (openError != 0 && openError != *lastError) {
        logEvent(LOG_STAT, "cannot open '" + deviceName + "': " + errorText(openError));
    }
    *lastError = openError;
}

termios Serial::rawSettings(const termios& current) {
    termios options = current;
    cfsetispeed(&options, B9600);
    cfsetospeed(&options, B9600);
    options.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
    options.c_cflag |= CS8 | CREAD | CLOCAL;
    options.c_iflag &= ~(IXON | IXOFF | IXANY);
    options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options.c_oflag &= ~OPOST;
    return options;
}
