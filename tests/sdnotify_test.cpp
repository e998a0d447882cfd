// What systemd hears on NOTIFY_SOCKET: ready, status, watchdog and stopping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>

#include "net.h"
#include "testutil.h"

TEST(Notify, TellsSystemdReadyStatusWatchdogAndStopping) {
    TempDir dir;
    std::string path = dir.file("notify");
    UniqueFd sink(socket(AF_UNIX, SOCK_DGRAM, 0));
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(sink.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::string got;
    auto receive = [&] {
        char buffer[512];
        while (waitReadable(sink.get(), 0) > 0) {
            ssize_t n = recv(sink.get(), buffer, sizeof(buffer), 0);
            if (n > 0) got.append(buffer, n).push_back('\n');
        }
        return got;
    };
    int port = freePort();
    dir.write("sensomarkUSB.conf", configText(port));
    Process daemon({"/usr/bin/env", "NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=200000", SENSOMARK_BIN},
                   dir.path);
    EXPECT_TRUE(eventually([&] { return receive().find("READY=1\n") != std::string::npos; }));
    EXPECT_NE(got.find("STATUS=sensors open 0 of 1, clients 0, requests served 0\n"),
              std::string::npos);
    Client client(port);
    client.query("x.1");
    EXPECT_TRUE(eventually(
        [&] { return receive().find("clients 1, requests served 1\n") != std::string::npos; }));
    EXPECT_TRUE(eventually([&] { return receive().find("WATCHDOG=1\n") != std::string::npos; }));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_NE(receive().find("STOPPING=1\n"), std::string::npos);
}
