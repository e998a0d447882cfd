// Small helpers shared by the whole daemon: usage text, the orderly exit,
// text utilities, and the few system-call patterns every loop repeats.
#pragma once
#include <cstddef>
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

// Like send(2), but sends all *len bytes, continuing after short sends, and
// never raises SIGPIPE. Stores the bytes sent in *len; returns 0, or -1 when a
// send failed.
int sendall(int s, const void* buff, size_t* len);

// One step of every service loop: waits up to WAIT_STEP_MS for fd to become
// readable (or hung up). Returns >0 when ready, 0 on time-out, -1 with errno
// on failure (EINTR means: wait again).
const int WAIT_STEP_MS = 200;
int waitReadable(int fd);
// The same step, but it also ends as soon as shutdown() has begun (then 0, as
// on time-out): a waiting sensor reader need not sleep out its step first.
int waitReadableOrShutdown(int fd);
// The same step for blocking sockets with one system call fewer: afterwards a
// recv or accept on fd that finds nothing within WAIT_STEP_MS fails with
// EAGAIN, so it waits and reads at once. False when the option was refused.
bool limitSocketWait(int fd);

// Opens a TCP socket listening on the IPv4 address (dotted text; empty means
// all local addresses) and port, with SO_REUSEADDR. Returns the descriptor,
// or -1 with *error set to the log text of the step that failed.
int openListenSocket(const std::string& address, int port, int backlog, std::string* error);

// The dotted text of the IPv4 address of a connected peer.
std::string peerAddress(const struct sockaddr_in& peer);

// Starts a detached thread running entry(arg) with a stack of stackBytes.
// Returns false when the thread could not be created.
bool spawnDetached(void* (*entry)(void*), void* arg, size_t stackBytes);
