// Descriptor owner, listening and connecting sockets, send-all and waits.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "syserror.h"

void UniqueFd::reset(int newFd) {
    if (fd >= 0) close(fd);
    fd = newFd;
}

int sendall(int s, const void* buff, size_t* len) {
    const char* bytes = static_cast<const char*>(buff);
    size_t total = 0;
    int result = 0;
    while (total < *len) {
        ssize_t n = send(s, bytes + total, *len - total, MSG_NOSIGNAL);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1) {
            result = -1;
            break;
        }
        total += static_cast<size_t>(n);
    }
    *len = total;
    return result;
}

namespace {

// The addresses of host and port; numeric only with AI_NUMERICHOST, so that a
// listener never waits for a name service. IPv4 literals must be the full
// dotted form ("1.2.3" is refused, not read as 1.2.0.3).
addrinfo* resolve(const std::string& host, int port, int flags, std::string* error) {
    in_addr ipv4;
    if ((flags & AI_NUMERICHOST) && host.find(':') == std::string::npos && !host.empty() &&
        inet_pton(AF_INET, host.c_str(), &ipv4) != 1) {
        *error = "not an address";
        return nullptr;
    }
    addrinfo hints = {};
    hints.ai_family = host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return nullptr;
    }
    return found;
}

// The socket address to listen on for text (a numeric literal; empty: all
// local IPv4 addresses) and port. An IPv4 address mapped into IPv6
// (::ffff:127.0.0.1) is that IPv4 address: an IPv6 socket could listen on it only
// while taking IPv4 clients on every address, and the allow list reads it so too.
struct ListenAddress {
    sockaddr_storage address = {};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

bool listenAddress(const std::string& text, int port, ListenAddress* out) {
    std::string ignored;
    addrinfo* found = resolve(text, port, AI_PASSIVE | AI_NUMERICHOST, &ignored);
    if (found == nullptr) return false;
    memcpy(&out->address, found->ai_addr, found->ai_addrlen);
    out->length = found->ai_addrlen;
    freeaddrinfo(found);
    const sockaddr_in6& v6 = reinterpret_cast<const sockaddr_in6&>(out->address);
    if (out->family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        sockaddr_in v4 = {};
        v4.sin_family = AF_INET;
        v4.sin_port = v6.sin6_port;
        memcpy(&v4.sin_addr, v6.sin6_addr.s6_addr + 12, sizeof(v4.sin_addr));
        out->address = {};
        memcpy(&out->address, &v4, sizeof(v4));
        out->length = sizeof(v4);
    }
    return true;
}

// The socket address that text stands for, as bytes, so that two spellings of
// one address compare equal; empty when text is no address.
std::string addressBytes(const std::string& text) {
    ListenAddress a;
    if (!listenAddress(text, 0, &a)) return "";
    return std::string(reinterpret_cast<const char*>(&a.address), a.length);
}

}  // namespace

bool isAddressLiteral(const std::string& text) {
    return !addressBytes(text).empty();
}

UniqueFd openListenSocket(const std::string& address, int port, int backlog, std::string* error,
                          bool ipv6Only) {
    ListenAddress local;
    if (!listenAddress(address, port, &local)) {
        *error = "invalid listen address '" + address + "'";
        return UniqueFd();
    }
    UniqueFd fd(socket(local.family(), SOCK_STREAM, 0));
    int yes = 1, v6only = ipv6Only;
    // These two lines are the service's own texts, without a reason.
    if (!fd.valid()) {
        *error = "failed to create socket";
    } else if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) < 0 ||
               (local.family() == AF_INET6 &&
                setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) < 0)) {
        *error = "failed to set socket options";
    } else if (bind(fd.get(), local.get(), local.length) == -1) {
        *error = systemError("bind socket");
    } else if (listen(fd.get(), backlog) == -1) {
        *error = systemError("listen socket");
    } else {
        return fd;
    }
    return UniqueFd();
}

std::vector<UniqueFd> openListenSockets(const std::vector<std::string>& addresses, int port,
                                        int backlog, std::string* error) {
    // An address given twice is listened on once.
    std::vector<std::string> wanted, seen;
    for (const std::string& a : addresses) {
        std::string bytes = addressBytes(a);
        if (!bytes.empty() && std::find(seen.begin(), seen.end(), bytes) != seen.end()) continue;
        seen.push_back(bytes);
        wanted.push_back(a);
    }
    if (wanted.empty()) wanted.push_back("");
    bool anyIpv4 = false;
    for (const std::string& a : wanted) {
        ListenAddress local;
        anyIpv4 |= !listenAddress(a, 0, &local) || local.family() == AF_INET;
    }
    std::vector<UniqueFd> sockets;
    for (const std::string& a : wanted) {
        UniqueFd fd = openListenSocket(a, port, backlog, error, anyIpv4 || a != "::");
        if (!fd.valid()) return {};
        sockets.push_back(std::move(fd));
    }
    return sockets;
}

UniqueFd connectTo(const std::string& host, int port, int timeoutMs, std::string* error) {
    addrinfo* found = resolve(host, port, 0, error);
    if (found == nullptr) return UniqueFd();
    *error = "no address";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        UniqueFd fd(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK, a->ai_protocol));
        if (!fd.valid()) {
            *error = errorText(errno);
            continue;
        }
        int rc = connect(fd.get(), a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p = {fd.get(), POLLOUT, 0};
            int ready;
            do {
                ready = poll(&p, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            int soError = ready > 0 ? 0 : ETIMEDOUT;
            socklen_t len = sizeof(soError);
            if (ready > 0) getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
            errno = soError;
            rc = soError == 0 ? 0 : -1;
        }
        if (rc != 0) {
            *error = errorText(errno);
            continue;
        }
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        freeaddrinfo(found);
        error->clear();
        return fd;
    }
    freeaddrinfo(found);
    return UniqueFd();
}

std::string addressText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text,
                  sizeof(text));
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof(text));
        } else {
            inet_ntop(AF_INET6, &a, text, sizeof(text));
        }
    }
    return text;
}

int waitReadable(int fd, int timeoutMs, int wakeFd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (ready <= 0) return ready;
    return p[0].revents != 0 ? 1 : 0;
}

long raiseDescriptorLimit(long want) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    rlim_t target = static_cast<rlim_t>(want);
    if (limit.rlim_max != RLIM_INFINITY && target > limit.rlim_max) {
        rlimit raised = {target, target};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return want;  // privileged
        target = limit.rlim_max;
    }
    if (target > limit.rlim_cur) {
        limit.rlim_cur = target;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<long>(limit.rlim_cur);
}
