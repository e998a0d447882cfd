// Dropping root for the configured user: user, group and supplementary groups
// of every thread, and devices opened again as that user.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"

TEST(User, DropsRootForEveryThreadAndStillReopensDevices) {
    if (geteuid() != 0) GTEST_SKIP() << "switching users needs root";
    passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);  // the link must be reachable for nobody
    Pty pty;
    std::string device = dir.file("ttyLINK");
    ASSERT_EQ(chown(pty.slavePath.c_str(), nobody->pw_uid, 0), 0);
    ASSERT_EQ(symlink(pty.slavePath.c_str(), device.c_str()), 0);
    int port = freePort();
    auto daemon =
        startDaemon(dir, configText(port, "user = nobody\n[sensors]\n" + device + " = cellar\n"));
    ASSERT_TRUE(daemon->waitFor("running as user 'nobody'"));
    std::string uid = std::to_string(nobody->pw_uid);
    EXPECT_EQ(procStatus(daemon->pid(), "Uid"), "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    std::string gid = std::to_string(nobody->pw_gid);
    EXPECT_EQ(procStatus(daemon->pid(), "Gid"), "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(procStatus(daemon->pid(), "Groups"), "\t" + std::to_string(nobody->pw_gid) + " ");

    // Unplugged and plugged in again: opened as the new user.
    Pty replugged;
    ASSERT_EQ(chown(replugged.slavePath.c_str(), nobody->pw_uid, 0), 0);
    pty.hangUp();
    std::string fresh = dir.file("ttyNEW");
    ASSERT_EQ(symlink(replugged.slavePath.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), device.c_str()), 0);
    Client client(port);
    EXPECT_TRUE(eventually(
        [&] {
            replugged.write("humidity=55.5\n");
            return client.query("cellar.2") == "valid=1;value=55.5;";
        },
        10s))
        << daemon->output();
}
