#pragma once
// The two custom pattern flags of the log line: elapsed seconds ('E') and source file ('*').

#include <chrono>
#include <cstddef>
#include <ctime>
#include <memory>

#include <spdlog/pattern_formatter.h>

namespace logging {

/// Minimum width, in bytes, of the source-file column.
inline constexpr std::size_t SOURCE_COLUMN_WIDTH = 30;

/// Restarts the elapsed-time origin at the current steady-clock time. Any thread, any time.
void initialize_timer() noexcept;

/// Appends `elapsed` as seconds truncated to the millisecond, "{:>9.3f}s" ("    1.234s");
/// values of 100000 s and more widen the column.
void append_elapsed(std::chrono::nanoseconds elapsed, spdlog::memory_buf_t& dest);

/// Flag 'E': seconds since the origin, or "    0.000s" while no origin was ever set.
/// Padding given in the pattern is ignored.
class ElapsedTimeFormatter final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& time, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<custom_flag_formatter> clone() const override;
};

/// Flag '*': the display form of the source path of the record this thread is writing (set only
/// by log_from_file), left-aligned in SOURCE_COLUMN_WIDTH bytes and never cut; blank otherwise.
/// Control characters but tab, DEL and "|" are written as "\xNN" (the width counts the escapes),
/// so that the column never holds the separator " | ". Padding given in the pattern is ignored.
class SourceFileFormatter final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& time, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<custom_flag_formatter> clone() const override;
};

}  // namespace logging
