#pragma once
// Process-wide state shared by the units of the logging facade.

#include <atomic>
#include <cstdint>
#include <memory>

#include <spdlog/logger.h>

#include "logging/mutex.hpp"

namespace logging::detail {

/// The lifecycle of the facade in one word, written under the lifecycle lock and read by every
/// logging thread with one load.
///
///   bit          set                                       cleared
///   initialized  first thing in init()                     by shutdown(), and by init() that fails
///   installed    by init() once the logger "core" is in    by shutdown(), and by init() that fails
///                place
///   shut_down    by shutdown()                             never
///   exiting      by the exit handler                       never
///
/// The words that occur (installed never without initialized):
///   0                            fresh
///   initialized                  init() under way
///   initialized | installed      running: the only word in which the filtered road is open
///   shut_down                    shut down
///   shut_down | initialized      init() under way after a shutdown
///   shut_down | init.. | inst..  running again after a shutdown: direct road only
///   any of these | exiting       the process is exiting: the filtered road is shut
namespace lifecycle_bits {
inline constexpr std::uint32_t initialized = 1U << 0U;
inline constexpr std::uint32_t installed = 1U << 1U;
inline constexpr std::uint32_t shut_down = 1U << 2U;
inline constexpr std::uint32_t exiting = 1U << 3U;
inline constexpr std::uint32_t filtered_road_open = initialized | installed;
}  // namespace lifecycle_bits

extern std::atomic<std::uint32_t> lifecycle;

/// The filtered road may write: running, never shut down, not exiting.
inline bool filtered_path_open() noexcept {
    return lifecycle.load(std::memory_order_acquire) == lifecycle_bits::filtered_road_open;
}

/// The source path of the record this thread is writing; "" outside log_from_file.
/// Not owned: it points at the caller's text for the duration of one write.
extern thread_local const char* current_source_file;

/// The logger "core" while logging runs, else null. Read without spdlog's registry, whose locks
/// fork() cannot take.
std::shared_ptr<spdlog::logger> installed_logger();

/// The time since the elapsed-time origin, unless no origin was ever set. Async-signal-safe.
bool elapsed_since_origin(std::int64_t& nanoseconds) noexcept;

/// The lock of the filter state, which fork() takes too.
Mutex& filter_mutex();

/// One filtered write in progress, admitted while the filtered road is open. At exit, static
/// objects are destroyed after the exit handler has shut the filtered road and waited for the
/// writes in progress, so a native thread still logging never touches a destroyed one.
class FilteredWrite {
public:
    FilteredWrite() noexcept;
    ~FilteredWrite();
    FilteredWrite(const FilteredWrite&) = delete;
    FilteredWrite& operator=(const FilteredWrite&) = delete;
    FilteredWrite(FilteredWrite&&) = delete;
    FilteredWrite& operator=(FilteredWrite&&) = delete;

    /// Whether the write may go ahead.
    explicit operator bool() const noexcept { return admitted_; }

private:
    static bool enter() noexcept;
    bool admitted_;
};

}  // namespace logging::detail
