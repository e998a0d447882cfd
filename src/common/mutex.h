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

// The order in which a thread may take ranked mutexes: a higher rank only
// while holding lower ones, never two of one rank at once. Unranked mutexes
// (NONE) are not checked. Clang checks ACQUIRED_BEFORE only within one
// function, while the registry's lock and a sensor's are taken in different
// ones; so the order is checked while running, in builds that define
// SENSOMARK_CHECK_LOCK_ORDER (the developers', CI and sanitizer builds): a lock
// out of order ends the process with "lock order violated" on standard error.
enum class LockRank : unsigned { NONE = 0, REGISTRY = 1, SENSOR = 2 };

namespace lockorder {
#ifdef SENSOMARK_CHECK_LOCK_ORDER
// The ranks the calling thread holds, one bit each.
unsigned& heldRanks();
// Ends the process: rank is taken while the held ranks forbid it.
[[noreturn]] void violated(LockRank rank, unsigned held);

inline void acquiring(LockRank rank) {
    if (rank == LockRank::NONE) return;
    unsigned bit = 1u << static_cast<unsigned>(rank);
    unsigned& held = heldRanks();
    if (held >= bit) violated(rank, held);  // a rank as high or higher is held
    held |= bit;
}
inline void released(LockRank rank) {
    if (rank != LockRank::NONE) heldRanks() &= ~(1u << static_cast<unsigned>(rank));
}
#else
inline void acquiring(LockRank) {}
inline void released(LockRank) {}
#endif
}  // namespace lockorder

// A non-recursive mutex, with a rank in the lock order when it has one.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    explicit Mutex(LockRank rank) : rank(rank) {}

    void lock() ACQUIRE() {
        lockorder::acquiring(rank);
        m.lock();
    }
    void unlock() RELEASE() {
        // Once m is free a waiter may destroy this mutex: touch nothing after.
        lockorder::released(rank);
        m.unlock();
    }

  private:
    std::mutex m;
    const LockRank rank = LockRank::NONE;
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
