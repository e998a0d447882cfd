// The listening socket, the accept loop, and the life of client connections.
#include "connectionmanager.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "connection.h"
#include "logging.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "syserror.h"
#include "tool.h"

namespace {
// Client threads leave at once when their socket is shut down; this leaves
// room for a loaded machine.
const auto CLIENTS_EXIT_WAIT = std::chrono::milliseconds(2000);
// Query clients may use at least this many descriptors (a quarter of the
// limit when that is less), whatever the other services reserve.
const long MIN_CLIENT_FDS = 16;
// Pause after accept ran out of descriptors or memory, so the loop does not spin.
const int ACCEPT_BACKOFF_MS = 100;

// Errors of accept that concern one client or a passing shortage, not the socket.
bool transientAcceptError(int error) {
    switch (error) {
        case ECONNABORTED:
        case EPROTO:
        case EINTR:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return true;
        default:
            return false;
    }
}
}  // namespace

ConnectionManager::ConnectionManager(SensorManager* sensorManager) : sensorManager(sensorManager) {}

ConnectionManager::~ConnectionManager() {
    stopClients();
    MutexLock lock(mutex);
    // A thread still inside its loop after the wait may yet use its object.
    if (serving == 0) {
        for (Connection* c : connections) delete c;
        connections.clear();
    }
}

void ConnectionManager::stopClients() {
    MutexLock lock(mutex);
    if (serving <= 0) return;
    requestShutdown();
    for (Connection* c : connections) c->interrupt();
    lock.waitFor(allStopped, CLIENTS_EXIT_WAIT, [this]() REQUIRES(mutex) { return serving == 0; });
}

ListenResult ConnectionManager::startListen(int listenPort) {
    for (const std::string& address : options.addresses) {
        if (!isAddressLiteral(address)) {
            logEvent(LOG_CRITICAL, "invalid listen address '" + address + "'");
            return ListenResult::BAD_CONFIG;
        }
    }
    std::string error;
    listenSockets = openListenSockets(options.addresses, listenPort, options.backlog, &error);
    if (listenSockets.empty()) {
        logEvent(LOG_CRITICAL, error);
        return ListenResult::FAILED;
    }
    // A client must never take the descriptor a device needs to come back;
    // yet however much the other services reserve, clients keep a fair share.
    long fdLimit = raiseDescriptorLimit(0);
    long room = fdLimit - options.reserveFds - sensorManager->sensorCount();
    long fairShare = std::max(1L, std::min(MIN_CLIENT_FDS, fdLimit / 4));
    bool low = fdLimit > 0 && room < fairShare;
    if (low) room = fairShare;
    clientLimit = options.maxClients;
    if (fdLimit > 0 && (clientLimit == 0 || clientLimit > room))
        clientLimit = static_cast<int>(room);
    if (low) {
        logEvent(LOG_CRITICAL, "descriptor limit " + std::to_string(fdLimit) +
                                   " is low: serving at most " + itoa(clientLimit) +
                                   " clients at once");
    }
    logEvent(LOG_STAT, "waiting for incoming connections on port " + itoa(listenPort));
    if (options.onListening && !options.onListening()) return ListenResult::BAD_CONFIG;
    nextHeartbeat = std::chrono::steady_clock::now();
    while (!shouldShutdown.load()) {
        if (!acceptOne()) return ListenResult::FAILED;
    }
    return ListenResult::STOPPED;
}

bool ConnectionManager::acceptOne() {
    int timeout = shutdownWaitMs();
    if (options.heartbeatMs >= 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= nextHeartbeat) {
            options.onHeartbeat();
            nextHeartbeat = now + std::chrono::milliseconds(options.heartbeatMs);
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(nextHeartbeat - now).count();
        if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    std::vector<pollfd> waits;
    for (const UniqueFd& s : listenSockets) waits.push_back({s.get(), POLLIN, 0});
    waits.push_back({shutdownEventFd(), POLLIN, 0});
    waits.push_back({hangupEventFd(), POLLIN, 0});
    if (poll(waits.data(), waits.size(), timeout) < 0) {
        if (errno == EINTR) return true;
        logEvent(LOG_CRITICAL, "select on listen socket failed");
        return false;
    }
    if (waits.back().revents != 0 && takeHangup()) {
        logEvent(LOG_STAT,
                 "configuration is read only at start-up: restart the daemon to apply changes");
    }
    for (size_t i = 0; i < listenSockets.size(); ++i) {
        if (waits[i].revents != 0 && !acceptFrom(waits[i].fd)) return false;
    }
    return true;
}

bool ConnectionManager::acceptFrom(int listener) {
    sockaddr_storage remote;
    socklen_t size = sizeof(remote);
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&remote), &size, SOCK_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        logAcceptError(error);
        if (!transientAcceptError(error)) return false;
        if (error != ECONNABORTED && error != EPROTO && error != EINTR) {
            waitForShutdown(ACCEPT_BACKOFF_MS);
        }
        return true;
    }
    if (!options.allow.allows(remote)) {
        logEvent(LOG_STAT, "refused connection from " + addressText(remote));
        close(fd);
        return true;
    }
    newConnection(fd, addressText(remote));
    return true;
}

void ConnectionManager::logAcceptError(int error) {
    if (error == EMFILE || error == ENFILE) {
        auto now = std::chrono::steady_clock::now();
        if (now - lastShortageLog < std::chrono::seconds(1)) return;
        lastShortageLog = now;
    }
    logEvent(LOG_CRITICAL, systemError("accept connection", error));
}

void ConnectionManager::newConnection(int fd, const std::string& address) {
    Connection* c;
    {
        MutexLock lock(mutex);
        if (clientLimit > 0 && serving >= clientLimit) {
            logEvent(LOG_STAT, "too many clients, closing connection from " + address);
            close(fd);
            return;
        }
        c = new Connection(this, fd);
        c->self = connections.insert(connections.end(), c);
        ++serving;
    }
    if (options.onChange) options.onChange();
    logEvent(LOG_STAT, "incoming connection from " + address);
    // Listed before its thread runs, so the thread may end at once; started
    // outside the lock, since creating a thread is the slowest step of a new
    // client and ending clients must not wait for it. Only this thread (the
    // main thread, which also runs the destructor) starts connections.
    if (c->start()) return;
    // Nobody would ever serve this client: let it go now.
    MutexLock lock(mutex);
    forget(c);
}

void ConnectionManager::forget(Connection* c) {
    connections.erase(c->self);
    delete c;
    --serving;
    allStopped.notify_all();
    if (options.onChange) options.onChange();
}

void ConnectionManager::closeConnection(Connection* c) {
    MutexLock lock(mutex);
    forget(c);
}

int ConnectionManager::clientCount() {
    MutexLock lock(mutex);
    return serving;
}

void ConnectionManager::connectionStopped() {
    MutexLock lock(mutex);
    --serving;
    allStopped.notify_all();
}
