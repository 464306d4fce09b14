#pragma once
// Trouble with the log itself, told on standard error: the log cannot carry it.

#include <atomic>
#include <cstdint>
#include <string_view>

#include "logging/record_text.hpp"

namespace logging::detail {

/// At most one report a second from one source of trouble (a full disk must not flood the
/// terminal); each source's first report always goes out.
class ReportLimit {
public:
    /// Whether a report may go out now; if so, the next one waits a second from now.
    bool claim() noexcept;

private:
    std::atomic<std::int64_t> last_{0};  // steady-clock nanoseconds of the last report
    std::atomic<bool> reported_{false};
};

/// A report in spdlog's error-report layout, numbered:
/// "[*** LOG ERROR #0001 ***] [2026-12-08 16:02:15] [core] <what>\n". Allocates nothing.
FixedText<1024> format_report(std::string_view what) noexcept;

/// Reports `what` on standard error (format_report's layout) in one write, unless `limit` holds it
/// back; whether it went out. A standard error nobody reads is waited for briefly, and once it
/// took nothing, not at all until it takes a report again. Allocates nothing.
bool report_trouble(std::string_view what, ReportLimit* limit = nullptr) noexcept;

/// Counts `lines` that the log could not write; the number lost in this process so far.
std::uint64_t count_lost_lines(std::uint64_t lines) noexcept;

/// Reports "N lines lost in total", unless no line was lost since the last such report: at
/// shutdown and at exit, so that the count the rate limit may have held back is told.
void report_lost_total() noexcept;

}  // namespace logging::detail
