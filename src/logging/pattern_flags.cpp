#include <varnel/logging/pattern_flags.hpp>

#include <atomic>
#include <cstdint>
#include <string>

#include <varnel/logging/source_path.hpp>

#include "logging/line_escape.hpp"
#include "logging/record_text.hpp"
#include "logging/state.hpp"

namespace logging {
namespace detail {

thread_local const char* current_source_file = "";

}  // namespace detail

namespace {

using steady_clock = std::chrono::steady_clock;

// The elapsed-time origin in steady-clock nanoseconds; published by `timer_started`.
std::atomic<std::int64_t> timer_start{0};
std::atomic<bool> timer_started{false};

constexpr std::string_view timer_not_started = "    0.000s";
constexpr char column_padding[SOURCE_COLUMN_WIDTH + 1] = "                              ";

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void append(spdlog::memory_buf_t& dest, std::string_view text) { dest.append(text.data(), text.data() + text.size()); }

}  // namespace

void initialize_timer() noexcept {
    timer_start.store(now_ns(), std::memory_order_relaxed);
    timer_started.store(true, std::memory_order_release);
}

bool detail::elapsed_since_origin(std::int64_t& nanoseconds) noexcept {
    if (!timer_started.load(std::memory_order_acquire)) {
        return false;
    }
    // The origin is read before the clock, so a concurrent restart cannot make the value negative.
    const std::int64_t start = timer_start.load(std::memory_order_relaxed);
    nanoseconds = now_ns() - start;
    return true;
}

void append_elapsed(std::chrono::nanoseconds elapsed, spdlog::memory_buf_t& dest) {
    // Whole milliseconds, truncated toward zero, never rounded.
    char text[detail::max_elapsed_size];
    append(dest, std::string_view(text, detail::format_elapsed(elapsed.count() / 1'000'000, text)));
}

void ElapsedTimeFormatter::format(const spdlog::details::log_msg& /*msg*/, const std::tm& /*time*/,
                                  spdlog::memory_buf_t& dest) {
    std::int64_t elapsed = 0;
    if (!detail::elapsed_since_origin(elapsed)) {
        append(dest, timer_not_started);
        return;
    }
    append_elapsed(std::chrono::nanoseconds(elapsed), dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> ElapsedTimeFormatter::clone() const {
    return std::make_unique<ElapsedTimeFormatter>();
}

void SourceFileFormatter::format(const spdlog::details::log_msg& /*msg*/, const std::tm& /*time*/,
                                 spdlog::memory_buf_t& dest) {
    const std::size_t start = dest.size();
    const char* source = detail::current_source_file;
    if (source != nullptr && source[0] != '\0') {
        detail::append_escaped(format_source_path(project_relative_path(source)), detail::LineFeeds::escape, dest);
    }
    const std::size_t written = dest.size() - start;
    if (written < SOURCE_COLUMN_WIDTH) {
        append(dest, std::string_view(column_padding, SOURCE_COLUMN_WIDTH - written));
    }
}

std::unique_ptr<spdlog::custom_flag_formatter> SourceFileFormatter::clone() const {
    return std::make_unique<SourceFileFormatter>();
}

}  // namespace logging
