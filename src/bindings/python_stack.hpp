#pragma once
// The Python part of a fatal record: the stack of the thread that a fatal signal struck, as
// faulthandler writes it, when that thread holds the interpreter lock.

namespace varnel::bindings {

/// Hands the logging core's fatal-signal handler the writer of the Python stack. At import.
void register_python_stack_writer() noexcept;

}  // namespace varnel::bindings
