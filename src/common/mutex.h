// A mutex and its scoped lock that clang's -Wthread-safety can check: fields
// say which mutex guards them, functions which mutex they need or must not
// hold. Other compilers see plain std::mutex.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// A non-recursive mutex.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { m.lock(); }
    void unlock() RELEASE() { m.unlock(); }

  private:
    std::mutex m;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex(mutex) { mutex.lock(); }
    ~MutexLock() RELEASE() { mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases the mutex while waiting on cv until done() holds; holds it
    // again on return.
    template <typename Predicate>
    void wait(std::condition_variable_any& cv, Predicate done) {
        cv.wait(mutex, done);
    }
    // Releases the mutex while waiting on cv, at most timeout, until done()
    // holds; holds it again on return. Returns done().
    template <typename Predicate>
    bool waitFor(std::condition_variable_any& cv, std::chrono::milliseconds timeout,
                 Predicate done) {
        return cv.wait_for(mutex, timeout, done);
    }

  private:
    Mutex& mutex;
};
