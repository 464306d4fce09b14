#pragma once
// Trouble with the log itself, told on standard error: the log cannot carry it.

#include <cstdint>
#include <string_view>

namespace logging::detail {

/// Reports `what` on standard error in spdlog's error-report layout,
/// "[*** LOG ERROR #0001 ***] [2026-12-08 16:02:15] [core] <what>", in one write. Unless
/// `always`, no report goes out within a second of the last (a full disk must not flood the
/// terminal); whether this one did. Allocates nothing.
bool report_trouble(std::string_view what, bool always = false) noexcept;

/// Counts `lines` that the log could not write; the number lost in this process so far.
std::uint64_t count_lost_lines(std::uint64_t lines) noexcept;

/// Reports "N lines lost in total", unless no line was lost since the last such report: at
/// shutdown and at exit, so that the count the rate limit may have held back is told.
void report_lost_total() noexcept;

}  // namespace logging::detail
