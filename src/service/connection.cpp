// A client's thread: request lines in, registry replies out, in order.
#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "connectionmanager.h"
#include "linebuffer.h"
#include "logging.h"
#include "net.h"
#include "protocol.h"
#include "sensormanager.h"
#include "sighandler.h"
#include "threads.h"

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
    // recv blocks without a time-out: an idle client costs no wake-ups. At
    // shutdown the manager shuts the socket down, which ends the wait.
    while (!shouldShutdown.load()) {
        ssize_t n = recv(fd, recBuff, sizeof(recBuff), 0);
        if (n < 0 && errno == EINTR) continue;
        if (shouldShutdown.load()) break;
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

int Connection::process(const std::string& line) {
    // The traffic lines are built only when the level lets them through.
    const bool traced = logWanted(LOG_DEBUG);
    if (traced) logEventBeforeNext(LOG_DEBUG, "received '" + line + "'");
    std::string reading = manager->getSensorManager()->getReading(line);
    if (traced) logEvent(LOG_DEBUG, "sending '" + reading + "'");
    manager->countRequest();
    reading += REPLY_END;
    size_t readingSize = reading.size();
    return sendall(fd, reading.data(), &readingSize);
}
