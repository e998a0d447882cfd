// Socket plumbing shared by the daemon and its tools: a descriptor owner,
// listening and connecting, sending whole buffers, and waits. No state; any
// thread may call it.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <vector>

// Owns one descriptor and closes it on destruction; -1 means none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Gives up ownership without closing.
    int release() {
        int old = fd;
        fd = -1;
        return old;
    }
    // Closes the descriptor held, then holds newFd.
    void reset(int newFd = -1);

  private:
    int fd = -1;
};

// Like send(2), but sends all *len bytes, continuing after short sends and
// EINTR, and never raises SIGPIPE. Stores the bytes sent in *len; returns 0,
// or -1 when a send failed.
int sendall(int s, const void* buff, size_t* len);

// The queue of connections that the kernel holds for accept, unless the
// configuration says otherwise: as deep as Linux lets a queue be by default
// (net.core.somaxconn, 4096 since Linux 5.4, caps any value given to listen).
// A burst of clients on a busy board waits in it; a client beyond a full queue
// is not refused but has its handshake dropped, retried for about a minute and
// then forgotten, after its connect() had already succeeded. The depth costs
// nothing until clients fill it.
const int DEFAULT_BACKLOG = 4096;

// A TCP socket listening on address (an IPv4 or IPv6 literal; empty means all
// local IPv4 addresses) and port, with SO_REUSEADDR. An IPv4 address mapped into
// IPv6 (::ffff:127.0.0.1) gets an IPv4 socket on that address. An IPv6 socket
// also takes IPv4 clients unless ipv6Only. Invalid with *error set to the log text of the
// step that failed ("failed to bind socket (Address already in use)").
UniqueFd openListenSocket(const std::string& address, int port, int backlog, std::string* error,
                          bool ipv6Only = true);

// Whether text is an IPv4 or IPv6 address literal, or empty (all addresses).
bool isAddressLiteral(const std::string& text);

// One listening socket per address (none given: all local IPv4 addresses);
// an address given twice, in any spelling (the mapped form of an IPv4 address
// included), gets one.
// "::" takes IPv4 clients too unless an IPv4 address is also given. Empty,
// with *error set, when any one of them fails.
std::vector<UniqueFd> openListenSockets(const std::vector<std::string>& addresses, int port,
                                        int backlog, std::string* error);

// A TCP connection to host (a name or literal) and port within timeoutMs.
// Invalid with *error set to the system's reason (such as "Connection
// refused") when no address answered.
UniqueFd connectTo(const std::string& host, int port, int timeoutMs, std::string* error);

// The text form of a peer's address: dotted IPv4, or IPv6 as usual; an IPv4
// address mapped into IPv6 shows as IPv4.
std::string addressText(const sockaddr_storage& peer);

// Waits up to timeoutMs (-1: no limit) until fd is readable or hung up, or
// wakeFd (when >= 0) is readable. Returns 1 when fd is ready, 0 on time-out or
// wake-up, -1 with errno on failure (EINTR means: wait again).
int waitReadable(int fd, int timeoutMs, int wakeFd = -1);

// Raises the soft limit of open descriptors towards want; above the hard
// limit only when the process may raise that too (root), else to the hard
// limit. Returns the soft limit in force afterwards.
long raiseDescriptorLimit(long want);
