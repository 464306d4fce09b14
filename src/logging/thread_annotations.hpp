#pragma once
// Lock annotations that clang checks (-Wthread-safety): which mutex guards which member, and
// which functions must be called with it held. Other compilers ignore them.

#if defined(__clang__)
#define VARNEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VARNEL_THREAD_ANNOTATION(x)
#endif

/// A type that is a lock.
#define CAPABILITY(name) VARNEL_THREAD_ANNOTATION(capability(name))
/// An object that holds a lock for its lifetime.
#define SCOPED_CAPABILITY VARNEL_THREAD_ANNOTATION(scoped_lockable)
/// A member that may be used only with `mutex` held.
#define GUARDED_BY(mutex) VARNEL_THREAD_ANNOTATION(guarded_by(mutex))
/// A function to be called with the locks held.
#define REQUIRES(...) VARNEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function to be called without the locks.
#define EXCLUDES(...) VARNEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that takes the locks, and one that lets them go.
#define ACQUIRE(...) VARNEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VARNEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that takes the lock when it returns true.
#define TRY_ACQUIRE(...) VARNEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function the analysis does not follow (fork handlers take and release locks across calls).
#define NO_THREAD_SAFETY_ANALYSIS VARNEL_THREAD_ANNOTATION(no_thread_safety_analysis)
