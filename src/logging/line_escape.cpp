#include "logging/line_escape.hpp"

#include <cstdint>
#include <cstring>

namespace logging::detail {
namespace {

constexpr bool is_escaped(unsigned char byte) noexcept { return (byte < 0x20 && byte != '\t') || byte == 0x7f; }

// Whether one of the eight bytes of `word` is below 0x20 or is DEL: exact, since no borrow can
// cross a byte unless one is below 0x20 already. A tab counts, so a hit is looked at byte by byte.
constexpr bool may_hold_escaped(std::uint64_t word) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t high_bits = ones * 0x80;
    const std::uint64_t xor_del = word ^ (ones * 0x7f);
    return ((((word - ones * 0x20) & ~word) | ((xor_del - ones) & ~xor_del)) & high_bits) != 0;
}

std::uint64_t word_at(const char* at) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The index of the first byte of `text` at or after `from` that is escaped, or text.size().
// Clean text is read a word at a time, its last bytes in the word that ends with them, so that a
// line without control characters costs next to nothing.
std::size_t find_escaped(std::string_view text, std::size_t from) noexcept {
    constexpr std::size_t word_size = sizeof(std::uint64_t);
    const std::size_t size = text.size();
    std::size_t at = from;
    while (size - at >= word_size && !may_hold_escaped(word_at(text.data() + at))) {
        at += word_size;
    }
    if (size - at < word_size && size >= word_size && !may_hold_escaped(word_at(text.data() + size - word_size))) {
        return size;
    }
    while (at != size && !is_escaped(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    return at;
}

// The index of the first byte of `text` at or after `from` that the source column escapes. The
// column is short: a byte at a time.
std::size_t find_escaped_in_source(std::string_view text, std::size_t from) noexcept {
    std::size_t at = from;
    while (at != text.size() && !is_escaped(static_cast<unsigned char>(text[at])) && text[at] != '|') {
        ++at;
    }
    return at;
}

constexpr std::string_view continuation = "\n  ";  // a line feed in a message
constexpr std::string_view hex_digits = "0123456789abcdef";

}  // namespace

bool needs_escaping(std::string_view text) noexcept { return find_escaped(text, 0) != text.size(); }

void append_escaped(std::string_view text, Column column, spdlog::memory_buf_t& dest) {
    const auto next = column == Column::message ? find_escaped : find_escaped_in_source;
    std::size_t run = 0;  // first byte not written yet
    for (std::size_t at = next(text, run); at != text.size(); at = next(text, run)) {
        dest.append(text.data() + run, text.data() + at);
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\n' && column == Column::message) {
            dest.append(continuation.data(), continuation.data() + continuation.size());
        } else {
            const char escape[] = {'\\', 'x', hex_digits[byte >> 4], hex_digits[byte & 0xf]};
            dest.append(escape, escape + sizeof escape);
        }
        run = at + 1;
    }
    dest.append(text.data() + run, text.data() + text.size());
}

}  // namespace logging::detail
