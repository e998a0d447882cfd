// Usage text, the orderly exit, text utilities and shared system-call helpers.
#include "tool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "sighandler.h"

void showHelp() {
    printf("Usage: daemon [options] [config file]\n");
    printf("Options:\n");
    printf("   -d               Become a daemon\n");
    printf("   -h               Show this help\n");
    printf("Configuration is read from %s\n", "sensomarkUSB.conf");
    printf("or the given config file.\n");
    fflush(stdout);
}

namespace {
// Readable once shutdown() has begun; -1 when no event descriptor could be
// made (waits then end with their step, as before). Made at its first use,
// which is after the daemon switch that closes every descriptor.
int shutdownEventFd() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}
}  // namespace

void shutdown() {
    shouldShutdown.store(1);
    if (shutdownEventFd() >= 0) {
        uint64_t one = 1;
        if (write(shutdownEventFd(), &one, sizeof(one)) < 0) {
            // The waits then see the flag at their next step.
        }
    }
    logEvent(LOG_CRITICAL, "ending daemon");
    logShutdown();
    exit(0);
}

void stringTokenize(const std::string& str, std::vector<std::string>& tokens,
                    const std::string& delimiters) {
    std::string::size_type lastPos = str.find_first_not_of(delimiters, 0);
    std::string::size_type pos = str.find_first_of(delimiters, lastPos);
    while (pos != std::string::npos || lastPos != std::string::npos) {
        tokens.push_back(str.substr(lastPos, pos - lastPos));
        lastPos = str.find_first_not_of(delimiters, pos);
        pos = str.find_first_of(delimiters, lastPos);
    }
}

std::string itoa(int i) {
    char buffer[16];
    snprintf(buffer, sizeof(buffer), "%d", i);
    return buffer;
}

int sendall(int s, const void* buff, size_t* len) {
    const char* bytes = static_cast<const char*>(buff);
    size_t total = 0;
    int result = 0;
    while (total < *len) {
        ssize_t n = send(s, bytes + total, *len - total, MSG_NOSIGNAL);
        if (n == -1) {
            result = -1;
            break;
        }
        total += static_cast<size_t>(n);
    }
    *len = total;
    return result;
}

int waitReadable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, WAIT_STEP_MS);
}

int waitReadableOrShutdown(int fd) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {shutdownEventFd(), POLLIN, 0}};
    int ready = poll(p, p[1].fd >= 0 ? 2 : 1, WAIT_STEP_MS);
    return ready > 0 && p[0].revents == 0 ? 0 : ready;
}

bool limitSocketWait(int fd) {
    struct timeval step = {WAIT_STEP_MS / 1000, (WAIT_STEP_MS % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step)) == 0;
}

int openListenSocket(const std::string& address, int port, int backlog, std::string* error) {
    struct sockaddr_in local_addr = {};
    local_addr.sin_family = AF_INET;
    local_addr.sin_port = htons(static_cast<uint16_t>(port));
    local_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &local_addr.sin_addr) != 1) {
        *error = "invalid listen address '" + address + "'";
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        *error = "failed to create socket";
        return -1;
    }
    int yes = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) < 0) {
        *error = "failed to set socket options";
    } else if (bind(fd, reinterpret_cast<sockaddr*>(&local_addr), sizeof(local_addr)) == -1) {
        *error = std::string("failed to bind socket (") + strerror(errno) + ")";
    } else if (listen(fd, backlog) == -1) {
        *error = std::string("failed to listen socket (") + strerror(errno) + ")";
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

std::string peerAddress(const struct sockaddr_in& peer) {
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
    return address;
}

bool spawnDetached(void* (*entry)(void*), void* arg, size_t stackBytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t thread;
    bool started = pthread_create(&thread, &attr, entry, arg) == 0;
    pthread_attr_destroy(&attr);
    return started;
}
