// Texts of failed system calls.
#include "syserror.h"

#include <cstring>

namespace {
// strerror_r comes in two forms: GNU returns the text (which may or may not be
// in buffer), XSI fills buffer and returns a status.
[[maybe_unused]] const char* pickText(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* pickText(int, const char* buffer) {
    return buffer;
}
}  // namespace

std::string errorText(int error) {
    char buffer[128] = "";
    return pickText(strerror_r(error, buffer, sizeof(buffer)), buffer);
}

std::string systemError(const std::string& what, int error) {
    return "failed to " + what + " (" + errorText(error) + ")";
}
