// The statedir's lock file.
#include "statelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "syserror.h"

StateLock::Result StateLock::take(const std::string& dir, std::string* detail) {
    const std::string path = dir + "/" + FILE_NAME;
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd f(open(path.c_str(), O_RDWR | O_CREAT | flags, 0644));
    // A file left by root is locked read-only by a service user as well.
    if (!f.valid() && errno == EACCES) f.reset(open(path.c_str(), O_RDONLY | flags));
    if (!f.valid()) {
        *detail = systemError("open lock file '" + path + "'");
        return Result::FAILED;
    }
    struct stat st = {};
    if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *detail = "lock file '" + path + "' is not a regular file";
        return Result::FAILED;
    }
    if (flock(f.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            *detail = systemError("lock '" + path + "'");
            return Result::FAILED;
        }
        char text[24] = "";
        ssize_t n = pread(f.get(), text, sizeof(text) - 1, 0);
        detail->clear();
        for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
            detail->push_back(text[i]);
        return Result::BUSY;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(f.get(), 0) == 0 && pwrite(f.get(), pid.data(), pid.size(), 0) < 0) {
        // Read-only or full: the lock holds all the same, without its pid.
    }
    fd = std::move(f);
    return Result::TAKEN;
}
