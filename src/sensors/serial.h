// Owns one serial descriptor configured raw at 9600 8N1 without flow control;
// only the device's reader thread uses it.
#pragma once
#include <termios.h>

#include <string>

class Serial {
  public:
    // Opens and configures deviceName; a failure shows as a negative getFd().
    explicit Serial(std::string deviceName);
    ~Serial();
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // The open descriptor, or a negative value when the device is not open.
    int getFd() const { return fd; }
    // Why the device is not open: the errno of the failed open; 0 when open.
    int getOpenError() const { return openError; }
    // Logs at LOG_STAT why the device could not be opened, as in "cannot open
    // '/dev/ttyUSB0': Permission denied", unless *lastError holds that reason
    // already; then keeps this attempt's reason (0 when open) in *lastError.
    // A reader that retries every few seconds thus logs each reason once.
    void reportOpen(int* lastError) const;

    // The line settings the device gets: current with 9600 baud, 8 data bits,
    // no parity, 1 stop bit, receiver on, no modem control, no flow control,
    // no echo or line editing, no output processing; every other flag and
    // control character as in current.
    static termios rawSettings(const termios& current);

  private:
    void open();

    std::string deviceName;
    int fd;
    int openError = 0;
};
