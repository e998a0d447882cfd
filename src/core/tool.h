// The usage text, the orderly exit, and the two text utilities of the daemon.
#pragma once
#include <string>
#include <vector>

// Writes the six usage lines to standard output.
void showHelp();
// Exit codes beyond 0 (an end that was asked for), 1 (bad command line),
// 2 (log file) and 3 (log lock or daemon switch).
const int EXIT_CONFIG = 4;   // the configuration cannot be used
const int EXIT_SERVICE = 5;  // the query service cannot be served

// Requests shutdown, logs "ending daemon", shuts the log down and exits with
// exitCode, which a daemon's starting process also reports.
[[noreturn]] void shutdown(int exitCode = 0);

// Appends the non-empty pieces of str between runs of delimiter characters.
void stringTokenize(const std::string& str, std::vector<std::string>& tokens,
                    const std::string& delimiters);
// Decimal text of i.
std::string itoa(int i);
