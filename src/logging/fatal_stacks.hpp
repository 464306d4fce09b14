#pragma once
// Where a fatal signal struck, as continuation lines of its record: the interpreter's stack of the
// thread it struck (through a hook that the Python extension sets at import), then the native
// frames, with symbol names where the dynamic linker knows them. Both are bounded in size, and
// taken with calls that allocate nothing and take no lock of this library.

#include <cstddef>

#include "logging/fatal_record_text.hpp"

namespace logging::detail {

/// Writes the calling thread's interpreter stack as lines of text into [out, out + capacity), a
/// heading first, and gives their size: 0 when the thread is not running interpreted code now.
/// Called from a signal handler: async-signal-safe.
using InterpreterStackWriter = std::size_t (*)(char* out, std::size_t capacity) noexcept;

/// Sets the hook (once, at import of the Python extension; a later call replaces it).
void set_interpreter_stack_writer(InterpreterStackWriter writer) noexcept;

/// Walks a native stack once now, outside any handler: the first walk loads the unwinder, which
/// allocates.
void prepare_stack_walks() noexcept;

/// Appends the stacks of the calling thread, which a signal interrupted with `context` (the
/// handler's ucontext_t): the interpreter's, if the hook gives one, then the native frames.
void add_stacks(FatalRecordText& record, const void* context) noexcept;

}  // namespace logging::detail
