// The listening socket, the accept loop, and the life of client connections.
#include "connectionmanager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "connection.h"
#include "logging.h"
#include "sighandler.h"
#include "tool.h"

namespace {
// Client threads see the shutdown flag within one 200 ms step.
const auto CLIENTS_EXIT_WAIT = std::chrono::milliseconds(2000);
// Pause after accept ran out of descriptors or memory, so the loop does not spin.
const useconds_t ACCEPT_BACKOFF_US = 100000;

std::string errorText() {
    return strerror(errno);
}

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
    std::unique_lock<std::mutex> lock(mutex);
    if (serving > 0) {
        shouldShutdown.store(1);
        for (Connection* c : connections) c->interrupt();
        allStopped.wait_for(lock, CLIENTS_EXIT_WAIT, [this] { return serving == 0; });
    }
    // A thread still inside its loop after the wait may yet use its object.
    if (serving == 0) {
        for (Connection* c : connections) delete c;
        connections.clear();
    }
    if (listenSocketFd >= 0) close(listenSocketFd);
}

void ConnectionManager::startListen(int listenPort) {
    std::string error;
    listenSocketFd = openListenSocket(options.address, listenPort, options.backlog, &error);
    if (listenSocketFd < 0) {
        logEvent(LOG_CRITICAL, error);
        return;
    }
    logEvent(LOG_STAT, "waiting for incoming connections on port " + itoa(listenPort));
    // One system call per client instead of poll then accept.
    acceptWaits = limitSocketWait(listenSocketFd);
    while (!shouldShutdown.load() && acceptOne()) {
    }
}

bool ConnectionManager::acceptOne() {
    if (!acceptWaits) {
        int ready = waitReadable(listenSocketFd);
        if (ready < 0 && errno == EINTR) return true;
        if (ready < 0) {
            logEvent(LOG_CRITICAL, "select on listen socket failed");
            return false;
        }
        if (ready == 0) return true;
    }

    struct sockaddr_in remote_addr;
    socklen_t sin_size = sizeof(remote_addr);
    int new_fd = accept(listenSocketFd, reinterpret_cast<sockaddr*>(&remote_addr), &sin_size);
    if (new_fd < 0) {
        int error = errno;
        // The wait step ended without a client, or a signal cut it short.
        if (acceptWaits && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) return true;
        logEvent(LOG_CRITICAL, "failed to accept connection (" + errorText() + ")");
        if (!transientAcceptError(error)) return false;
        if (error != ECONNABORTED && error != EPROTO && error != EINTR) usleep(ACCEPT_BACKOFF_US);
        return true;
    }
    newConnection(new_fd, peerAddress(remote_addr));
    return true;
}

void ConnectionManager::newConnection(int fd, const std::string& address) {
    Connection* c;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (options.maxClients > 0 && serving >= options.maxClients) {
            logEvent(LOG_STAT, "too many clients, closing connection from " + address);
            close(fd);
            return;
        }
        c = new Connection(this, fd);
        c->self = connections.insert(connections.end(), c);
        ++serving;
    }
    logEvent(LOG_STAT, "incoming connection from " + address);
    // Listed before its thread runs, so the thread may end at once; started
    // outside the lock, since creating a thread is the slowest step of a new
    // client and ending clients must not wait for it. Only this thread (the
    // main thread, which also runs the destructor) starts connections.
    if (c->start()) return;
    // Nobody would ever serve this client: let it go now.
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(c->self);
    delete c;
    --serving;
    allStopped.notify_all();
}

void ConnectionManager::closeConnection(Connection* c) {
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(c->self);
    delete c;
    --serving;
    allStopped.notify_all();
}

int ConnectionManager::clientCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return serving;
}

void ConnectionManager::connectionStopped() {
    std::lock_guard<std::mutex> lock(mutex);
    --serving;
    allStopped.notify_all();
}
