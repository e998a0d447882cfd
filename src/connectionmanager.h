// Owns the listening socket and every live client Connection. The accept loop
// runs on the main thread; client threads call closeConnection on themselves.
#pragma once
#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>

class Connection;
class SensorManager;

// Settings of the listener beyond the port; the defaults are the classic ones.
struct ListenOptions {
    // Clients the kernel queues before accept; a burst larger than this costs
    // the late clients a SYN retransmission (a second or more).
    int backlog = 5;
    // Local IPv4 address to listen on; empty means all local addresses.
    std::string address;
    // The most clients served at once; a client beyond it is accepted and
    // closed at once. 0 means no limit.
    int maxClients = 0;
};

class ConnectionManager {
  public:
    explicit ConnectionManager(SensorManager* sensorManager);
    // Stops the client threads, waits a bounded time for them to leave their
    // loops, then deletes the connections and closes the listening socket.
    virtual ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Listens on listenPort (all local IPv4 addresses) and accepts clients
    // until shutdown is requested or the socket fails; failures are logged.
    void startListen(int listenPort);
    // Applies options; call before startListen.
    void setOptions(const ListenOptions& newOptions) { options = newOptions; }
    // Removes c from the list and deletes it. Called by c's own thread, which
    // must not touch c afterwards.
    void closeConnection(Connection* c);
    // Called by a client thread that left its loop on shutdown; its
    // Connection stays listed until the manager is destroyed.
    void connectionStopped();
    SensorManager* getSensorManager() const { return sensorManager; }
    // Whether accepted sockets inherit the listener's wait step (limitSocketWait);
    // set before the first client thread starts.
    bool clientsWait() const { return acceptWaits; }
    // Clients being served now, and requests answered since start.
    int clientCount();
    unsigned long requestCount() const { return requests.load(std::memory_order_relaxed); }
    // Counts one answered request; called by client threads.
    void countRequest() { requests.fetch_add(1, std::memory_order_relaxed); }

  private:
    // Serves the client on fd unless maxClients are served already.
    void newConnection(int fd, const std::string& address);
    // Waits for the next client; false when the loop must end.
    bool acceptOne();

    int listenSocketFd = -1;   // main thread; the destructor closes it
    bool acceptWaits = false;  // accept itself waits one step; set by startListen
    ListenOptions options;     // main thread
    SensorManager* const sensorManager;

    // Guarded by mutex.
    std::mutex mutex;
    std::list<Connection*> connections;
    int serving = 0;  // client threads inside their loops
    std::condition_variable allStopped;

    std::atomic<unsigned long> requests{0};
};
