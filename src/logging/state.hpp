#pragma once
// Process-wide state shared by the units of the logging facade. Plain atomics: they are read on
// every logging thread while another thread may initialise or shut down.

#include <atomic>

namespace logging::detail {

/// init() has run (or is running) and no shutdown() has happened since.
extern std::atomic<bool> initialized;

/// A shutdown() has happened at some time in this process; never cleared.
extern std::atomic<bool> shut_down;

/// The source path of the record this thread is writing; "" outside log_from_file.
/// Not owned: it points at the caller's text for the duration of one write.
extern thread_local const char* current_source_file;

/// The filtered path may write: initialised, never shut down.
inline bool filtered_path_open() noexcept {
    return initialized.load(std::memory_order_acquire) && !shut_down.load(std::memory_order_acquire);
}

}  // namespace logging::detail
