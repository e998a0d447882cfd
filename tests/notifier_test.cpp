// The notify program as a real child process: what it gets (environment,
// process group, descriptors), what becomes of its failures and floods of
// output, and one that hangs: killed with its group at the time limit and at
// the stop, which it does not hold up.
#include "notifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "logging.h"
#include "testutil.h"

namespace {
// Acts by SENSOMARK_NAME: fail, flood, hang (its pid in notify.hang), or
// records what it was given in notify.EVENT.
const char SCRIPT[] = R"sh(#!/bin/sh
case "$SENSOMARK_NAME" in
fail) echo oops; echo "bad $SENSOMARK_VALUE" >&2; exit 3 ;;
flood) yes flood | head -c 1000000 ;;
hang) echo $$ > "$0.hang.tmp"; mv "$0.hang.tmp" "$0.hang"; sleep 1000 & sleep 1000 ;;
*) out="$0.$SENSOMARK_EVENT"
   env > "$out.tmp"
   echo "group $(cut -d' ' -f5 /proc/$$/stat) pid $$" >> "$out.tmp"
   echo "stdin $(readlink /proc/$$/fd/0)" >> "$out.tmp"
   [ -e /proc/$$/fd/77 ] && echo "fd 77 inherited" >> "$out.tmp"
   mv "$out.tmp" "$out" ;;
esac
)sh";

struct NotifyRig {
    NotifyRig() {
        logFile = dir.file("log");
        dir.write("notify", SCRIPT);
        chmod(program().c_str(), 0755);
    }
    ~NotifyRig() { logFile = ""; }
    std::string program() const { return dir.file("notify"); }
    std::vector<std::string> log() const { return logLines(readFile(dir.file("log"))); }
    size_t logged(const std::string& part) const {
        std::vector<std::string> lines = log();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return has(l, part); });
    }
    TempDir dir;
};

AlertEvent event(const std::string& name, bool raised = true) {
    const std::string message = "cellar humidity is 72.5 %, above 70 since 2024-05-01T10:00:00Z";
    return {0, raised, "above 70 for 10m", name, "humidity", "72.5", "70", 1714557600, 0, message};
}
}  // namespace

TEST(Notifier, RunsTheProgramAloneInItsGroupWithTheEventAndLogsWhatItSaysBounded) {
    NotifyRig rig;
    setenv("SENSOMARK_NAME", "from the daemon's environment", 1);
    int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC: the program must not get it
    ASSERT_EQ(dup2(leaked, 77), 77);
    Notifier notifier(rig.program());
    ASSERT_TRUE(notifier.start());
    for (AlertEvent e : {event("cellar"), event("cellar", false), event("fail"), event("flood")})
        notifier.notify(e);
    // All ended by themselves (a file written is not yet a program ended).
    ASSERT_TRUE(
        eventually([&] { return notifier.counts().ok + notifier.counts().failed == 4; }, 10s))
        << readFile(rig.dir.file("log"));
    notifier.stop();
    unsetenv("SENSOMARK_NAME");
    close(77);
    close(leaked);

    std::string env = readFile(rig.program() + ".raised");
    for (const char* line : {"\nSENSOMARK_EVENT=raised\n", "\nSENSOMARK_ALERT=above 70 for 10m\n",
                             "\nSENSOMARK_NAME=cellar\n", "\nSENSOMARK_QUANTITY=humidity\n",
                             "\nSENSOMARK_VALUE=72.5\n", "\nSENSOMARK_LIMIT=70\n",
                             "\nSENSOMARK_SINCE=2024-05-01T10:00:00Z\n",
                             "\nSENSOMARK_MESSAGE=cellar humidity is 72.5 %, above 70 since "
                             "2024-05-01T10:00:00Z\n",
                             "\nPATH=", "\nstdin /dev/null\n"})
        EXPECT_TRUE(has("\n" + env, line)) << line << env;
    EXPECT_FALSE(has(env, "daemon's environment") || has(env, "fd 77")) << env;
    int group = -1, pid = -2;
    sscanf(env.substr(env.find("group ")).c_str(), "group %d pid %d", &group, &pid);
    EXPECT_EQ(group, pid) << env;
    EXPECT_TRUE(has(readFile(rig.program() + ".cleared"), "\nSENSOMARK_EVENT=cleared\n"));

    std::string who = "notify command '" + rig.program() + "' ";
    EXPECT_EQ(rig.logged(who + "said: oops"), 1u);
    EXPECT_EQ(rig.logged(who + "said: bad 72.5"), 1u);
    EXPECT_EQ(
        rig.logged(who + "failed with exit code 3, for raised fail humidity 'above 70 for 10m'"),
        1u);
    // 4096 bytes of "flood\n" are 682 lines and "floo".
    EXPECT_EQ(rig.logged(who + "said: flood"), 682u);
    EXPECT_EQ(rig.logged(who + "wrote 995904 bytes more, not logged"), 1u);
    NotifyCounts counts = notifier.counts();
    EXPECT_EQ(std::make_tuple(counts.ok, counts.failed, counts.dropped),
              std::make_tuple(3u, 1u, 0u));
}

TEST(Notifier, AHangingProgramIsKilledWithItsGroupAtTheTimeLimitAndAtTheStop) {
    NotifyRig rig;
    {
        Notifier limited(rig.program(), 1000);
        ASSERT_TRUE(limited.start());
        limited.notify(event("hang"));
        ASSERT_TRUE(eventually([&] { return limited.counts().failed == 1; }, 10s));
        // A machine slow enough may kill it before it wrote its pid; if it did, its group is gone.
        std::string pid = readFile(rig.program() + ".hang");
        EXPECT_TRUE(pid.empty() || eventually([&] { return !groupRunning(atoi(pid.c_str())); }))
            << pid;
        EXPECT_EQ(rig.logged("did not end within 1 s and was killed, for raised hang humidity"),
                  1u);
    }
    unlink((rig.program() + ".hang").c_str());

    Notifier notifier(rig.program());
    ASSERT_TRUE(notifier.start());
    notifier.notify(event("hang"));
    pid_t pid = 0;  // once the script wrote it
    ASSERT_TRUE(
        eventually([&] { return (pid = atoi(readFile(rig.program() + ".hang").c_str())); }));
    for (size_t i = 0; i <= Notifier::QUEUE_LIMIT; ++i) notifier.notify(event("cellar"));
    EXPECT_EQ(rig.logged("notify queue full, not notifying raised cellar humidity"), 1u);
    notifier.stop();  // does not wait for the program
    EXPECT_TRUE(eventually([&] { return !groupRunning(pid); })) << pid;
    EXPECT_EQ(rig.logged("was killed at the stop, for raised hang humidity"), 1u);
    EXPECT_EQ(rig.logged(std::to_string(Notifier::QUEUE_LIMIT) +
                         " alert notifications not run: the daemon stops"),
              1u);
    NotifyCounts counts = notifier.counts();
    EXPECT_EQ(std::make_tuple(counts.ok, counts.failed, counts.dropped),
              std::make_tuple(0u, 1u, Notifier::QUEUE_LIMIT + 1));
    EXPECT_EQ(readFile(rig.program() + ".raised"), "");  // nothing queued ran
}
