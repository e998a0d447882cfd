// A small HTTP/1.1 server for the daemon's web port: one thread polls every
// listening socket and every client, so a slow or stalled client delays
// nobody. Each connection carries one request (Connection: close); request
// heads, the time to send one, the time to take a response and the number of
// connections are bounded. Routing is the caller's: a handler turns a parsed
// request into a response. Bodies of 1 KiB and more go out gzip-compressed to
// clients that accept it (browsers and Prometheus do).
//
// A successful response is made at most once per second, cache key (what it
// depends on; by default the target) and encoding, and shared, read-only, by
// every connection that sends it: memory holds one copy per endpoint, not one
// per client. Complete requests wait in
// a queue (at most one per connection); each turn of the loop answers those
// whose reply is made already and takes one step (the handler's answer, or
// compressing it) for the request that has waited longest, so a request with
// its reply at hand waits for at most one step. The stop is seen between any
// two steps.
#pragma once
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

struct HttpReply;  // a response as it goes out (http.cpp)

struct HttpRequest {
    std::string method;  // "GET" or "HEAD": the server answers other methods itself
    std::string target;  // as sent: "/history.json?name=cellar"
    std::string path;    // the target up to "?"
    std::string query;   // after "?", still percent-encoded; empty without one
    std::string head;    // the whole request head
    sockaddr_storage peer = {};

    // The values of every header field called name (any case), each without
    // the blanks around it, joined by ", " (one list, as several field lines
    // of a list mean); empty when there is none.
    std::string header(const std::string& name) const;

    // The value of key in the query string, percent-decoded ("+" is a space);
    // false when the key is absent.
    bool queryValue(const std::string& key, std::string* value) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::string> headers;  // further header lines, without CR LF
};

// Whether the request's Accept-Encoding lists gzip (or x-gzip), or "*" with
// no word on gzip, at a weight above zero.
bool acceptsGzip(const HttpRequest& request);

// Percent-decodes text ("+" becomes a space); a "%" without two hex digits stays as it is.
std::string percentDecode(const std::string& text);
// Percent-encodes every byte of text but letters, digits and "-._~", for a query value.
std::string percentEncode(const std::string& text);

class HttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Decides from the peer's address whether a connection is served; one that
    // is not is closed at once.
    using Filter = std::function<bool(const sockaddr_storage& peer)>;

    struct Limits {
        size_t maxHeadBytes = 8192;  // a longer request head is answered 400
        int headTimeoutMs = 2000;    // from accept to the end of the request head
        int sendTimeoutMs = 10000;   // to hand one whole response to the client
        int lingerMs = 1000;         // reading what a client still sends after the response
        size_t maxConnections =
            64;                   // at the cap a new client replaces the oldest unfinished request
        int acceptPauseMs = 100;  // no accept for this long when descriptors run out
        int cacheMs = 1000;       // a made reply is sent to further requests for this long
    };

    // The key under which the reply to a request is kept: requests with one
    // key share one reply. Null: the target as sent.
    using CacheKey = std::function<std::string(const HttpRequest&)>;

    explicit HttpServer(Handler handler) : HttpServer(std::move(handler), Limits()) {}
    HttpServer(Handler handler, Limits limits, CacheKey cacheKey = nullptr);
    // Stops the thread and waits for it; it never waits for a client.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serves clients of every listener (listening sockets) on a new thread
    // until stop() or the daemon's shutdown. False when the thread or its
    // wake-up descriptor cannot be made.
    bool start(std::vector<UniqueFd> listeners, Filter filter = nullptr);
    // Ends the thread: open connections are closed, unanswered or not.
    void stop();

    // The whole response (status line, headers, body) to one request head (up
    // to its blank line, or cut off when over the limit) from peer, made
    // afresh.
    static std::string respond(const std::string& head, const sockaddr_storage& peer,
                               const Handler& handler, size_t maxHeadBytes = 8192);

    // Responses kept for reuse at most; beyond, the oldest is dropped.
    static constexpr size_t MAX_CACHED = 32;

  private:
    struct Connection;
    using Clock = std::chrono::steady_clock;
    using ReplyPtr = std::shared_ptr<const HttpReply>;

    void run();
    // Whether stop() was called or the daemon shuts down.
    bool stopping() const;
    void acceptFrom(int listener);
    // The connection a new client may replace at the cap; null when none may go.
    Connection* replaceable() const;
    // Closes replaceable(); false when there is none.
    bool makeRoom();
    void onReadable(Connection& c);
    void onWritable(Connection& c);
    // Answers the queued requests that have a fresh answer, then makes one
    // step of the answer for the request that has waited longest.
    void serveQueue();
    // Takes the complete request head of c: refused at once, or queued.
    void onRequest(Connection& c);
    void startReply(Connection& c, ReplyPtr reply);
    // The kept reply to the request of c; null when there is none.
    ReplyPtr cached(const Connection& c) const;
    // Makes one step of the reply to the request of c at now and keeps what
    // may be shared: the handler's answer, or the compressed one from the
    // kept plain one. Null when the reply needs another step.
    ReplyPtr makeStep(Connection& c, Clock::time_point now);

    Handler handler;
    CacheKey cacheKey;
    Filter filter;
    Limits limits;
    std::vector<UniqueFd> listeners;
    UniqueFd wake;                     // eventfd: readable once stop() was called
    std::atomic<bool> stopped{false};  // set by stop() before it writes wake
    // Of the thread only:
    std::vector<std::unique_ptr<Connection>> connections;
    std::deque<Connection*> queue;  // complete requests, oldest first; never closed there
    struct Cached {
        ReplyPtr plain, gzip;  // gzip: null until a client asks for it
        Clock::time_point made;
    };
    std::map<std::string, Cached> cache;  // by cacheKey; made within cacheMs
    uint64_t accepted = 0;
    Clock::time_point acceptResumes;  // accept is paused until then
    Clock::time_point lastShortageLog;
    std::thread thread;
};
