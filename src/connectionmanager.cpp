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
    listenSocketFd = socket(AF_INET, SOCK_STREAM, 0);
    if (listenSocketFd < 0) {
        logEvent(LOG_CRITICAL, "failed to create socket");
        return;
    }
    int yes = 1;
    if (setsockopt(listenSocketFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) < 0) {
        logEvent(LOG_CRITICAL, "failed to set socket options");
        return;
    }
    struct sockaddr_in local_addr = {};
    local_addr.sin_family = AF_INET;
    local_addr.sin_port = htons(static_cast<uint16_t>(listenPort));
    local_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listenSocketFd, reinterpret_cast<sockaddr*>(&local_addr), sizeof(local_addr)) == -1) {
        logEvent(LOG_CRITICAL, "failed to bind socket (" + errorText() + ")");
        return;
    }
    if (listen(listenSocketFd, options.backlog) == -1) {
        logEvent(LOG_CRITICAL, "failed to listen socket (" + errorText() + ")");
        return;
    }
    logEvent(LOG_STAT, "waiting for incoming connections on port " + itoa(listenPort));
    while (!shouldShutdown.load() && acceptOne()) {
    }
}

bool ConnectionManager::acceptOne() {
    int ready = waitReadable(listenSocketFd);
    if (ready < 0 && errno == EINTR) return true;
    if (ready < 0) {
        logEvent(LOG_CRITICAL, "select on listen socket failed");
        return false;
    }
    if (ready == 0) return true;

    struct sockaddr_in remote_addr;
    socklen_t sin_size = sizeof(remote_addr);
    int new_fd = accept(listenSocketFd, reinterpret_cast<sockaddr*>(&remote_addr), &sin_size);
    if (new_fd < 0) {
        int error = errno;
        logEvent(LOG_CRITICAL, "failed to accept connection (" + errorText() + ")");
        if (!transientAcceptError(error)) return false;
        if (error != ECONNABORTED && error != EPROTO && error != EINTR) usleep(ACCEPT_BACKOFF_US);
        return true;
    }
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &remote_addr.sin_addr, address, sizeof(address));
    logEvent(LOG_STAT, std::string("incoming connection from ") + address);
    newConnection(new_fd);
    return true;
}

void ConnectionManager::newConnection(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    Connection* c = new Connection(this, fd);
    c->self = connections.insert(connections.end(), c);
    // The thread may end at once: it then waits in closeConnection for this lock.
    if (c->start()) {
        ++serving;
    } else {
        // Nobody would ever serve this client: let it go now.
        connections.erase(c->self);
        delete c;
    }
}

void ConnectionManager::closeConnection(Connection* c) {
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(c->self);
    delete c;
    --serving;
    allStopped.notify_all();
}

void ConnectionManager::connectionStopped() {
    std::lock_guard<std::mutex> lock(mutex);
    --serving;
    allStopped.notify_all();
}
