// Loading and saving the active alerts; see alertstate.h.
#include "alertstate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "net.h"
#include "protocol.h"
#include "syserror.h"

namespace {
const char HEADER[] = "sensomark-alerts 1";
const size_t MAX_SINCE_DIGITS = 18;

bool plain(unsigned char c) {
    return c > ' ' && c < 0x7f && c != '%';
}

std::string encodeName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (plain(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof(hex), "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decodeName(const std::string& text, std::string* name) {
    name->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *name += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        *name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return !name->empty();
}

// One line "SINCE NAME QUANTITY ALERT".
bool parseLine(const std::string& line, SavedAlert* alert) {
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
    if (c == std::string::npos) return false;
    std::string since = line.substr(0, a), quantity = line.substr(b + 1, c - b - 1);
    alert->alert = line.substr(c + 1);
    if (since.empty() || since.size() > MAX_SINCE_DIGITS ||
        since.find_first_not_of("0123456789") != std::string::npos)
        return false;
    alert->since = std::stoll(since);
    if (!decodeName(line.substr(a + 1, b - a - 1), &alert->name)) return false;
    if (quantity == "-") {
        alert->quantity.clear();
    } else if (quantityOfKey(quantity) != nullptr) {
        alert->quantity = quantity;
    } else {
        return false;
    }
    if (alert->alert.empty()) return false;
    for (unsigned char ch : alert->alert)
        if (ch < ' ' || ch >= 0x7f) return false;
    return true;
}

// The folder of path, for its fsync.
std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool loadAlertState(const std::string& path, std::vector<SavedAlert>* alerts,
                    std::string* problem) {
    alerts->clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        if (errno == ENOENT) return true;
        *problem = systemError("open '" + path + "'");
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *problem = "'" + path + "' is not a regular file";
        return false;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *problem = systemError("read '" + path + "'");
            return false;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(MAX_ALERT_STATE_BYTES)) {
            *problem = "'" + path + "' is larger than " +
                       std::to_string(MAX_ALERT_STATE_BYTES / 1024) + " KiB";
            return false;
        }
    }
    size_t start = 0, number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            *problem = "'" + path + "' ends in the middle of a line";
            alerts->clear();
            return false;
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        SavedAlert alert;
        bool ok = number++ == 0 ? line == HEADER : parseLine(line, &alert);
        if (!ok) {
            *problem = "'" + path + "' line " + std::to_string(number) + " does not read";
            alerts->clear();
            return false;
        }
        if (number > 1) alerts->push_back(alert);
    }
    if (number == 0) {
        *problem = "'" + path + "' is empty";
        return false;
    }
    return true;
}

bool saveAlertState(const std::string& path, const std::vector<SavedAlert>& alerts,
                    std::string* error) {
    std::string text = std::string(HEADER) + "\n";
    for (const SavedAlert& a : alerts)
        text += std::to_string(a.since < 0 ? 0 : a.since) + " " + encodeName(a.name) + " " +
                (a.quantity.empty() ? "-" : a.quantity) + " " + a.alert + "\n";
    std::string temporary = path + ".tmp";
    // Whatever lies there (a link, a leftover) is replaced, never written through.
    unlink(temporary.c_str());
    UniqueFd fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        *error = systemError("create '" + temporary + "'");
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = systemError("write '" + temporary + "'", n < 0 ? errno : ENOSPC);
            unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd.get()) != 0) {
        *error = systemError("fsync '" + temporary + "'");
        unlink(temporary.c_str());
        return false;
    }
    fd.reset();
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = systemError("rename '" + temporary + "'");
        unlink(temporary.c_str());
        return false;
    }
    UniqueFd folder(open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) fsync(folder.get());
    return true;
}
