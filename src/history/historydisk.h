// The history writer's file operations in a folder that may hold anything:
// reading a history file without waiting on, following or reading whole what
// is no history file, and keeping bytes aside under names that never
// overwrite an earlier copy. No state; the start-up thread and the writer's
// thread call them.
#pragma once
#include <string>

enum class ReadOutcome { READ, MISSING, UNUSABLE };
// Reads path, a regular file of at most MAX_HISTORY_FILE_BYTES, into *bytes.
// UNUSABLE, with *reason ("is a symbolic link", "is not a regular file", "is
// larger than N bytes", "cannot be read: failed to ..."), when it is not one.
ReadOutcome readHistoryBytes(const std::string& path, std::string* bytes, std::string* reason);

// The path of the next copy of file name in folder dir kept aside as kind:
// dir/NAME.KIND-N, N one more than that of any such copy there.
std::string asidePath(const std::string& dir, const std::string& name, const std::string& kind);
// Removes all but the newest keep copies of name kept aside as kind (an
// earlier version's NAME.corrupt counts as the oldest "corrupt" copy).
void pruneAside(const std::string& dir, const std::string& name, const std::string& kind, int keep);
// Makes aside (a new name) hold the bytes of path: a hard link, or a copy
// where the file system has none. False with *error set (and nothing left).
bool keepCopy(const std::string& path, const std::string& aside, std::string* error);

// Like write(2), but writes all of data; 0, or the error number with *error set.
int writeAll(int fd, const std::string& data, std::string* error);
