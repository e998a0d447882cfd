// The whole daemon end to end: configured sensors, unplugging, stale data,
// daemon mode, and orderly shutdown under load.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "testutil.h"

namespace {
std::string lastLine(const std::string& text) {
    size_t end = text.find_last_not_of('\n');
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

std::string procLink(pid_t pid, const std::string& what) {
    char target[256] = {};
    std::string path = "/proc/" + std::to_string(pid) + "/" + what;
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

// The process whose command line is exactly argv, other than except.
pid_t findProcess(const std::vector<std::string>& argv, pid_t except) {
    std::string wanted;
    for (const std::string& a : argv) wanted += a + '\0';
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == except) continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline == wanted) found = pid;
    }
    closedir(proc);
    return found;
}
}  // namespace

TEST(WholeDaemon, TwoDevicesWithSeveralNames) {
    TempDir dir;
    Pty cellar, attic;
    int port = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "[sensors]\n" + cellar.slavePath + " = cellar  garage shed\n" +
                                  attic.slavePath + " = attic\n"));
    std::string out = daemon->output();
    EXPECT_NE(out.find("adding sensor '" + cellar.slavePath + "'\n"), std::string::npos);
    for (const char* name : {"cellar", "garage", "shed", "attic"})
        EXPECT_NE(out.find("   --> naming sensor '" + std::string(name) + "'\n"),
                  std::string::npos);
    EXPECT_EQ(daemon->count("naming sensor"), 4);

    cellar.write("temperature=12.5 humidity=80.1 dewpoint=9.1\r\n");
    attic.write("temperature=25.0 humidity=30.0 dewpoint=6.2\r\n");
    Client client(port);
    EXPECT_TRUE(eventually([&] { return client.query("attic.1") == "valid=1;value=25.0;"; }));
    EXPECT_TRUE(eventually([&] { return client.query("shed.2") == "valid=1;value=80.1;"; }));
    EXPECT_EQ(client.query("garage.3"), "valid=1;value=9.1;");
    EXPECT_EQ(client.query("cellar.1"), "valid=1;value=12.5;");
    EXPECT_TRUE(daemon->waitFor("sensed 'temperature=25.0 humidity=30.0 dewpoint=6.2' on '" +
                                attic.slavePath + "'"));
}

TEST(WholeDaemon, DefaultSensorWithoutConfiguration) {
    if (access("/etc/sensomarkUSB.conf", F_OK) == 0)
        GTEST_SKIP() << "/etc/sensomarkUSB.conf exists";
    if (Client(4000).connected()) GTEST_SKIP() << "port 4000 is taken";
    TempDir dir;
    Process daemon({SENSOMARK_BIN, "missing.conf"}, dir.path);
    ASSERT_TRUE(daemon.waitFor("waiting for incoming connections on port 4000"));
    // A missing file named on the command line falls back to /etc, then to the defaults.
    EXPECT_NE(daemon.output().find(" - no config file found, using defaults\n"), std::string::npos);
    EXPECT_TRUE(daemon.waitFor("start sensing on '/dev/ttyUSB0'"));
    Client client(4000);
    EXPECT_EQ(client.query("sensomark.com1.1").rfind("valid=", 0), 0u);
    EXPECT_EQ(client.query("sensomark.com2.1"), "");
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_EQ(lastLine(daemon.output()).substr(19), " - ending daemon");
}

TEST(WholeDaemon, UnpluggedDeviceComesBackBehindTheSameName) {
    TempDir dir;
    auto first = std::make_unique<Pty>();
    std::string link = dir.file("ttySIM0");
    ASSERT_EQ(symlink(first->slavePath.c_str(), link.c_str()), 0);
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + link + " = probe\n"));
    first->write("temperature=20.0\n");
    Client client(port);
    EXPECT_TRUE(eventually([&] { return client.query("probe.1") == "valid=1;value=20.0;"; }));

    first->hangUp();
    EXPECT_TRUE(daemon->waitFor("lost sensor connection on '" + link + "'"));
    Pty second;
    remove(link.c_str());
    ASSERT_EQ(symlink(second.slavePath.c_str(), link.c_str()), 0);
    // The old value stays served while it is fresh; the new one follows the reconnect.
    EXPECT_EQ(client.query("probe.1"), "valid=1;value=20.0;");
    EXPECT_TRUE(
        eventually([&] { return daemon->count("start sensing on '" + link + "'") == 2; }, 8s));
    second.write("temperature=22.0\n");
    EXPECT_TRUE(eventually([&] { return client.query("probe.1") == "valid=1;value=22.0;"; }));
}

TEST(WholeDaemon, MissingDeviceIsRetriedAboutEveryFiveSeconds) {
    TempDir dir;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n/nonexistent/ttyUSB7 = gone\n"));
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually(
        [&] { return daemon->count("start sensing on '/nonexistent/ttyUSB7'") == 2; }, 8s));
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GT(elapsed, 3500ms);
    EXPECT_GE(daemon->count("lost sensor connection on '/nonexistent/ttyUSB7'"), 1);
    EXPECT_EQ(Client(port).query("gone.1"), "valid=0");
}

TEST(WholeDaemon, DataTurnsStaleAfterThirtySecondsOfSilence) {
    TempDir dir;
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port, "[sensors]\n" + pty.slavePath + " = probe\n"));
    pty.write("humidity=45.5\n");
    Client client(port);
    ASSERT_TRUE(eventually([&] { return client.query("probe.2") == "valid=1;value=45.5;"; }));
    auto fresh = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return client.query("probe.2") == "valid=0"; }, 40s));
    auto age = std::chrono::steady_clock::now() - fresh;
    EXPECT_GT(age, 29s);
    EXPECT_LT(age, 33s);
}

TEST(WholeDaemon, DaemonModeDetachesIntoANewSession) {
    TempDir dir;
    int port = freePort();
    std::string config = dir.file("d.conf");
    dir.write("d.conf", configText(port, "logfile = " + dir.file("d.log") +
                                             "\n[sensors]\n/nonexistent/tty = x\n"));
    std::string out;
    std::vector<std::string> argv = {SENSOMARK_BIN, "-d", config};
    ASSERT_EQ(runProgram(argv, dir.path, &out), 0);
    EXPECT_EQ(out, "sensomarkUSB 0.8.1\n\n");
    ASSERT_TRUE(eventually([&] { return Client(port).connected(); }));

    pid_t pid = findProcess(argv, getpid());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(procLink(pid, "cwd"), "/");
    for (int fd : {0, 1, 2}) EXPECT_EQ(procLink(pid, "fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_NE(getsid(pid), pid);  // not the session leader, so it can never get a terminal
    EXPECT_NE(getsid(pid), getsid(0));
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string statText((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(statText.substr(statText.rfind(')') + 2));
    std::string state, ppid, pgrp, session, ttyNr;
    fields >> state >> ppid >> pgrp >> session >> ttyNr;
    EXPECT_EQ(ttyNr, "0");

    kill(pid, SIGTERM);
    EXPECT_TRUE(eventually([&] { return kill(pid, 0) != 0; }));
    std::ifstream log(dir.file("d.log"));
    std::string logText((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(logText.find(" - starting sensomarkUSB as daemon\n"), std::string::npos);
    EXPECT_NE(logText.find(" - daemonized process\n"), std::string::npos);
    EXPECT_EQ(lastLine(logText).substr(19), " - ending daemon");
}

TEST(WholeDaemon, SignalsEndItInOrderUnderLoad) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        Pty pty;
        int port = freePort();
        auto daemon =
            startDaemon(dir, configText(port, "loglevel = stat\nbacklog = 128\n[sensors]\n" +
                                                  pty.slavePath + " = probe\n"));
        pty.write("temperature=21.5\n");
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::vector<std::thread> load;
        for (int i = 0; i < 100; ++i) {
            load.emplace_back([&] {
                Client client(port);
                while (!stop && client.connected()) {
                    if (client.query("probe.1").rfind("valid=", 0) != 0) break;
                    ++answered;
                }
            });
        }
        ASSERT_TRUE(eventually([&] { return answered > 1000; }, 10s));
        auto signalled = std::chrono::steady_clock::now();
        daemon->signal(sig);
        daemon->signal(sig);  // a second signal during shutdown changes nothing
        EXPECT_EQ(daemon->wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
        stop = true;
        for (auto& t : load) t.join();
        EXPECT_EQ(lastLine(daemon->output()).substr(19), " - ending daemon");
    }
}
