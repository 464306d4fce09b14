// A message of any bytes, through the line formatter: the message part of the line shows no
// control character but tab and line feed, every line feed is followed by two spaces, and clean
// text is unchanged.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_check.hpp"
#include "logging/line_escape.hpp"
#include "logging/line_formatter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string message(reinterpret_cast<const char*>(data), size);
    static logging::detail::LineFormatter formatter;
    const spdlog::details::log_msg msg("core", spdlog::level::info, message);
    spdlog::memory_buf_t buffer;
    formatter.format(msg, buffer);
    // The columns before the message (no elapsed-time origin, no source: 79 bytes), and the line end.
    constexpr std::size_t columns = 79;
    FUZZ_CHECK(buffer.size() > columns && buffer[buffer.size() - 1] == '\n');
    const std::string line(buffer.data() + columns, buffer.size() - columns - 1);

    const auto escaped = static_cast<std::size_t>(std::count_if(message.begin(), message.end(), fuzz::is_escaped));
    const auto line_feeds = static_cast<std::size_t>(std::count(message.begin(), message.end(), '\n'));
    FUZZ_CHECK(logging::detail::needs_escaping(message) == (escaped > 0));
    FUZZ_CHECK(escaped > 0 || line == message);
    // Each line feed becomes three bytes ("\n  "), each other escaped byte four ("\xNN").
    FUZZ_CHECK(line.size() == size + 2 * line_feeds + 3 * (escaped - line_feeds));
    for (std::size_t i = 0; i < line.size(); ++i) {
        FUZZ_CHECK(line[i] == '\n' ? line.compare(i, 3, "\n  ") == 0 : !fuzz::is_escaped(line[i]));
    }
    return 0;
}
