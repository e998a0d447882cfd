// Reading history files warily and keeping copies aside.
#include "historydisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "historyfile.h"
#include "net.h"
#include "syserror.h"

namespace {
const int OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The N of entry when it is prefix followed by digits only; -1 otherwise.
long long copyNumber(const std::string& entry, const std::string& prefix) {
    if (entry.compare(0, prefix.size(), prefix) != 0 || entry.size() == prefix.size() ||
        entry.size() - prefix.size() > 18)
        return -1;
    long long n = 0;
    for (size_t i = prefix.size(); i < entry.size(); ++i) {
        if (entry[i] < '0' || entry[i] > '9') return -1;
        n = n * 10 + (entry[i] - '0');
    }
    return n;
}

// The numbers of the copies of name kept as kind in dir; the earlier version's
// NAME.corrupt is number 0.
std::vector<std::pair<long long, std::string>> copiesOf(const std::string& dir,
                                                        const std::string& name,
                                                        const std::string& kind) {
    std::vector<std::pair<long long, std::string>> copies;
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return copies;
    const std::string prefix = name + "." + kind + "-";
    while (const dirent* entry = readdir(folder)) {
        std::string e = entry->d_name;
        long long n = copyNumber(e, prefix);
        if (n < 0 && kind == "corrupt" && e == name + ".corrupt") n = 0;
        if (n >= 0) copies.emplace_back(n, e);
    }
    closedir(folder);
    return copies;
}
}  // namespace

ReadOutcome readHistoryBytes(const std::string& path, std::string* bytes, std::string* reason) {
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return ReadOutcome::MISSING;
        *reason = "cannot be read: " + systemError("stat");
        return ReadOutcome::UNUSABLE;
    }
    // Never opened: a FIFO would wait for a writer, a device could be anything.
    if (S_ISLNK(st.st_mode)) {
        *reason = "is a symbolic link";
        return ReadOutcome::UNUSABLE;
    }
    UniqueFd f(S_ISREG(st.st_mode) ? open(path.c_str(), O_RDONLY | OPEN_FLAGS) : -1);
    if (S_ISREG(st.st_mode) && !f.valid()) {
        if (errno == ENOENT) return ReadOutcome::MISSING;
        *reason = "cannot be read: " + systemError("open");
        return ReadOutcome::UNUSABLE;
    }
    // Checked again on what was opened: the name may have changed meanwhile.
    if (!f.valid() || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *reason = "is not a regular file";
        return ReadOutcome::UNUSABLE;
    }
    if (static_cast<uint64_t>(st.st_size) > MAX_HISTORY_FILE_BYTES) {
        *reason = "is larger than " + std::to_string(MAX_HISTORY_FILE_BYTES) + " bytes";
        return ReadOutcome::UNUSABLE;
    }
    bytes->assign(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t done = 0;
    while (done < bytes->size()) {
        ssize_t n = read(f.get(), &(*bytes)[done], bytes->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = "cannot be read: " + systemError("read");
            return ReadOutcome::UNUSABLE;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    // A file that grows while it is read is read up to its length at the start.
    bytes->resize(std::min(done, static_cast<size_t>(st.st_size)));
    return ReadOutcome::READ;
}

std::string asidePath(const std::string& dir, const std::string& name, const std::string& kind) {
    long long newest = 0;
    for (const auto& copy : copiesOf(dir, name, kind)) newest = std::max(newest, copy.first);
    return dir + "/" + name + "." + kind + "-" + std::to_string(newest + 1);
}

void pruneAside(const std::string& dir, const std::string& name, const std::string& kind,
                int keep) {
    auto copies = copiesOf(dir, name, kind);
    std::sort(copies.begin(), copies.end());
    for (size_t i = 0; i + keep < copies.size(); ++i)
        unlink((dir + "/" + copies[i].second).c_str());
}

bool keepCopy(const std::string& path, const std::string& aside, std::string* error) {
    if (link(path.c_str(), aside.c_str()) == 0) return true;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != ENOSYS) {
        *error = systemError("link '" + aside + "'");
        return false;
    }
    std::string bytes, reason;
    if (readHistoryBytes(path, &bytes, &reason) != ReadOutcome::READ) {
        *error = "'" + path + "' " + reason;
        return false;
    }
    UniqueFd f(open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | OPEN_FLAGS, 0644));
    if (!f.valid()) {
        *error = systemError("create '" + aside + "'");
        return false;
    }
    bool written = writeAll(f.get(), bytes, error) == 0;
    if (written && fsync(f.get()) != 0) {
        *error = systemError("fsync");
        written = false;
    }
    if (!written) {
        unlink(aside.c_str());
        return false;
    }
    return true;
}

int writeAll(int fd, const std::string& data, std::string* error) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            *error = systemError("write", e);
            return e;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}
