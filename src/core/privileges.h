// Dropping root: the whole process takes an unprivileged account's user,
// primary group and supplementary groups. Runs on the main thread; the C
// library applies each change to every thread of the process.
#pragma once
#include <sys/types.h>

#include <string>

struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Looks the account up; false when there is no such user.
bool findAccount(const std::string& name, Account* account);
// Takes the account's groups (initgroups), group and user, in that order, for
// good (root cannot be taken back). False with *error set to the step that
// failed and why.
bool switchToAccount(const Account& account, std::string* error);
