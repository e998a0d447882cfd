// The usage text, the orderly exit, and the two text utilities of the daemon.
#pragma once
#include <string>
#include <vector>

// Writes the six usage lines to standard output.
void showHelp();
// Requests shutdown, logs "ending daemon", shuts the log down and exits 0.
[[noreturn]] void shutdown();

// Appends the non-empty pieces of str between runs of delimiter characters.
void stringTokenize(const std::string& str, std::vector<std::string>& tokens,
                    const std::string& delimiters);
// Decimal text of i.
std::string itoa(int i);
