// Who may ask, and where: the allow list, several listen addresses, the mapped
// form of an IPv4 one, IPv6.
// Clients bind 127.0.0.0/8 addresses to stand in for hosts.
#include "access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net.h"
#include "testutil.h"

namespace {

sockaddr_storage addressOf(const std::string& text) {
    sockaddr_storage a = {};
    if (inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in&>(a).sin_addr) == 1) {
        a.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, text.c_str(), &reinterpret_cast<sockaddr_in6&>(a).sin6_addr) ==
               1) {
        a.ss_family = AF_INET6;
    }
    return a;
}

// The reply line to query, sent from the local address from to port of host;
// "closed" when the connection closed without one.
std::string ask(int port, const std::string& from, const std::string& host = "127.0.0.1",
                const std::string& query = "x.1") {
    Client client(port, from, host);
    client.send(query + "\n");
    std::vector<std::string> lines = client.replies(1, 2s);
    return lines.empty() ? "closed" : lines[0];
}

}  // namespace

TEST(AllowList, MatchesAddressesAgainstNetworksAndRefusesWhatIsNoNetwork) {
    AllowList list;
    std::string bad;
    ASSERT_TRUE(list.parse(
        "127.0.0.0/8  192.168.1.77/24 10.1.2.3 fd00::/8 ::1 ::ffff:10.9.8.7 ::ffff:192.0.2.0/120",
        &bad));
    struct Case {
        const char* address;
        bool allowed;
    } cases[] = {
        {"127.1.2.3", true},
        {"128.0.0.1", false},
        {"192.168.1.1", true},
        {"192.168.2.1", false},
        {"10.1.2.3", true},
        {"10.1.2.4", false},
        {"fd12::5", true},
        {"fe80::1", false},
        {"::1", true},
        {"::2", false},
        {"::ffff:127.0.0.9", true},  // an IPv4 client of a dual-stack socket
        // Entries in the mapped form are their IPv4 networks.
        {"10.9.8.7", true},
        {"192.0.2.77", true},
        {"192.0.3.1", false},
        {"::ffff:10.9.8.7", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(list.allows(addressOf(c.address)), c.allowed) << c.address;
    ASSERT_TRUE(list.parse("192.168.1.128/25", &bad));
    EXPECT_FALSE(list.allows(addressOf("192.168.1.127")));
    EXPECT_TRUE(list.allows(addressOf("192.168.1.128")));
    ASSERT_TRUE(list.parse("0.0.0.0/0", &bad));
    EXPECT_TRUE(list.allows(addressOf("203.0.113.9")));
    EXPECT_FALSE(list.allows(addressOf("2001:db8::1")));
    ASSERT_TRUE(list.parse("", &bad));
    EXPECT_TRUE(list.allows(addressOf("2001:db8::1"))) << "an empty list serves everyone";
    for (const char* entry : {"10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0/8", "host.lan",
                              "10.0.0.0/8x", "10.0.0.0/-1", "::1/1/2"}) {
        EXPECT_FALSE(list.parse(std::string("127.0.0.1 ") + entry, &bad)) << entry;
        EXPECT_EQ(bad, entry);
    }
}

// The mapped form of an IPv4 address is that address: listed twice, it is listened on once.
TEST(Allow, ClientsOutsideTheListAreRefusedOnBothPorts) {
    TempDir dir;
    int port = freePort(), metricsPort = freePort();
    auto daemon = startDaemon(dir, configText(port, "metricsport = " + std::to_string(metricsPort) +
                                                        "\nallow = 127.0.0.2/32 ::1\n"
                                                        "listen = 127.0.0.1 ::ffff:127.0.0.1 "
                                                        "127.0.0.2\n"));
    EXPECT_EQ(ask(port, "127.0.0.2", "127.0.0.1", "sensomark.com1.1"), "valid=0");
    EXPECT_EQ(ask(port, "127.0.0.3"), "closed");
    const std::string scrape = "GET /metrics HTTP/1.0\r\n\r\n";
    EXPECT_EQ(httpExchange(metricsPort, scrape, 2s, "127.0.0.2").status, 200);
    EXPECT_EQ(httpExchange(metricsPort, scrape, 2s, "127.0.0.3").status, 0);
    EXPECT_TRUE(daemon->waitFor("refused connection from 127.0.0.3"));
    daemon->signal(SIGHUP);  // logged; it changes nothing
    EXPECT_TRUE(daemon->waitFor(
        "configuration is read only at start-up: restart the daemon to apply changes"));
    EXPECT_EQ(daemon->count("incoming connection from 127.0.0.3"), 0);
    EXPECT_EQ(ask(port, "127.0.0.2", "127.0.0.2"), "");  // on the other address
    EXPECT_TRUE(
        eventually([&] { return daemon->count("incoming connection from 127.0.0.2") == 2; }));
}

TEST(Listen, ServesIpv6AndDualStack) {
    std::string error;
    if (!openListenSocket("::1", 0, 1, &error).valid()) GTEST_SKIP() << "no IPv6 loopback";
    // An allow entry in the mapped form admits the IPv4 client it names.
    TempDir dual;
    int port = freePort();
    auto any = startDaemon(
        dual, configText(port, "listen = ::\nallow = ::ffff:127.0.0.1 ::ffff:127.0.0.5 ::1\n"));
    EXPECT_EQ(ask(port, "127.0.0.5"), "");
    EXPECT_EQ(ask(port, "127.0.0.6"), "closed");
    EXPECT_EQ(ask(port, "::1", "::1"), "");
    EXPECT_TRUE(any->waitFor("incoming connection from ::1"));
    EXPECT_TRUE(any->waitFor("incoming connection from 127.0.0.5"))
        << "IPv4 clients of :: appear as themselves";
}
