#include "logging/console_sink.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include <unistd.h>

#include <spdlog/details/os.h>

#include "logging/trouble_report.hpp"

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

// `line` in the parts that put `colour` around [begin, end).
std::array<std::string_view, 5> coloured_parts(std::string_view line, std::size_t begin, std::size_t end,
                                               std::string_view colour) noexcept {
    return {line.substr(0, begin), colour, line.substr(begin, end - begin), colour_reset, line.substr(end)};
}

iovec part(std::string_view text) noexcept { return {const_cast<char*>(text.data()), text.size()}; }  // NOLINT

}  // namespace

ConsoleSink::ConsoleSink()
    : colour_(::isatty(STDOUT_FILENO) != 0 && spdlog::details::os::is_color_terminal()), output_(STDOUT_FILENO) {}

void ConsoleSink::write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line) {
    const StreamOutput::Wait wait{stalled_ ? 0 : reader_wait_ms, reader_wait_ms};
    if (unshown_ > 0 && !tell_unshown(wait)) {
        return;
    }
    const std::string_view text(line.data(), line.size());
    std::array<iovec, 5> parts{};
    int count = 1;
    parts[0] = part(text);
    if (colour_ && msg.color_range_start < msg.color_range_end && msg.color_range_end <= text.size()) {
        const auto level = static_cast<std::size_t>(msg.level) % level_colours.size();
        const auto pieces = coloured_parts(text, msg.color_range_start, msg.color_range_end, level_colours.at(level));
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            parts.at(i) = part(pieces.at(i));
        }
        count = static_cast<int>(pieces.size());
    }
    switch (output_.write(parts.data(), count, wait)) {
        case StreamOutput::Outcome::written:
            stalled_ = false;
            break;
        case StreamOutput::Outcome::failed:  // no reader at all: nobody to tell later
            break;
        case StreamOutput::Outcome::not_taken:
        case StreamOutput::Outcome::cut_short:
            ++unshown_;
            stalled_ = true;
            break;
    }
}

// Tells the console how many lines it did not show, ahead of the next one; whether it took that.
bool ConsoleSink::tell_unshown(StreamOutput::Wait wait) noexcept {
    FixedText<96> what;
    what << "the console was not read: " << unshown_ << " lines were not shown on it (they are in the log file)";
    const auto report = format_report(what.view());
    iovec note = part(report.view());
    switch (output_.write(&note, 1, wait)) {
        case StreamOutput::Outcome::written:
            unshown_ = 0;
            return true;
        case StreamOutput::Outcome::failed:
            return false;
        default:
            ++unshown_;
            stalled_ = true;
            return false;
    }
}

void ConsoleSink::drop_line(std::error_code /*error*/) noexcept { ++unshown_; }

void ConsoleSink::after_fork_in_child(bool interrupted) noexcept {
    if (interrupted) {
        output_.forget();
    }
}

void ConsoleSink::write_fatal(const FatalRecord& record) const noexcept {
    // The record, coloured by its level, in parts: nothing is copied or allocated, and the
    // stream gives it up after a moment if nobody reads the console.
    const std::string_view text(record.text, record.size);
    std::array<iovec, 5> parts{};
    int count = 1;
    parts[0] = part(text);
    if (colour_ && record.level_begin < record.level_end && record.level_end <= text.size()) {
        const auto colour = level_colours.at(static_cast<std::size_t>(record.level) % level_colours.size());
        const auto pieces = coloured_parts(text, record.level_begin, record.level_end, colour);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            parts.at(i) = part(pieces.at(i));
        }
        count = static_cast<int>(pieces.size());
    }
    StreamOutput output(STDOUT_FILENO);
    output.write(parts.data(), count, {fatal_record_timeout_ms, fatal_record_timeout_ms});
}

}  // namespace logging::detail
