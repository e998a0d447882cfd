// refserver: the benchmark's yardstick, the simplest correct thread-per-connection line server:
// blocking accept, a detached thread per client, blocking recv, a fixed reply per line.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net.h"

namespace {

const size_t RECV_CHUNK_BYTES = 1024;
// Same stack as the daemon's client threads, so that memory compares like with like.
const size_t DEFAULT_STACK_KIB = 64;
const long WANTED_DESCRIPTORS = 65536;
const useconds_t ACCEPT_BACKOFF_US = 100000;

std::string reply = "valid=1;value=21.5;\r\n";

// One client: a reply for every line feed received, until the client leaves.
void* serveClient(void* arg) {
    UniqueFd fd(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    char buffer[RECV_CHUNK_BYTES];
    for (;;) {
        ssize_t n = recv(fd.get(), buffer, sizeof(buffer), 0);
        // EAGAIN: a wake-up step ended (--wake-ms); there is nothing to look at.
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        bool alive = true;
        for (ssize_t i = 0; i < n && alive; ++i) {
            size_t len = reply.size();
            if (buffer[i] == '\n') alive = sendall(fd.get(), reply.data(), &len) == 0;
        }
        if (!alive) break;
    }
    return nullptr;
}

void usage() {
    fputs(
        "usage: refserver --port N [--backlog N] [--reply TEXT] [--stack-kib N] [--wake-ms N]\n"
        "  answers every request line with TEXT plus CR LF (default valid=1;value=21.5;)\n"
        "  --wake-ms N: client threads wake every N ms while idle, to show what polling costs\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    int backlog = 5;
    size_t stackKiB = DEFAULT_STACK_KIB;
    long wakeMs = 0;
    static const struct option longOptions[] = {{"port", required_argument, nullptr, 'p'},
                                                {"backlog", required_argument, nullptr, 'b'},
                                                {"reply", required_argument, nullptr, 'r'},
                                                {"stack-kib", required_argument, nullptr, 's'},
                                                {"wake-ms", required_argument, nullptr, 'w'},
                                                {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'p':
                port = atoi(optarg);
                break;
            case 'b':
                backlog = atoi(optarg);
                break;
            case 'r':
                reply = std::string(optarg) + "\r\n";
                break;
            case 's':
                stackKiB = static_cast<size_t>(atol(optarg));
                break;
            case 'w':
                wakeMs = atol(optarg);
                break;
            default:
                usage();
                return 2;
        }
    }
    if (port <= 0 || port > 65535 || optind != argc) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit(WANTED_DESCRIPTORS);

    std::string error;
    UniqueFd listener = openListenSocket("127.0.0.1", port, backlog, &error);
    if (!listener.valid()) {
        fprintf(stderr, "refserver: cannot listen on port %d: %s\n", port, error.c_str());
        return 1;
    }
    if (wakeMs > 0) {
        // Accepted sockets inherit the receive time-out.
        struct timeval step = {wakeMs / 1000, (wakeMs % 1000) * 1000};
        setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step));
    }
    printf("refserver listening on port %d, backlog %d\n", port, backlog);
    fflush(stdout);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stackKiB * 1024);
    for (;;) {
        int fd = accept(listener.get(), nullptr, nullptr);
        if (fd < 0 && errno == EAGAIN) continue;
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS)
                usleep(ACCEPT_BACKOFF_US);
            continue;
        }
        pthread_t thread;
        if (pthread_create(&thread, &attr, serveClient,
                           reinterpret_cast<void*>(static_cast<intptr_t>(fd))) != 0) {
            close(fd);
        }
    }
}
