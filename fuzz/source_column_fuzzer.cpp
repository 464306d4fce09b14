// The source column for any path: at least 30 bytes, no control characters but tab, no bar, and
// valid UTF-8 whenever the path is.

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include <varnel/logging/pattern_flags.hpp>
#include <varnel/logging/source_path.hpp>

#include "fuzz_check.hpp"
#include "logging/state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);  // cut at a NUL when read as C string
    const std::string_view as_c_string(path.c_str());

    logging::SourceFileFormatter flag;
    spdlog::details::log_msg msg;
    std::tm time{};
    spdlog::memory_buf_t column;
    logging::detail::current_source_file = path.c_str();
    flag.format(msg, time, column);
    logging::detail::current_source_file = "";

    const std::string_view text(column.data(), column.size());
    FUZZ_CHECK(text.size() >= logging::SOURCE_COLUMN_WIDTH);
    if (fuzz::is_valid_utf8(as_c_string)) {
        FUZZ_CHECK(fuzz::is_valid_utf8(text));
        FUZZ_CHECK(fuzz::is_valid_utf8(logging::format_source_path(as_c_string)));
    }
    // No control character but tab reaches the line, and no bar: the column never holds " | ".
    FUZZ_CHECK(std::none_of(text.begin(), text.end(), fuzz::is_escaped));
    FUZZ_CHECK(text.find('|') == std::string_view::npos);
    // Abbreviation only drops text, except that a module marker adds its letter and a dot; an
    // escape writes four bytes for one.
    FUZZ_CHECK(text.size() <= std::max(logging::SOURCE_COLUMN_WIDTH, 4 * (as_c_string.size() + 5)));
    return 0;
}
