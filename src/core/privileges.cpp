// Switching the process to an unprivileged account.
#include "privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "syserror.h"

bool findAccount(const std::string& name, Account* account) {
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return false;
    account->name = name;
    account->uid = found->pw_uid;
    account->gid = found->pw_gid;
    return true;
}

bool switchToAccount(const Account& account, std::string* error) {
    auto failed = [&](const char* step) {
        *error = systemError(step);
        return false;
    };
    if (getuid() == account.uid && geteuid() == account.uid && getgid() == account.gid)
        return true;  // already that user: nothing to drop
    // Supplementary groups first (dialout keeps the serial devices readable,
    // also when a device is plugged in again later), then the group, then the
    // user: once the user is dropped, the groups can no longer change.
    if (initgroups(account.name.c_str(), account.gid) != 0) return failed("set the groups");
    if (setresgid(account.gid, account.gid, account.gid) != 0) return failed("set the group");
    if (setresuid(account.uid, account.uid, account.uid) != 0) return failed("set the user");
    // Root must be gone for good.
    if (account.uid != 0 && setuid(0) == 0) {
        *error = "root could be taken back";
        return false;
    }
    return true;
}
