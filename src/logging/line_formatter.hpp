#pragma once
// The layout of every record:
//   "<local date and time> | <elapsed> | <level> | <source> | <message>"
// the text spdlog's pattern "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v" gives with the two
// flags of <varnel/logging/pattern_flags.hpp>, written directly: each line is formatted on the
// thread that logs, before its call returns, and going through the pattern's flag objects
// one by one would cost that thread as much again.
//
// Every record starts a line: control characters of the message are written as "\xNN", and a
// line break in it is followed by two spaces (see line_escape.hpp).

#include <array>
#include <cstdint>
#include <limits>
#include <memory>

#include <spdlog/formatter.h>

#include "logging/record_text.hpp"

namespace logging::detail {

class LineFormatter final : public spdlog::formatter {
public:
    /// Appends the line of `msg`, and marks the level column (padded to 8) as its coloured range.
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::formatter> clone() const override;

    /// Forgets the date it keeps, which a forked child's parent thread may have left half written.
    void forget_date() noexcept { date_second_ = std::numeric_limits<std::int64_t>::min(); }

private:
    std::int64_t date_second_ = std::numeric_limits<std::int64_t>::min();  // the second date_ shows
    std::array<char, local_time_size> date_{};                                            // "%Y-%m-%d %H:%M:%S", local time
};

}  // namespace logging::detail
