// One daemon per statedir: an exclusive flock(2) on the lock file in it, which
// holds the pid of the daemon that took it. Taken on the start-up thread (or
// later by the history writer's thread, when the folder appeared only later)
// and held until the process ends.
#pragma once
#include <string>

#include "net.h"

class StateLock {
  public:
    static constexpr const char* FILE_NAME = "sensomarkUSB.lock";
    enum class Result { TAKEN, BUSY, FAILED };

    // Takes the lock of folder dir. BUSY: another process holds it, *detail
    // is its pid ("" when the file does not say); FAILED: *detail says why.
    Result take(const std::string& dir, std::string* detail);
    bool held() const { return fd.valid(); }

  private:
    UniqueFd fd;
};
