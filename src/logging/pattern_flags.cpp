#include <varnel/logging/pattern_flags.hpp>

#include <array>
#include <atomic>
#include <cstring>
#include <cstdint>
#include <string>

#include <varnel/logging/source_path.hpp>

#include "logging/columns.hpp"
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

// The source column (without its padding) of `path`: project-relative, abbreviated, escaped.
void append_display_form(const char* path, spdlog::memory_buf_t& dest) {
    detail::append_escaped(format_source_path(project_relative_path(path)), detail::Column::source, dest);
}

// The source columns of the last few paths a thread wrote from. A path shows the same column at
// every line once the project root is known, and it keeps arriving at the same address (a
// literal __FILE__, a module's __file__), so a hit costs one comparison of the text; the address
// alone would not do, since it can be reused for other text. Fixed size and trivially
// destructible, so that it still serves while the thread's other objects are destroyed.
class SourceColumnCache {
public:
    /// Appends the column of `path` (not empty), worked out once while it stays in the cache.
    void append_column(const char* path, spdlog::memory_buf_t& dest) {
        for (const Entry& entry : entries_) {
            if (entry.key == path && std::strcmp(entry.path.data(), path) == 0) {
                dest.append(entry.column.data(), entry.column.data() + entry.column_size);
                return;
            }
        }
        const std::size_t start = dest.size();
        append_display_form(path, dest);
        const std::size_t path_size = std::strlen(path);
        const std::size_t column_size = dest.size() - start;
        if (path_size < Entry::max_path && column_size <= Entry::max_column) {  // longer ones are not kept
            Entry& entry = *(entries_.begin() + next_);
            next_ = (next_ + 1) % entries_.size();
            entry.key = path;
            std::memcpy(entry.path.data(), path, path_size + 1);
            std::memcpy(entry.column.data(), dest.data() + start, column_size);
            entry.column_size = column_size;
        }
    }

private:
    struct Entry {
        static constexpr std::size_t max_path = 256;
        static constexpr std::size_t max_column = 128;
        const char* key = nullptr;           // the address the path arrived at
        std::array<char, max_path> path;     // its text, NUL-terminated
        std::size_t column_size = 0;
        std::array<char, max_column> column;
    };
    std::array<Entry, 4> entries_{};
    std::size_t next_ = 0;  // the entry the next new path takes
};

thread_local SourceColumnCache source_columns;

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

void detail::append_elapsed_column(spdlog::memory_buf_t& dest) {
    std::int64_t elapsed = 0;
    if (!elapsed_since_origin(elapsed)) {
        append(dest, timer_not_started);
        return;
    }
    append_elapsed(std::chrono::nanoseconds(elapsed), dest);
}

void detail::append_source_column(spdlog::memory_buf_t& dest) {
    const std::size_t start = dest.size();
    const char* source = current_source_file;
    if (source != nullptr && source[0] != '\0') {
        source_columns.append_column(source, dest);
    }
    const std::size_t written = dest.size() - start;
    if (written < SOURCE_COLUMN_WIDTH) {
        append(dest, std::string_view(column_padding, SOURCE_COLUMN_WIDTH - written));
    }
}

void ElapsedTimeFormatter::format(const spdlog::details::log_msg& /*msg*/, const std::tm& /*time*/,
                                  spdlog::memory_buf_t& dest) {
    detail::append_elapsed_column(dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> ElapsedTimeFormatter::clone() const {
    return std::make_unique<ElapsedTimeFormatter>();
}

void SourceFileFormatter::format(const spdlog::details::log_msg& /*msg*/, const std::tm& /*time*/,
                                 spdlog::memory_buf_t& dest) {
    detail::append_source_column(dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> SourceFileFormatter::clone() const {
    return std::make_unique<SourceFileFormatter>();
}

}  // namespace logging
