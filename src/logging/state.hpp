#pragma once
// Process-wide state shared by the units of the logging facade. Plain atomics: they are read on
// every logging thread while another thread may initialise or shut down.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <spdlog/logger.h>

namespace logging::detail {

/// init() has run (or is running) and no shutdown() has happened since.
extern std::atomic<bool> initialized;

/// A shutdown() has happened at some time in this process; never cleared.
extern std::atomic<bool> shut_down;

/// The source path of the record this thread is writing; "" outside log_from_file.
/// Not owned: it points at the caller's text for the duration of one write.
extern thread_local const char* current_source_file;

/// The logger "core" is installed as spdlog's default logger: set at the end of a successful
/// init(), cleared by shutdown(). Spares the filtered path spdlog's registry lock.
extern std::atomic<bool> logger_installed;

/// The logger "core" while logging runs, else null. Read without spdlog's registry, whose locks
/// fork() cannot take.
std::shared_ptr<spdlog::logger> installed_logger();

/// The time since the elapsed-time origin, unless no origin was ever set. Async-signal-safe.
bool elapsed_since_origin(std::int64_t& nanoseconds) noexcept;

/// The lock of the filter state, which fork() takes too.
std::mutex& filter_mutex();

/// The process has begun to exit (set by the exit handler that init() registers).
extern std::atomic<bool> exiting;

/// The filtered path may write: initialised with the logger in place, never shut down, not exiting.
inline bool filtered_path_open() noexcept {
    return initialized.load(std::memory_order_acquire) && logger_installed.load(std::memory_order_acquire) &&
           !shut_down.load(std::memory_order_acquire) && !exiting.load(std::memory_order_acquire);
}

/// One filtered write in progress. At exit, static objects are destroyed after the exit handler
/// has closed the filtered path and waited for the writes in progress, so a native thread still
/// logging never touches a destroyed one.
class FilteredWrite {
public:
    FilteredWrite() noexcept;
    ~FilteredWrite();
    FilteredWrite(const FilteredWrite&) = delete;
    FilteredWrite& operator=(const FilteredWrite&) = delete;
    FilteredWrite(FilteredWrite&&) = delete;
    FilteredWrite& operator=(FilteredWrite&&) = delete;

    /// False once the process is exiting: the write must not start.
    explicit operator bool() const noexcept { return admitted_; }

private:
    static bool enter() noexcept;
    bool admitted_;
};

}  // namespace logging::detail
