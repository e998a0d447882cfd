// Owns one serial descriptor configured raw at 9600 8N1 without flow control;
// only the device's reader thread uses it.
#pragma once
#include <string>

class Serial {
  public:
    // Opens and configures deviceName; a failure shows as a negative getFd().
    explicit Serial(std::string deviceName);
    virtual ~Serial();
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // The open descriptor, or a negative value when the device is not open.
    int getFd() const { return fd; }

  private:
    void open();

    std::string deviceName;
    int fd;
};
