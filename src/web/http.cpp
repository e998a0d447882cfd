// The poll loop of the web port: non-blocking sockets, a read buffer and a
// write buffer per connection, and a deadline for each step. Nothing here
// blocks, so the loop sleeps only in poll(), which also watches the shutdown
// event; with no client and no accept pause it sleeps without a time-out.
#include "http.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>

#include "logging.h"
#include "sighandler.h"
#include "syserror.h"
#include "threads.h"

struct HttpReply {
    HttpResponse response;  // its body as sent: compressed with Content-Encoding gzip
    std::string head;       // status line and header fields, up to the blank line
};

struct HttpServer::Connection {
    enum class State {
        READING,   // the request head is arriving
        QUEUED,    // the head is complete; waiting for its turn to be answered
        WRITING,   // the response is being sent
        LINGERING  // sent and shut for writing: reading what the client still sends, then close
    };
    UniqueFd fd;
    sockaddr_storage peer = {};
    State state = State::READING;
    uint64_t serial = 0;  // accept order
    std::string in;
    HttpRequest request;  // once QUEUED
    std::string key;      // of its reply in the cache
    bool gzip = false;    // the client takes gzip
    // While WRITING, the reply; shared with the cache and other connections.
    // While QUEUED, the plain reply made for it that is to be compressed.
    ReplyPtr reply;
    bool headOnly = false;
    size_t sent = 0;  // bytes of the head and the body
    Clock::time_point deadline = Clock::time_point::max();
    bool closed = false;
};

namespace {

using ReplyPtr = std::shared_ptr<const HttpReply>;

const size_t READ_CHUNK_BYTES = 4096;
// Connections accepted per wake-up of one listener, so that the clients
// already connected keep their turn.
const int ACCEPTS_PER_WAKE = 32;
const int LINGER_READS_PER_WAKE = 16;

const char* reasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        default:
            return "Internal Server Error";
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where the request head ends (after its blank line), or npos.
size_t headEnd(const std::string& in) {
    size_t crlf = in.find("\r\n\r\n"), lf = in.find("\n\n");
    size_t end = std::string::npos;
    if (crlf != std::string::npos) end = crlf + 4;
    if (lf != std::string::npos) end = std::min(end, lf + 2);
    return end;
}

// Bodies shorter than this go out as they are.
const size_t GZIP_MIN_BYTES = 1024;
// Above this the fastest level: a large exposition, a month's page or a year
// as JSON or CSV must not hold the thread long (at the default level a
// quarter of a megabyte takes some 20 ms).
const size_t GZIP_FAST_ABOVE_BYTES = 256 * 1024;

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The value of a weight: "0" or "1", then up to three decimals after ".",
// at most 1; -1 when text is none.
double weightOf(const std::string& text) {
    auto digit = [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.empty() || text.size() > 5 || (text[0] != '0' && text[0] != '1')) return -1;
    if (text.size() > 1 && (text[1] != '.' || !std::all_of(text.begin() + 2, text.end(), digit)))
        return -1;
    double weight = strtod(text.c_str(), nullptr);
    return weight > 1 ? -1 : weight;
}

// in as one gzip member into out; false when zlib fails.
bool gzip(const std::string& in, std::string* out) {
    z_stream z = {};
    int level = in.size() > GZIP_FAST_ABOVE_BYTES ? 1 : Z_DEFAULT_COMPRESSION;
    // 15 + 16: the largest window, with a gzip header and trailer.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out->assign(deflateBound(&z, in.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out->data());
    z.avail_out = static_cast<uInt>(out->size());
    int rc = deflate(&z, Z_FINISH);
    out->resize(z.total_out);
    out->shrink_to_fit();
    deflateEnd(&z);
    return rc == Z_STREAM_END;
}

// response as it goes out, with its head.
ReplyPtr finish(HttpResponse response) {
    auto reply = std::make_shared<HttpReply>();
    reply->head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonOf(response.status) +
                  "\r\nContent-Type: " + response.contentType +
                  "\r\nContent-Length: " + std::to_string(response.body.size()) +
                  "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const std::string& line : response.headers) reply->head += line + "\r\n";
    reply->head += "Connection: close\r\n\r\n";
    reply->response = std::move(response);
    return reply;
}

// The reply plain (a successful one) compressed; plain itself when its body
// is short or zlib fails.
ReplyPtr compressed(const ReplyPtr& plain) {
    std::string body;
    if (plain->response.body.size() < GZIP_MIN_BYTES || !gzip(plain->response.body, &body))
        return plain;
    HttpResponse response{plain->response.status, plain->response.contentType, std::move(body),
                          plain->response.headers};
    response.headers.push_back("Content-Encoding: gzip");
    return finish(std::move(response));
}

// The handler's answer to request; 500 when it throws.
ReplyPtr answer(const HttpServer::Handler& handler, const HttpRequest& request) {
    HttpResponse response;
    try {
        response = handler(request);
    } catch (const std::exception& e) {
        logEvent(LOG_CRITICAL, std::string("cannot answer a web request: ") + e.what());
        response = HttpResponse();
        response.status = 500;
        response.body = "internal error\n";
    }
    if (response.status == 200) response.headers.push_back("Vary: Accept-Encoding");
    return finish(std::move(response));
}

// Parses head (up to its blank line, or cut off when over maxHeadBytes) into
// request; the reply that refuses it (400, 405), or null for a request to answer.
ReplyPtr parse(const std::string& head, const sockaddr_storage& peer, size_t maxHeadBytes,
               HttpRequest* request) {
    std::istringstream firstLine(head.substr(0, head.find_first_of("\r\n")));
    std::string version;
    firstLine >> request->method >> request->target >> version;
    HttpResponse refusal;
    if (head.size() > maxHeadBytes) {
        refusal.status = 400;
        refusal.body = "request head too long\n";
    } else if (request->method.empty() || request->target.empty() ||
               version.compare(0, 5, "HTTP/") != 0) {
        refusal.status = 400;
        refusal.body = "malformed request\n";
    } else if (request->method != "GET" && request->method != "HEAD") {
        refusal.status = 405;
        refusal.body = "only GET is served\n";
        refusal.headers.push_back("Allow: GET, HEAD");
    } else {
        size_t question = request->target.find('?');
        request->path = request->target.substr(0, question);
        if (question != std::string::npos) request->query = request->target.substr(question + 1);
        request->head = head;
        request->peer = peer;
        return nullptr;
    }
    return finish(std::move(refusal));
}

bool outOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int millisUntil(std::chrono::steady_clock::time_point when,
                std::chrono::steady_clock::time_point now) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, 60 * 60 * 1000));
}

}  // namespace

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string HttpRequest::header(const std::string& name) const {
    std::string wanted = lowercase(name) + ":", values;
    size_t start = head.find('\n');
    while (start != std::string::npos && start + 1 < head.size()) {
        size_t end = head.find('\n', start + 1);
        std::string line = head.substr(start + 1, end == std::string::npos ? end : end - start - 1);
        if (lowercase(line.substr(0, wanted.size())) == wanted) {
            std::string value = trimmed(line.substr(wanted.size()));
            if (!value.empty()) values += (values.empty() ? "" : ", ") + value;
        }
        start = end;
    }
    return values;
}

bool acceptsGzip(const HttpRequest& request) {
    // A list of codings, each with parameters after ";", its weight "q=..."
    // (1 without one, 0 refuses). gzip stands for itself, "*" for codings
    // not named.
    double named = -1, others = -1;
    std::string list = lowercase(request.header("Accept-Encoding"));
    for (size_t start = 0; start < list.size();) {
        size_t end = std::min(list.find(',', start), list.size());
        std::string element = list.substr(start, end - start);
        start = end + 1;
        size_t semicolon = element.find(';');
        std::string coding = trimmed(element.substr(0, semicolon));
        double weight = 1;
        while (semicolon != std::string::npos) {
            size_t next = element.find(';', semicolon + 1);
            std::string parameter = trimmed(element.substr(semicolon + 1, next - semicolon - 1));
            if (parameter.compare(0, 2, "q=") == 0) weight = weightOf(parameter.substr(2));
            semicolon = next;
        }
        if (weight < 0) continue;  // an element with a broken weight says nothing
        if ((coding == "gzip" || coding == "x-gzip") && named < 0) named = weight;
        if (coding == "*" && others < 0) others = weight;
    }
    return (named >= 0 ? named : others) > 0;
}

std::string percentEncode(const std::string& text) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += HEX[u >> 4];
            out += HEX[u & 15];
        }
    }
    return out;
}

bool HttpRequest::queryValue(const std::string& key, std::string* value) const {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string field = query.substr(start, end - start);
        size_t eq = field.find('=');
        if (percentDecode(field.substr(0, eq)) == key) {
            *value = eq == std::string::npos ? "" : percentDecode(field.substr(eq + 1));
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string HttpServer::respond(const std::string& head, const sockaddr_storage& peer,
                                const Handler& handler, size_t maxHeadBytes) {
    HttpRequest request;
    ReplyPtr reply = parse(head, peer, maxHeadBytes, &request);
    if (!reply) {
        reply = answer(handler, request);
        if (reply->response.status == 200 && acceptsGzip(request)) reply = compressed(reply);
    }
    return reply->head + (request.method == "HEAD" ? "" : reply->response.body);
}

HttpServer::HttpServer(Handler handler, Limits limits, CacheKey cacheKey)
    : handler(std::move(handler)), cacheKey(std::move(cacheKey)), limits(limits) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(std::vector<UniqueFd> newListeners, Filter newFilter) {
    wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) {
        logEvent(LOG_CRITICAL,
                 "cannot start the web server: " + systemError("create its wake-up event"));
        return false;
    }
    listeners = std::move(newListeners);
    for (const UniqueFd& l : listeners) {
        int flags = fcntl(l.get(), F_GETFL);
        fcntl(l.get(), F_SETFL, flags | O_NONBLOCK);
    }
    filter = std::move(newFilter);
    std::string error;
    if (startThread(
            &thread, [this] { run(); }, &error))
        return true;
    logEvent(LOG_CRITICAL, "cannot start the web server: " + error);
    return false;
}

void HttpServer::stop() {
    if (!thread.joinable()) return;
    stopped.store(true);
    uint64_t one = 1;
    if (write(wake.get(), &one, sizeof(one)) < 0) {
        // A full counter is readable already.
    }
    thread.join();
}

bool HttpServer::stopping() const {
    return stopped.load() || shouldShutdown.load();
}

void HttpServer::run() {
    pthread_setname_np(pthread_self(), "web");  // shows in top -H and /proc/PID/task/*/comm
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;  // the connection of fds[i], null for other descriptors
    auto eraseClosed = [this] {
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const auto& c) { return c->closed; }),
                          connections.end());
    };
    while (!stopping()) {
        Clock::time_point now = Clock::now();
        // Steps past their deadline end here; the rest decide the time-out.
        for (auto& c : connections)
            if (now >= c->deadline) c->closed = true;
        eraseClosed();

        fds.clear();
        polled.clear();
        fds.push_back({wake.get(), POLLIN, 0});
        polled.push_back(nullptr);
        if (shutdownEventFd() >= 0) {
            fds.push_back({shutdownEventFd(), POLLIN, 0});
            polled.push_back(nullptr);
        }
        // Queued requests are answered after a look at every socket.
        int timeoutMs = queue.empty() ? shutdownWaitMs() : 0;
        auto waitAtMost = [&](int ms) {
            if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
        };
        bool paused = now < acceptResumes;
        if (paused) waitAtMost(millisUntil(acceptResumes, now));
        size_t firstListener = fds.size();
        // At the cap with nobody to replace, new clients wait in the backlog.
        if (!paused && (connections.size() < limits.maxConnections || replaceable() != nullptr))
            for (const UniqueFd& l : listeners) {
                fds.push_back({l.get(), POLLIN, 0});
                polled.push_back(nullptr);
            }
        size_t listenerEnd = fds.size();
        for (auto& c : connections) {
            if (c->state == Connection::State::QUEUED) continue;
            short events = c->state == Connection::State::WRITING ? POLLOUT : POLLIN;
            fds.push_back({c->fd.get(), events, 0});
            polled.push_back(c.get());
            waitAtMost(millisUntil(c->deadline, now));
        }

        int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) {
            logEvent(LOG_CRITICAL, "web server: " + systemError("poll"));
            break;
        }
        if (fds[0].revents != 0 || stopping()) break;
        if (ready > 0) {
            for (size_t i = listenerEnd; i < fds.size() && !stopping(); ++i) {
                if (fds[i].revents == 0) continue;
                Connection& c = *polled[i];
                if (c.state == Connection::State::WRITING) {
                    onWritable(c);
                } else {
                    onReadable(c);
                }
            }
            eraseClosed();
            for (size_t i = firstListener; i < listenerEnd && !stopping(); ++i)
                if (fds[i].revents != 0) acceptFrom(fds[i].fd);
        }
        serveQueue();
    }
    queue.clear();
    connections.clear();  // closes every client, answered or not
    cache.clear();
}

HttpServer::Connection* HttpServer::replaceable() const {
    // A finished exchange goes first, then the request that has been waiting
    // longest for its head; a request with its head complete is never dropped,
    // and a response being sent is never cut short.
    Connection* victim = nullptr;
    for (const auto& c : connections) {
        if (c->state == Connection::State::LINGERING) return c.get();
        if (c->state == Connection::State::READING && (!victim || c->serial < victim->serial))
            victim = c.get();
    }
    return victim;
}

bool HttpServer::makeRoom() {
    Connection* victim = replaceable();
    if (victim == nullptr) return false;
    victim->closed = true;
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const auto& c) { return c->closed; }),
                      connections.end());
    return true;
}

void HttpServer::acceptFrom(int listener) {
    for (int n = 0; n < ACCEPTS_PER_WAKE && !stopping(); ++n) {
        Clock::time_point now = Clock::now();
        if (connections.size() >= limits.maxConnections) {
            // Only poll's word that a client waits is worth a replacement:
            // one per wake-up, made before the accept, so the cap always holds.
            if (n > 0 || !makeRoom()) return;
        }
        sockaddr_storage peer = {};
        socklen_t len = sizeof(peer);
        UniqueFd fd(accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len,
                            SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (outOfDescriptors(errno)) {
                // Polling the listener again at once would spin: it stays
                // readable until a descriptor is free to take the client.
                acceptResumes = now + std::chrono::milliseconds(limits.acceptPauseMs);
                if (now - lastShortageLog >= std::chrono::seconds(1)) {
                    lastShortageLog = now;
                    logEvent(LOG_CRITICAL, "web server: " + systemError("accept") + ", pausing");
                }
            }
            return;  // EAGAIN: nobody left; anything else: a client that gave up
        }
        if (filter && !filter(peer)) continue;
        auto c = std::make_unique<Connection>();
        c->fd = std::move(fd);
        c->peer = peer;
        c->serial = ++accepted;
        c->deadline = now + std::chrono::milliseconds(limits.headTimeoutMs);
        Connection& added = *c;
        connections.push_back(std::move(c));
        onReadable(added);  // the request often came with the connection
        if (added.closed) connections.pop_back();
    }
}

void HttpServer::onReadable(Connection& c) {
    char buffer[READ_CHUNK_BYTES];
    // A client that keeps sending after its response gets a few reads per
    // turn, not the thread.
    for (int reads = 0; !c.closed && (c.state == Connection::State::READING ||
                                      c.state == Connection::State::LINGERING);
         ++reads) {
        if (c.state == Connection::State::LINGERING && reads >= LINGER_READS_PER_WAKE) return;
        ssize_t n = recv(c.fd.get(), buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.closed = true;  // the client left (or reset): nobody to answer
            return;
        }
        if (c.state == Connection::State::LINGERING) continue;  // read and dropped
        c.in.append(buffer, static_cast<size_t>(n));
        size_t end = headEnd(c.in);
        if (end != std::string::npos) {
            c.in.resize(end);
            onRequest(c);
        } else if (c.in.size() > limits.maxHeadBytes) {
            onRequest(c);  // answered 400
        }
    }
}

void HttpServer::onRequest(Connection& c) {
    ReplyPtr refusal = parse(c.in, c.peer, limits.maxHeadBytes, &c.request);
    c.in.clear();
    c.in.shrink_to_fit();
    if (refusal) {
        startReply(c, std::move(refusal));
        return;
    }
    c.key = cacheKey ? cacheKey(c.request) : c.request.target;
    c.gzip = acceptsGzip(c.request);
    c.state = Connection::State::QUEUED;
    c.deadline = Clock::time_point::max();  // a queued request is answered in its turn
    queue.push_back(&c);
}

void HttpServer::serveQueue() {
    // Kept replies older than cacheMs are dropped: all in the cache are fresh.
    Clock::time_point now = Clock::now();
    for (auto it = cache.begin(); it != cache.end();)
        it = now - it->second.made < std::chrono::milliseconds(limits.cacheMs) ? std::next(it)
                                                                               : cache.erase(it);
    // What is made already goes out first; then the request that has waited
    // longest gets one step of its reply made, so that a look at every socket
    // (and at the stop) comes between any two. One with a step left goes to
    // the back: the others' steps come first.
    for (auto it = queue.begin(); it != queue.end() && !stopping();) {
        ReplyPtr reply = cached(**it);
        if (!reply) {
            ++it;
            continue;
        }
        Connection& c = **it;
        it = queue.erase(it);
        startReply(c, std::move(reply));
    }
    if (queue.empty() || stopping()) return;
    Connection& c = *queue.front();
    queue.pop_front();
    if (ReplyPtr reply = makeStep(c, now)) {
        startReply(c, std::move(reply));
    } else {
        queue.push_back(&c);
    }
}

HttpServer::ReplyPtr HttpServer::cached(const Connection& c) const {
    auto it = cache.find(c.key);
    if (it == cache.end()) return nullptr;
    return c.gzip ? it->second.gzip : it->second.plain;
}

HttpServer::ReplyPtr HttpServer::makeStep(Connection& c, Clock::time_point now) {
    auto it = cache.find(c.key);
    ReplyPtr plain = c.reply ? c.reply : it != cache.end() ? it->second.plain : nullptr;
    if (plain && c.gzip) {
        // Only the compressed reply is missing; it is kept while the plain one is.
        ReplyPtr packed = compressed(plain);
        if (it != cache.end() && it->second.plain == plain) it->second.gzip = packed;
        return packed;
    }
    if (plain) return plain;
    plain = answer(handler, c.request);
    // Only successful replies are shared: the others are short and cheap.
    if (plain->response.status != 200) return plain;
    if (it == cache.end() && cache.size() >= MAX_CACHED)
        cache.erase(std::min_element(cache.begin(), cache.end(), [](const auto& a, const auto& b) {
            return a.second.made < b.second.made;
        }));
    cache[c.key] = Cached{plain, nullptr, now};
    if (!c.gzip) return plain;
    c.reply = plain;  // compressing is a step of its own, whether or not it is kept then
    return nullptr;
}

void HttpServer::startReply(Connection& c, ReplyPtr reply) {
    c.reply = std::move(reply);
    c.headOnly = c.request.method == "HEAD";
    c.request = HttpRequest();
    c.state = Connection::State::WRITING;
    c.deadline = Clock::now() + std::chrono::milliseconds(limits.sendTimeoutMs);
    onWritable(c);
}

void HttpServer::onWritable(Connection& c) {
    const std::string& head = c.reply->head;
    const std::string& body = c.reply->response.body;
    size_t total = head.size() + (c.headOnly ? 0 : body.size());
    while (c.sent < total) {
        iovec parts[2];
        int count = 0;
        if (c.sent < head.size())
            parts[count++] = {const_cast<char*>(head.data()) + c.sent, head.size() - c.sent};
        size_t bodySent = c.sent > head.size() ? c.sent - head.size() : 0;
        if (total > head.size())
            parts[count++] = {const_cast<char*>(body.data()) + bodySent, body.size() - bodySent};
        msghdr message = {};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(c.fd.get(), &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            c.closed = true;
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    // All handed over. Closing now could reset the connection, and with it the
    // response, if the client sent more than its head: say end of data and
    // read until the client closes, for a short while.
    c.reply.reset();
    ::shutdown(c.fd.get(), SHUT_WR);
    c.state = Connection::State::LINGERING;
    c.deadline = Clock::now() + std::chrono::milliseconds(limits.lingerMs);
}
