#pragma once
// The mutex of the logging facade, which clang's lock analysis knows, and which a forked child
// can renew.
//
// fork() copies every mutex in whatever state the parent's threads left it, and in the child the
// thread that held one does not exist: nobody would ever unlock it. Rather than make fork() wait
// for every lock (a thread blocked on a console nobody reads holds one for good), a forked child
// renews the locks of the sinks it inherited before anything else runs.

#include <mutex>
#include <new>

#include "logging/thread_annotations.hpp"

namespace logging::detail {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    /// In a forked child, while it has one thread: a fresh, unlocked mutex in place of the copy.
    /// Whether the copy was free, that is whether no thread of the parent was in the middle of
    /// what it guards at the moment of the fork.
    bool renew_in_child() noexcept NO_THREAD_SAFETY_ANALYSIS {
        const bool was_free = mutex_.try_lock();
        new (&mutex_) std::mutex;  // the copy needs no destruction: std::mutex holds no resource
        return was_free;
    }

private:
    std::mutex mutex_;
};

/// Holds a Mutex for its lifetime.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    MutexLock(MutexLock&&) = delete;
    MutexLock& operator=(MutexLock&&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace logging::detail
