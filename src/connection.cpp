// A client's thread: request lines in, registry replies out, in order.
#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "connectionmanager.h"
#include "linebuffer.h"
#include "logging.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "tool.h"

namespace {
const size_t RECV_CHUNK_BYTES = 1024;
// The client loop needs little stack; a small one keeps thousands of idle
// clients cheap.
const size_t CLIENT_STACK_BYTES = 64 * 1024;
}  // namespace

Connection::Connection(ConnectionManager* manager, int fd) : manager(manager), fd(fd) {}

Connection::~Connection() {
    close(fd);
}

bool Connection::start() {
    if (spawnDetached(connectionThread, this, CLIENT_STACK_BYTES)) return true;
    logEvent(LOG_CRITICAL, "failed to spawn connection thread");
    return false;
}

void Connection::interrupt() {
    ::shutdown(fd, SHUT_RDWR);
}

void* connectionThread(void* c) {
    static_cast<Connection*>(c)->startServing();
    return nullptr;
}

void Connection::startServing() {
    LineBuffer requests(MAX_PENDING_REQUEST_BYTES, true);
    std::string line;
    char recBuff[RECV_CHUNK_BYTES];
    // A recv that gives up after one wait step does the work of poll and recv
    // in one system call, per request and per idle wake-up. The socket usually
    // has the step from the listener already.
    const bool recvWaits = manager->clientsWait() || limitSocketWait(fd);
    while (!shouldShutdown.load()) {
        if (!recvWaits) {
            int ready = waitReadable(fd);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                manager->closeConnection(this);
                return;
            }
            if (ready == 0) continue;
        }
        ssize_t n = recv(fd, recBuff, sizeof(recBuff), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) {
            logEvent(LOG_STAT, "lost client connection");
            manager->closeConnection(this);
            return;
        }
        requests.append(recBuff, static_cast<size_t>(n));
        while (requests.next(line)) {
            if (process(line) != 0) {
                logEvent(LOG_STAT, "error sending client reply");
                manager->closeConnection(this);
                return;
            }
        }
        if (requests.overflows() > 0) {
            // A request this long is no query: the client is not speaking our protocol.
            logEvent(LOG_STAT, "lost client connection");
            manager->closeConnection(this);
            return;
        }
    }
    manager->connectionStopped();
}

int Connection::process(std::string line) {
    // The traffic lines are built only when the level lets them through.
    const bool traced = logWanted(LOG_DEBUG);
    if (traced) logEventBeforeNext(LOG_DEBUG, "received '" + line + "'");
    std::string reading = manager->getSensorManager()->getReading(std::move(line));
    if (traced) logEvent(LOG_DEBUG, "sending '" + reading + "'");
    manager->countRequest();
    reading += "\r\n";
    size_t readingSize = reading.size();
    return sendall(fd, reading.data(), &readingSize);
}
