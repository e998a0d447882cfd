// One TCP client: its socket and the thread that serves it. The manager
// creates and deletes it; only its own thread reads and writes the socket,
// the manager's teardown may shut it down to wake that thread.
#pragma once
#include <list>
#include <string>

class ConnectionManager;

class Connection {
  public:
    // Pending request bytes without a line end beyond which the client is
    // disconnected.
    static constexpr size_t MAX_PENDING_REQUEST_BYTES = 64 * 1024;

    // Takes ownership of fd. Call start() to run the client thread.
    Connection(ConnectionManager* manager, int fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the detached client thread; false (after logging) when it could
    // not be created.
    bool start();
    // Serves the client on the calling thread until it leaves, a read or send
    // fails, or shutdown is requested.
    void startServing();
    // Ends a blocked read or send at once; the socket stays open until the
    // object is deleted, so its number cannot be reused meanwhile.
    void interrupt();

    // The manager's place of this connection in its list.
    std::list<Connection*>::iterator self;

  private:
    // 0 when the reply went out whole, -1 when sending failed.
    int process(const std::string& line);

    ConnectionManager* const manager;
    const int fd;
};

// Entry of a client thread; c is the Connection.
void* connectionThread(void* c);
