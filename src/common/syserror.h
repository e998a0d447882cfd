// The one form in which a failed system call is reported: "failed to WHAT
// (REASON)", REASON being the system's text for the error number, as in
// "failed to bind socket (Address already in use)". Any thread may call it.
#pragma once
#include <cerrno>
#include <string>

// The system's text for error, such as "Permission denied" for EACCES.
std::string errorText(int error);

// "failed to " + what + " (" + errorText(error) + ")"; what names the step in
// the daemon's words, as in systemError("bind socket").
std::string systemError(const std::string& what, int error = errno);
