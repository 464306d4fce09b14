#pragma once
// Path splitting shared by the filters and the source column: '/' and '\' are separators on
// every platform.

#include <string_view>

namespace logging::detail {

inline constexpr std::string_view path_separators = "/\\";

constexpr bool is_separator(char c) noexcept { return c == '/' || c == '\\'; }

/// The text after the last separator, or the whole path when it has none.
constexpr std::string_view base_name(std::string_view path) noexcept {
    const auto last = path.find_last_of(path_separators);
    return last == std::string_view::npos ? path : path.substr(last + 1);
}

}  // namespace logging::detail
