#pragma once
// The text of a fatal record, laid out by a signal handler in a buffer of fixed size: the record's
// line, then continuation lines (the stacks), each indented, so that every reader of the log (the
// log reader, lnav, the fleet's collectors) keeps them one record with it.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>

namespace logging::detail {

class FatalRecordText {
public:
    /// The most a record takes, its marks of lines left out included.
    static constexpr std::size_t capacity = std::size_t{16} * 1024;

    /// Empties the record.
    void clear() noexcept {
        size_ = 0;
        cut_ = false;
    }

    /// Appends `text` as it is (the record's own line, laid out by the caller), if it fits whole.
    void add_raw(std::string_view text) noexcept {
        if (!cut_ && text.size() <= room()) {
            commit(copy(text, size_));
        }
    }

    /// Appends a continuation line: `indent` (whitespace), then `line` with its control characters
    /// (other than tab) as "\xNN", then a line break. A line that does not fit is left out, and so
    /// is every later one; finish() then says so.
    void add_line(std::string_view indent, std::string_view line) noexcept {
        if (cut_) {
            return;
        }
        std::size_t end = copy(indent, size_);
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
                constexpr std::string_view digits = "0123456789abcdef";
                const std::array<char, 4> escaped{'\\', 'x', digits[byte >> 4U], digits[byte & 0xfU]};
                end = copy({escaped.data(), escaped.size()}, end);
            } else {
                end = copy({&c, 1}, end);
            }
        }
        end = copy("\n", end);
        if (end > size_ + room()) {
            cut_ = true;
            return;
        }
        commit(end);
    }

    /// add_line() for each line of `text` (separated by line breaks; a last line without one too).
    void add_lines(std::string_view indent, std::string_view text) noexcept {
        while (!text.empty()) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            add_line(indent, text.substr(0, end));
            text.remove_prefix(std::min(end + 1, text.size()));
        }
    }

    /// Marks with "  ..." that lines were left out, if any were.
    void finish() noexcept {
        if (cut_) {
            commit(copy(cut_mark, size_));
        }
    }

    /// The whole lines appended so far: also what a fault in the middle of an append finds.
    std::string_view view() const noexcept { return {text_.data(), size_}; }

private:
    static constexpr std::string_view cut_mark = "  ...\n";

    // The room for lines, the mark of a cut kept aside.
    std::size_t room() const noexcept { return capacity - cut_mark.size() - size_; }

    // Copies what fits of `text` to `at`; the end of what would have been written.
    std::size_t copy(std::string_view text, std::size_t at) noexcept {
        if (at < capacity) {
            std::copy_n(text.data(), std::min(text.size(), capacity - at), text_.data() + at);
        }
        return at + text.size();
    }

    // Makes the text up to `end` part of the record.
    void commit(std::size_t end) noexcept {
        // The line's bytes before its size: a fault that interrupts the handler here and writes
        // the record from a nested handler, on this thread, sees whole lines only.
        std::atomic_signal_fence(std::memory_order_release);
        size_ = end;
    }

    std::array<char, capacity> text_{};
    std::size_t size_ = 0;
    bool cut_ = false;
};

}  // namespace logging::detail
