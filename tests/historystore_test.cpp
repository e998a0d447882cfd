// The daemon's history files in statedir: kept over an orderly restart and a
// SIGKILL, a damaged file set aside, a full disk survived.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "historyfile.h"
#include "testutil.h"

using nlohmann::json;

namespace {
std::string get(int port, const std::string& target, int* status = nullptr) {
    Client c(port);
    c.send("GET " + target + " HTTP/1.1\r\n\r\n");
    std::string all;
    char buffer[65536];
    pollfd p = {c.fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&p, 1, 5000) == 1;)
        if ((n = recv(c.fd, buffer, sizeof(buffer), 0)) > 0) all.append(buffer, n);
    if (status != nullptr) *status = all.size() > 12 ? atoi(all.c_str() + 9) : 0;
    size_t end = all.find("\r\n\r\n");
    return end == std::string::npos ? "" : all.substr(end + 4);
}

// The history buckets of name as history.json lists them.
json buckets(int webPort, const std::string& name) {
    std::string body = get(webPort, "/history.json?name=" + name);
    json doc = json::parse(body, nullptr, false);
    return doc.is_discarded() ? json() : doc["buckets"];
}

int temperatureCount(const json& b) {
    int n = 0;
    if (b.is_object())
        for (const json& bucket : b["temperature"]) n += bucket["count"].get<int>();
    return n;
}

// The temperature values the buckets of tier (0: minutes) in a history file hold.
uint32_t valuesInFile(const std::string& path, int tier = 0) {
    HistoryFileContent content = readHistoryFile(readFile(path));
    std::map<int64_t, uint32_t> minutes;  // a later bucket replaces an earlier one
    for (const StoredBucket& b : content.buckets)
        if (b.tier == tier) minutes[b.key] = b.quantities[0].count;
    uint32_t n = 0;
    for (const auto& [key, count] : minutes) n += count;
    return n;
}

struct Rig {
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    std::string state = dir.file("state");
    std::string file = state + "/" + historyFileName(pty.slavePath);

    Rig() { mkdir(state.c_str(), 0755); }
    std::string config(const std::string& level = "stat") const {
        return configText(port, "metricsport = " + std::to_string(webPort) + "\nloglevel = " +
                                    level + "\nstatedir = " + state + "\nhistorysync = 60\n" +
                                    "[sensors]\n" + pty.slavePath + " = cellar\n");
    }
    // Sends n lines and waits until the history holds total values.
    void feed(int n, int total) {
        for (int i = 0; i < n; ++i) pty.write("temperature=2" + std::to_string(i) + ".5\r\n");
        ASSERT_TRUE(
            eventually([&] { return temperatureCount(buckets(webPort, "cellar")) == total; }));
    }
};

// Sets an environment variable for the daemons this test starts.
struct Env {
    Env(const char* name, const char* value) : name(name) { setenv(name, value, 1); }
    ~Env() { unsetenv(name); }
    const char* name;
};
}  // namespace

TEST(HistoryStore, AnOrderlyRestartKeepsEveryBucketTheOpenMinuteIncluded) {
    Rig s;
    json before;
    {
        auto daemon = startDaemon(s.dir, s.config());
        s.feed(4, 4);
        before = buckets(s.webPort, "cellar");
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 0) << daemon->output();
    }
    EXPECT_EQ(valuesInFile(s.file), 4u);
    auto daemon = startDaemon(s.dir, s.config());
    EXPECT_EQ(buckets(s.webPort, "cellar"), before);
    s.feed(1, 5);  // and it goes on from there
}

TEST(HistoryStore, AClockSetBackOrForwardAtTheNextStartOverwritesNothingWritten) {
    Rig s;
    {
        auto daemon = startDaemon(s.dir, s.config());
        s.feed(3, 3);
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 0);
    }
    const std::string written = readFile(s.file);
    {
        // A board without a real-time clock, booted at an older time: its
        // values are refused, and the stop leaves the file as it was.
        Env back("SENSOMARK_TEST_WALL_OFFSET", "-3600");
        auto daemon = startDaemon(s.dir, s.config("debug"));
        for (int i = 0; i < 3; ++i) s.pty.write("temperature=99\r\n");
        ASSERT_TRUE(eventually([&] { return daemon->count("sensed 'temperature=99' on") == 3; }));
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 0);
    }
    EXPECT_EQ(readFile(s.file), written);
    {
        // A year and an hour ahead (a slot of its own in every ring): a gap;
        // the day has aged out, the old hour is kept.
        Env ahead("SENSOMARK_TEST_WALL_OFFSET", "31539600");
        auto daemon = startDaemon(s.dir, s.config());
        s.pty.write("temperature=30\r\n");
        ASSERT_TRUE(
            eventually([&] { return temperatureCount(buckets(s.webPort, "cellar")) == 1; }));
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 0);
    }
    EXPECT_EQ(valuesInFile(s.file, 0), 1u);
    EXPECT_EQ(valuesInFile(s.file, 2), 4u);
}

TEST(HistoryStore, ASigkillLosesOnlyWhatCameSinceTheLastSync) {
    Env sync("SENSOMARK_TEST_HISTORYSYNC_MS", "200");
    Rig s;
    {
        auto daemon = startDaemon(s.dir, s.config());
        s.feed(3, 3);
        ASSERT_TRUE(eventually([&] { return valuesInFile(s.file) == 3; }));  // whole
        s.feed(2, 5);
        ASSERT_TRUE(eventually([&] { return valuesInFile(s.file) == 5; }));  // appended
        daemon->signal(SIGKILL);
        daemon->wait();
    }
    auto daemon = startDaemon(s.dir, s.config());
    EXPECT_EQ(temperatureCount(buckets(s.webPort, "cellar")), 5);
}

TEST(HistoryStore, AnUnreadableFileIsSetAsideAndTheDaemonServes) {
    Rig s;
    std::ofstream(s.file) << "SMKHIST\n\x07garbage";
    auto daemon = startDaemon(s.dir, s.config());
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file + "' is unreadable, moved aside to '" +
                                s.file + ".corrupt'"));
    EXPECT_EQ(readFile(s.file + ".corrupt"), "SMKHIST\n\x07garbage");
    s.feed(2, 2);
    int status = 0;
    get(s.webPort, "/", &status);
    EXPECT_EQ(status, 200);
}

TEST(HistoryStore, AFullDiskLogsOnceServesOnAndWritesWhenSpaceIsBack) {
    Env sync("SENSOMARK_TEST_HISTORYSYNC_MS", "100");
    Rig s;
    if (mount("tmpfs", s.state.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs on " << s.state << " (" << strerror(errno)
                     << "): needs root in a mount namespace that allows it";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{s.state};
    const std::string filler = s.state + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        std::string block(4096, 'x');
        for (int i = 0; i < 64 && out; ++i) out.write(block.data(), block.size());
    }
    auto daemon = startDaemon(s.dir, s.config());
    s.feed(2, 2);
    const std::string failed = "cannot write history file '" + s.file + "': ";
    ASSERT_TRUE(daemon->waitFor(failed)) << daemon->output();
    s.feed(2, 4);  // more values, more failed syncs: one line all the same
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(daemon->count(failed), 1);
    EXPECT_FALSE(daemon->output().find("No space left on device") == std::string::npos);
    int status = 0;
    get(s.webPort, "/", &status);
    EXPECT_EQ(status, 200);

    unlink(filler.c_str());
    EXPECT_TRUE(daemon->waitFor("history file '" + s.file + "' written again"));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    EXPECT_EQ(valuesInFile(s.file), 4u);
}

TEST(HistoryStore, ADiskThatHangsDoesNotHangTheStop) {
    Rig s;
    // Opening a FIFO for writing waits for a reader that never comes: the
    // whole file of the stop hangs as on a dead disk.
    ASSERT_EQ(mkfifo((s.file + ".tmp").c_str(), 0600), 0);
    auto daemon = startDaemon(s.dir, s.config());
    s.feed(1, 1);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);  // within 5 s, not waiting forever
    EXPECT_NE(daemon->output().find("history files not written within 1500 ms"), std::string::npos)
        << daemon->output();
}
