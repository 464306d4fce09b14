#include "logging/line_formatter.hpp"

#include <chrono>
#include <ctime>
#include <string_view>

#include "logging/columns.hpp"
#include "logging/fatal_signals.hpp"
#include "logging/line_escape.hpp"
#include "logging/record_text.hpp"

namespace logging::detail {
namespace {

// spdlog's level names, left-aligned in 8 characters.
constexpr std::array<std::string_view, spdlog::level::n_levels> level_columns{
    "trace   ", "debug   ", "info    ", "warning ", "error   ", "critical", "off     "};

void append(spdlog::memory_buf_t& dest, std::string_view text) { dest.append(text.data(), text.data() + text.size()); }

}  // namespace

void LineFormatter::format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) {
    const std::time_t second = spdlog::log_clock::to_time_t(msg.time);
    if (second != date_second_) {
        std::tm local{};
        ::localtime_r(&second, &local);
        format_local_time(second, local.tm_gmtoff, date_.data());
        date_second_ = second;
        note_utc_offset(local.tm_gmtoff);  // for a fatal-signal record, which cannot ask
    }
    dest.append(date_.data(), date_.data() + date_.size());
    append(dest, column_separator);
    append_elapsed_column(dest);
    append(dest, column_separator);
    msg.color_range_start = dest.size();
    append(dest, level_columns.at(static_cast<std::size_t>(msg.level)));
    msg.color_range_end = dest.size();
    append(dest, column_separator);
    append_source_column(dest);
    append(dest, column_separator);
    const std::string_view message(msg.payload.data(), msg.payload.size());
    if (needs_escaping(message)) {
        append_escaped(message, Column::message, dest);
    } else {
        append(dest, message);
    }
    dest.push_back('\n');
}

std::unique_ptr<spdlog::formatter> LineFormatter::clone() const { return std::make_unique<LineFormatter>(); }

}  // namespace logging::detail
