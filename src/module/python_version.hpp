#pragma once
// The interpreter check made before anything else happens on import.

#include <cstring>

namespace varnel::module {

/// The interpreter series the extension is built for; also quoted in the mismatch message.
inline constexpr char expected_python_version[] = "3.12";

/// True when `version` (as Py_GetVersion() reports it) belongs to the expected series: it starts
/// with "3.12" and the next character is not a digit, so "3.12.1 (main, ...)", "3.12+" and
/// "3.12" pass while "3.120", "3.13.1" and "" do not.
inline bool is_expected_python_version(const char* version) noexcept {
    const std::size_t length = sizeof(expected_python_version) - 1;
    if (std::strncmp(version, expected_python_version, length) != 0) {
        return false;
    }
    const char next = version[length];
    return next < '0' || next > '9';
}

}  // namespace varnel::module
