#pragma once
// Alternate signal stacks, so that the fatal-signal handler can still run in a thread whose own
// stack has overflowed (SA_ONSTACK alone does nothing where there is none).
//
// The thread that starts logging gets one at init(), every other thread at the first line it
// writes; a thread that already has one (Python's faulthandler gives the thread that enables it
// one) keeps its own. Each is freed when its thread ends.

namespace logging::detail {

/// Gives the calling thread an alternate signal stack, unless it has one. Called once per thread.
void give_signal_stack() noexcept;

/// Whether this thread has been through give_signal_stack().
inline thread_local bool signal_stack_given = false;

/// give_signal_stack() the first time a thread comes here; after that, one thread-local load and a
/// branch (on the path of every line written).
inline void ensure_signal_stack() noexcept {
    if (!signal_stack_given) {
        give_signal_stack();
    }
}

}  // namespace logging::detail
