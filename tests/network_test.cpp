// The TCP query service of the real daemon: framing, ordering, many clients,
// rude clients and listener failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "testutil.h"

namespace {
const std::string T1 = "valid=1;value=21.5;";
const std::string T2 = "valid=1;value=48.3;";

// Threads of an idle daemon with one device: main and the reader. The
// ThreadSanitizer runtime adds a background thread of its own.
#ifdef __SANITIZE_THREAD__
const int IDLE_THREADS = 3;
#else
const int IDLE_THREADS = 2;
#endif

// Clients of the concurrency test; instrumented builds are several times
// slower per thread, so they run a quarter of them (still far above the backlog).
#ifdef SENSOMARK_SANITIZED
const int MANY_CLIENTS = 500;
#else
const int MANY_CLIENTS = 2000;
#endif

// A daemon with one streaming device named "probe"; every query sees fresh data.
struct Service {
    explicit Service(const std::string& level = "stat", const std::string& mainKeys = "")
        : port(freePort()) {
        daemon =
            startDaemon(dir, configText(port, mainKeys + "loglevel = " + level + "\n[sensors]\n" +
                                                  pty.slavePath + " = probe\n"));
        pty.write("temperature=21.5 humidity=48.3 dewpoint=10.1\r\n");
        Client probe(port);
        EXPECT_TRUE(eventually([&] { return probe.query("probe.1") == T1; }));
    }
    TempDir dir;
    Pty pty;
    int port;
    std::unique_ptr<Process> daemon;
};
}  // namespace

TEST(Framing, LineEndsRunsSplitsAndEmptyRequests) {
    Service service("debug");
    Client client(service.port);
    struct Case {
        std::vector<std::string> packets;
        std::vector<std::string> replies;
    } cases[] = {
        {{"probe.1\r\n"}, {T1}},
        {{"probe.1\nprobe.2\n"}, {T1, T2}},
        {{"probe", ".2", "\r\n"}, {T2}},
        {{"probe.1\r\n\r\n\n\rprobe.2\r"}, {T1, T2}},
        {{"\n"}, {""}},  // the LF left over from the CR before it
        {{"nodot\r\nunknown.1\r\nprobe.7\r\n"}, {"", "", "valid=0"}},
        {{std::string("probe\0.1\n", 9)}, {""}},
    };
    for (const Case& c : cases) {
        for (const std::string& packet : c.packets) {
            client.send(packet);
            std::this_thread::sleep_for(20ms);  // separate packets, not a wait for a result
        }
        EXPECT_EQ(client.replies(c.replies.size()), c.replies) << c.packets[0];
    }
    // Nothing is answered before its line end arrives.
    client.send("probe.1");
    EXPECT_TRUE(client.replies(1, 300ms).empty());
    client.send("\n");
    EXPECT_EQ(client.replies(1), std::vector<std::string>{T1});
    EXPECT_TRUE(service.daemon->waitFor(std::string("received 'probe\0.1'", 19)));
    EXPECT_TRUE(service.daemon->waitFor("sending 'valid=0'"));
}

TEST(Framing, HundredPipelinedRequestsAnsweredInOrderAndOneBytePackets) {
    Service service;
    Client client(service.port);
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        burst += i % 3 == 0 ? "probe.1\r\n" : i % 3 == 1 ? "probe.2\n" : "other.1\r";
        expected.push_back(i % 3 == 0 ? T1 : i % 3 == 1 ? T2 : "");
    }
    client.send(burst);
    EXPECT_EQ(client.replies(100), expected);

    for (char byte : std::string("probe.2\r\n")) client.send(std::string(1, byte));
    EXPECT_EQ(client.replies(1), std::vector<std::string>{T2});
}

TEST(Clients, TwoThousandConcurrentClientsAreAllAnswered) {
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 4200) GTEST_SKIP() << "descriptor limit too low";
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &limit);  // the daemon inherits it

    Service service("critical", "backlog = 4096\n");
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < MANY_CLIENTS; ++i) {
        clients.push_back(std::make_unique<Client>(service.port));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    for (auto& client : clients) client->send("probe.1\r\n");
    int answered = 0;
    for (auto& client : clients)
        answered += client->replies(1, 10s) == std::vector<std::string>{T1};
    EXPECT_EQ(answered, MANY_CLIENTS);
    pid_t pid = service.daemon->pid();
    EXPECT_GE(threadCount(pid), MANY_CLIENTS);
    clients.clear();
    // Every client thread and socket goes away with its client.
    EXPECT_TRUE(eventually([&] { return threadCount(pid) == IDLE_THREADS; }, 10s))
        << threadCount(pid);
}

TEST(Clients, RudeClientsDoNotDisturbOthers) {
    Service service;
    {
        Client reset(service.port);
        reset.send("probe.1\r\n");
        reset.resetHard();  // gone before its reply is read
    }
    Client flooder(service.port);
    std::string junk(1 << 20, 'x');
    flooder.send(junk);
    EXPECT_TRUE(flooder.closedByPeer());

    Client sender(service.port);
    sender.send(std::string(1 << 20, 'y') + "\n");  // a request too long to be a query
    EXPECT_TRUE(sender.closedByPeer());

    Client polite(service.port);
    EXPECT_EQ(polite.query("probe.1"), T1);
    EXPECT_TRUE(service.daemon->waitFor("lost client connection"));
}

TEST(Clients, QuietClientIsNeverDisconnected) {
    Service service;
    Client quiet(service.port);
    EXPECT_FALSE(quiet.closedByPeer(600ms));
    EXPECT_EQ(quiet.query("probe.2"), T2);
}

TEST(Listener, PortInUseEndsTheDaemon) {
    TempDir dir;
    int port = freePort();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);

    dir.write("sensomarkUSB.conf", configText(port, "[sensors]\n/nonexistent/tty = x\n"));
    Process daemon({SENSOMARK_BIN}, dir.path);
    EXPECT_EQ(daemon.wait(), 0);
    std::string out = daemon.output();
    EXPECT_NE(out.find("failed to bind socket (Address already in use)"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 14), "ending daemon\n");
    close(blocker);
}
