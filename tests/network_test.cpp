// The TCP query service of the real daemon: framing, ordering, rude clients,
// many clients, the listener keys.
#include <gtest/gtest.h>

#include <algorithm>

#include "net.h"
#include "testutil.h"

namespace {
using Lines = std::vector<std::string>;
const std::string T1 = "valid=1;value=21.5;";
const std::string T2 = "valid=1;value=48.3;";

// Main, the reader and the log writer (no web thread without metricsport), and
// the ThreadSanitizer runtime's.
#ifdef __SANITIZE_THREAD__
const int IDLE_THREADS = 4;
#else
const int IDLE_THREADS = 3;
#endif
// Instrumented threads are slow; 500 is still far above the backlog.
const int MANY_CLIENTS = SANITIZED ? 500 : 2000;

}  // namespace

TEST(Framing, LinesEndAtAnyLineEndAreAnsweredInOrderRudeClientsDroppedAndManyAnswered) {
    bool many = raiseDescriptorLimit(8192) >= 4200;  // the daemon inherits the limit
    TempDir dir;
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "loglevel = debug\n[sensors]\n" + pty.slavePath + " = probe\n"));
    pty.write("temperature=21.5 humidity=48.3 dewpoint=10.1\r\n");  // fresh for every query
    Client client(port), quiet(port);
    ASSERT_TRUE(eventually([&] { return client.query("probe.1") == T1; }));
    std::string burst;
    Lines inOrder;
    for (int i = 0; i < 100; ++i) {
        burst += i % 3 == 0 ? "probe.1\r\n" : i % 3 == 1 ? "probe.2\n" : "other.1\r";
        inOrder.push_back(i % 3 == 0 ? T1 : i % 3 == 1 ? T2 : "");
    }
    struct Case {
        std::string sent;
        Lines replies;
    } cases[] = {
        {"probe.1\r\n", {T1}},
        {"probe.1\nprobe.2\n", {T1, T2}},
        {"probe.1\r\n\r\n\n\rprobe.2\r", {T1, T2}},
        {"\n", {""}},  // the LF of the CR before it, arriving alone, ends an empty line
        {"nodot\r\nunknown.1\r\nprobe.7\r\n", {"", "", "valid=0"}},
        {std::string("probe\0.1\n", 9), {""}},
        {"\x1b[2J\x1b[31mFAKE.1\n", {""}},
        {burst, inOrder},
    };
    for (const Case& c : cases) {
        client.send(c.sent);
        EXPECT_EQ(client.replies(c.replies.size()), c.replies) << c.sent.substr(0, 40);
    }
    // Nothing is answered before its line end arrives, however the request is cut.
    client.send("pro");
    EXPECT_TRUE(client.replies(1, 300ms).empty());
    for (char byte : std::string("be.2\r\n")) client.send(std::string(1, byte));
    EXPECT_EQ(client.replies(1), Lines{T2});
    // The log shows control bytes; a terminal that tails it never acts on them.
    EXPECT_TRUE(daemon->waitFor("received 'probe\\x00.1'"));
    EXPECT_TRUE(daemon->waitFor("received '\\x1b[2J\\x1b[31mFAKE.1'"));
    EXPECT_EQ(daemon->output().find_first_of(std::string("\x1b\0", 2)), std::string::npos);
    EXPECT_TRUE(daemon->waitFor("sending 'valid=0'"));

    // Rude clients are dropped without disturbing the others; a quiet one is kept.
    {
        Client reset(port);
        reset.send("probe.1\r\n");
        reset.resetHard();  // gone before its reply is read
    }
    Client flooder(port);
    flooder.send(std::string(1 << 20, 'x'));
    EXPECT_TRUE(flooder.closedByPeer());
    Client sender(port);
    sender.send(std::string(1 << 20, 'y') + "\n");  // a request too long to be a query
    EXPECT_TRUE(sender.closedByPeer());

    EXPECT_EQ(Client(port).query("probe.1"), T1);
    EXPECT_FALSE(quiet.closedByPeer(300ms));  // idle all along: never disconnected
    EXPECT_EQ(quiet.query("probe.2"), T2);

    if (!many) GTEST_SKIP() << "descriptor limit too low for many clients at once";
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < MANY_CLIENTS; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    for (auto& c : clients) c->send("probe.1\r\n");
    int answered = 0;
    for (auto& c : clients) answered += c->replies(1, 10s) == Lines{T1};
    EXPECT_EQ(answered, MANY_CLIENTS);
    pid_t pid = daemon->pid();
    EXPECT_GE(threadCount(pid), MANY_CLIENTS);
    clients.clear();
    // Every client thread and socket goes away with its client: two stay.
    EXPECT_TRUE(
        eventually([&] { return threadCount(pid) == IDLE_THREADS + 2 + EMULATOR_THREADS; }, 10s))
        << threadCount(pid);
}

TEST(Listener, MaxClientsAndListenAddress) {
    TempDir dir;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port,
                                              "maxclients = 2\nlisten = 127.0.0.1\n"
                                              "[sensors]\n/nonexistent/t = x\n"));
    // startDaemon's own probe connection must be gone before the count starts.
    ASSERT_TRUE(daemon->waitFor("lost client connection"));
    Client first(port), second(port);
    ASSERT_TRUE(
        eventually([&] { return daemon->count("incoming connection from 127.0.0.1") == 3; }));
    EXPECT_EQ(first.query("x.1"), "valid=0");
    EXPECT_EQ(second.query("nobody.1"), "");
    Client third(port);
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_TRUE(daemon->waitFor("too many clients, closing connection from 127.0.0.1"));
    first.resetHard();
    EXPECT_TRUE(eventually([&] { return Client(port).query("x.1") == "valid=0"; }));
}
