#include "logging/console_sink.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <string_view>

#include <unistd.h>

#include <spdlog/details/os.h>

#include "logging/fatal_record_text.hpp"
#include "logging/unique_fd.hpp"

namespace logging::detail {
namespace {

// spdlog's colours, by level.
constexpr std::array<std::string_view, spdlog::level::n_levels> level_colours{
    "\033[37m",           // trace: white
    "\033[36m",           // debug: cyan
    "\033[32m",           // info: green
    "\033[33m\033[1m",    // warning: bold yellow
    "\033[31m\033[1m",    // error: bold red
    "\033[1m\033[41m",    // critical: bold on red
    "\033[m",             // off
};
constexpr std::string_view colour_reset = "\033[m";

// A fatal record must not hold up the end of the process on a console nobody reads.
constexpr int fatal_record_timeout_ms = 100;

// Writes `text` in one piece if it fits in PIPE_BUF, else in pieces of whole lines that do: a pipe
// with room for one takes it whole, so no write can block. Each piece waits for that room
// fatal_record_timeout_ms at most.
void write_in_pieces(std::string_view text) noexcept {
    while (!text.empty()) {
        std::size_t piece = text.size();
        if (piece > PIPE_BUF) {
            piece = text.substr(0, PIPE_BUF).rfind('\n') + 1;  // npos + 1: a line longer than PIPE_BUF
            piece = piece == 0 ? PIPE_BUF : piece;
        }
        if (!write_all(STDOUT_FILENO, text.data(), piece, fatal_record_timeout_ms)) {
            return;
        }
        text.remove_prefix(piece);
    }
}

// `line` in the parts that put `colour` around [begin, end).
std::array<std::string_view, 5> coloured_parts(std::string_view line, std::size_t begin, std::size_t end,
                                               std::string_view colour) noexcept {
    return {line.substr(0, begin), colour, line.substr(begin, end - begin), colour_reset, line.substr(end)};
}

}  // namespace

ConsoleSink::ConsoleSink()
    : colour_(::isatty(STDOUT_FILENO) != 0 && spdlog::details::os::is_color_terminal()) {}

void ConsoleSink::write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line) {
    const std::string_view text(line.data(), line.size());
    if (!colour_ || msg.color_range_end <= msg.color_range_start || msg.color_range_end > text.size()) {
        write_all(STDOUT_FILENO, text.data(), text.size());
        return;
    }
    spdlog::memory_buf_t coloured;
    for (const std::string_view part : coloured_parts(text, msg.color_range_start, msg.color_range_end,
                                                      level_colours.at(static_cast<std::size_t>(msg.level)))) {
        coloured.append(part.data(), part.data() + part.size());
    }
    write_all(STDOUT_FILENO, coloured.data(), coloured.size());
}

void ConsoleSink::write_fatal(const FatalRecord& record) const noexcept {
    const std::string_view text(record.text, record.size);
    // Coloured in a buffer of its own: nothing may be allocated here, and a record with its stacks
    // is too large for a signal stack. Only one thread at a time writes a fatal record.
    static std::array<char, FatalRecordText::capacity + 32> coloured;
    const std::string_view colour = level_colours.at(static_cast<std::size_t>(record.level));
    if (!colour_ || text.size() + colour.size() + colour_reset.size() > coloured.size()) {
        write_in_pieces(text);
        return;
    }
    std::size_t size = 0;
    for (const std::string_view part : coloured_parts(text, record.level_begin, record.level_end, colour)) {
        part.copy(coloured.data() + size, part.size());
        size += part.size();
    }
    write_in_pieces({coloured.data(), size});
}

}  // namespace logging::detail
