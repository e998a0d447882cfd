// The file that keeps the active alerts over a restart: STATE_FILE in the
// statedir. Plain functions; the caller's thread does the disk work.
//
// The file is text: the line "sensomark-alerts 1", then one line per active
// alert, "SINCE NAME QUANTITY ALERT": SINCE in Unix seconds, NAME with every
// byte outside "!".."~" and "%" written as %XX, QUANTITY the quantity's key
// or "-" for a stale alert, ALERT the rest of the line (the rule's text or
// "stale"). It is written whole: a temporary file, fsync, rename, fsync of
// the folder.
#pragma once
#include <string>
#include <vector>

#include "alertengine.h"

const char ALERT_STATE_FILE[] = "alerts.state";
// A larger file is not read.
const long MAX_ALERT_STATE_BYTES = 256 * 1024;

// The alerts saved in the file at path. False with *problem when the file
// cannot be used (not a regular file, too large, a line that does not read,
// a link): the caller starts clean. A missing file is true and no alerts.
bool loadAlertState(const std::string& path, std::vector<SavedAlert>* alerts, std::string* problem);

// Writes alerts to the file at path whole; false with *error (the step that
// failed, in the form of systemError).
bool saveAlertState(const std::string& path, const std::vector<SavedAlert>& alerts,
                    std::string* error);
