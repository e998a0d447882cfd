// Starting the daemon's detached threads (sensor readers and clients).
#pragma once
#include <cstddef>

// Starts a detached thread running entry(arg) with a stack of stackBytes.
// Returns false when the thread could not be created.
bool spawnDetached(void* (*entry)(void*), void* arg, size_t stackBytes);
