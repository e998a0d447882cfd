// Starting the daemon's threads: detached ones (sensor readers and clients)
// and joinable ones of the services, whose failure is reported in the one form
// of src/common/syserror.h. Any thread may call them.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

// Starts a detached thread running entry(arg) with a stack of stackBytes.
// Returns false, with errno set, when the thread could not be created.
bool spawnDetached(void* (*entry)(void*), void* arg, size_t stackBytes);

// Starts *thread running entry. False when the system gives no thread, with
// *error set to "failed to create a thread (REASON)"; *thread is then left
// as it was.
bool startThread(std::thread* thread, std::function<void()> entry, std::string* error);
