// service/: the TCP query service: the listening sockets and the accept loop
// (connectionmanager), one client and its request loop (connection), and the
// allow list (access). Entered by the main thread's accept loop, one thread per
// client, and the web thread reading the counters.
//
// Owns the listening socket and every live client Connection. The accept loop
// runs on the main thread; client threads call closeConnection on themselves;
// the metrics thread reads the counters.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "access.h"
#include "mutex.h"
#include "net.h"

class Connection;
class SensorManager;

// Settings of the listener beyond the port.
struct ListenOptions {
    // Clients the kernel queues before accept (see DEFAULT_BACKLOG).
    int backlog = DEFAULT_BACKLOG;
    // Local addresses to listen on, IPv4 or IPv6 literals; none means all
    // local IPv4 addresses. "::" alone also takes IPv4 clients.
    std::vector<std::string> addresses;
    // Clients outside it are accepted and closed at once.
    AllowList allow;
    // The most clients served at once; a client beyond it is accepted and
    // closed at once. 0 means as many as the descriptor limit leaves room
    // for besides reserveFds.
    int maxClients = 0;
    // Descriptors kept free of clients besides one per sensor: standard
    // streams, the log file, the web port's listener, the wake-up events, and
    // room to spare; the caller adds what its other services hold. Under a low
    // descriptor limit the reserve shrinks so that clients keep 16 descriptors
    // (a quarter of the limit when that is less); that is logged once.
    int reserveFds = 16;
    // Called once every socket listens, before the first client is accepted;
    // false ends the service as a configuration error.
    std::function<bool()> onListening;
    // Called when the count of clients or requests changes; must be cheap.
    std::function<void()> onChange;
    // Called from the accept loop every heartbeatMs (-1: never).
    int heartbeatMs = -1;
    std::function<void()> onHeartbeat;
};

// How the accept loop ended.
enum class ListenResult {
    STOPPED,     // shutdown was requested
    BAD_CONFIG,  // an address is no address, or onListening refused
    FAILED,      // the socket could not be set up, or accept failed for good
};

class ConnectionManager {
  public:
    explicit ConnectionManager(SensorManager* sensorManager);
    // Stops the clients (stopClients), then deletes the connections and
    // closes the listening socket.
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Listens on listenPort and accepts clients until shutdown is requested
    // or the socket fails; failures are logged.
    ListenResult startListen(int listenPort);
    // Asks every client thread to leave its loop and waits a bounded time
    // for them to do so.
    void stopClients() EXCLUDES(mutex);
    // Applies options; call before startListen.
    void setOptions(const ListenOptions& newOptions) { options = newOptions; }
    // Removes c from the list and deletes it. Called by c's own thread, which
    // must not touch c afterwards.
    void closeConnection(Connection* c) EXCLUDES(mutex);
    // Called by a client thread that left its loop on shutdown; its
    // Connection stays listed until the manager is destroyed.
    void connectionStopped() EXCLUDES(mutex);
    SensorManager* getSensorManager() const { return sensorManager; }
    // Clients being served now, and requests answered since start.
    int clientCount() EXCLUDES(mutex);
    uint64_t requestCount() const { return requests.load(std::memory_order_relaxed); }
    // Counts answered requests (one unless told); called by client threads.
    void countRequest(uint64_t n = 1) {
        requests.fetch_add(n, std::memory_order_relaxed);
        if (options.onChange) options.onChange();
    }

  private:
    // Serves the client on fd unless clientLimit are served already.
    void newConnection(int fd, const std::string& address) EXCLUDES(mutex);
    // Logs a failed accept; at most once a second while descriptors run out.
    void logAcceptError(int error);
    // Waits for the next client on any socket; false when the loop must end.
    bool acceptOne();
    // Accepts the client waiting on listener; false when the loop must end.
    bool acceptFrom(int listener);
    // Unlists and deletes c, which no thread serves any more.
    void forget(Connection* c) REQUIRES(mutex);

    std::vector<UniqueFd> listenSockets;                    // main thread
    std::chrono::steady_clock::time_point nextHeartbeat;    // main thread
    ListenOptions options;                                  // main thread
    int clientLimit = 0;                                    // main thread; 0: none
    std::chrono::steady_clock::time_point lastShortageLog;  // main thread
    SensorManager* const sensorManager;

    Mutex mutex;
    std::list<Connection*> connections GUARDED_BY(mutex);
    int serving GUARDED_BY(mutex) = 0;  // client threads inside their loops
    std::condition_variable_any allStopped;

    // 64 bits on every system: at thousands a second, 32 would wrap within days.
    std::atomic<uint64_t> requests{0};
};
