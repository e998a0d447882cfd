// Detached threads with a chosen stack size, and joinable ones.
#include "threads.h"

#include <pthread.h>

#include <system_error>

#include "syserror.h"

bool spawnDetached(void* (*entry)(void*), void* arg, size_t stackBytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) errno = rc;
    return rc == 0;
}

bool startThread(std::thread* thread, std::function<void()> entry, std::string* error) {
    try {
        *thread = std::thread(std::move(entry));
    } catch (const std::system_error& e) {
        *error = systemError("create a thread", e.code().value());
        return false;
    }
    return true;
}
