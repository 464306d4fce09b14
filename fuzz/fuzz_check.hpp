#pragma once
// Invariant checks for the fuzz targets: a broken invariant aborts with the failing input saved.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                              \
        }                                                                              \
    } while (false)

namespace fuzz {

/// Whether the log writes `ch` as an escape: a control character other than tab, or DEL.
inline bool is_escaped(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
}

/// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
inline bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned minimum = 0;
        unsigned code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if (byte >= 0xC2 && byte < 0xE0) {
            length = 2, minimum = 0x80, code = byte & 0x1F;
        } else if (byte >= 0xE0 && byte < 0xF0) {
            length = 3, minimum = 0x800, code = byte & 0x0F;
        } else if (byte >= 0xF0 && byte < 0xF5) {
            length = 4, minimum = 0x10000, code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace fuzz
