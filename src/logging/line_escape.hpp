#pragma once
// Control characters in log text, written as visible escapes: every line of the log is a record
// or the continuation of one, and no text reaches a terminal as a control sequence.
//
// The bytes 0x00-0x1f other than TAB, and DEL (0x7f), are written "\xNN" in lower-case hex. In a
// message a line feed stays a line break, followed by two spaces, so that a continuation line
// never starts like a record (with its date); in the source column it is escaped like the others,
// and so is "|" ("\x7c"), so that the first " | " after the level always ends that column.
// Every other byte (backslashes, UTF-8) is written as it is.

#include <string_view>

#include <spdlog/common.h>

namespace logging::detail {

/// The column the text goes to, which tells how append_escaped() writes a line feed and a bar.
enum class Column {
    message,  ///< a line feed: a line break followed by two spaces; a bar as it is
    source,   ///< a line feed: "\x0a"; a bar: "\x7c"
};

/// Whether append_escaped() changes `text` written as a message. One pass, no writes.
bool needs_escaping(std::string_view text) noexcept;

/// Appends `text` to `dest` with its control characters (and, in the source column, its bars)
/// escaped.
void append_escaped(std::string_view text, Column column, spdlog::memory_buf_t& dest);

}  // namespace logging::detail
