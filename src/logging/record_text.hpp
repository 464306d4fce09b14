#pragma once
// Text written by hand, without floating point, locks, allocation or exceptions: the elapsed
// column of every line, the record a fatal-signal handler writes, and the reports of trouble
// with the log, which are made where nothing may be allocated or thrown.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace logging::detail {

/// What separates the columns of a line.
inline constexpr std::string_view column_separator = " | ";

/// Text in a buffer of its own, cut short when the buffer is full, and always NUL-terminated.
template <std::size_t Capacity>
class FixedText {
public:
    FixedText& operator<<(std::string_view text) noexcept {
        const std::size_t taken = std::min(text.size(), Capacity - size_);
        std::copy_n(text.data(), taken, text_.data() + size_);
        size_ += taken;
        return *this;
    }

    FixedText& operator<<(std::uint64_t number) noexcept { return *this << Number{number, 1}; }

    /// A number written with at least `width` digits, zeros in front.
    struct Number {
        std::uint64_t value;
        int width;
    };
    FixedText& operator<<(Number number) noexcept {
        std::array<char, 20> digits{};  // backwards
        auto* end = digits.begin();
        do {
            *end++ = static_cast<char>('0' + number.value % 10);
            number.value /= 10;
        } while (number.value != 0 || end - digits.begin() < number.width);
        std::reverse(digits.begin(), end);
        return *this << std::string_view(digits.data(), static_cast<std::size_t>(end - digits.begin()));
    }

    std::string_view view() const noexcept { return {text_.data(), size_}; }
    const char* c_str() const noexcept { return text_.data(); }

private:
    std::array<char, Capacity + 1> text_{};  // the last byte is never written
    std::size_t size_ = 0;
};

/// The largest elapsed column, with its 's'.
inline constexpr std::size_t max_elapsed_size = 32;

/// `milliseconds` / 1000 as "{:>9.3f}s" writes it (seconds with three decimals, right-aligned in
/// nine characters, then 's'; more characters when needed), into `out` (max_elapsed_size
/// characters at least). The number of characters written.
inline std::size_t format_elapsed(std::int64_t milliseconds, char* out) noexcept {
    const bool negative = milliseconds < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(milliseconds) : milliseconds;
    std::array<char, max_elapsed_size> digits{};  // the number backwards, from its last decimal
    auto* at = digits.begin();
    for (int decimals = 0; decimals < 3; ++decimals, magnitude /= 10) {
        *at++ = static_cast<char>('0' + magnitude % 10);
    }
    *at++ = '.';
    do {
        *at++ = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        *at++ = '-';
    }
    const auto count = static_cast<std::size_t>(at - digits.begin());
    char* const start = out;
    out = std::fill_n(out, count < 9 ? 9 - count : 0, ' ');
    out = std::reverse_copy(digits.begin(), at, out);
    *out++ = 's';
    return static_cast<std::size_t>(out - start);
}

/// The size of the date column, "%Y-%m-%d %H:%M:%S".
inline constexpr std::size_t local_time_size = 19;

/// `seconds` since the epoch, moved by `utc_offset` seconds (local time, as the offset gives it),
/// as "%Y-%m-%d %H:%M:%S" into `out` (local_time_size characters) for the years 0 to 9999.
inline void format_local_time(std::int64_t seconds, long utc_offset, char* out) noexcept {
    const std::int64_t local = seconds + utc_offset;
    const std::int64_t second_of_day = ((local % 86400) + 86400) % 86400;
    // Days to a civil date (H. Hinnant's algorithm, proleptic Gregorian calendar).
    const std::int64_t days = (local - second_of_day) / 86400 + 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
    const std::int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const std::int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    const auto put = [&out](std::int64_t value, int width, char after) {
        for (char* at = out + width - 1; at >= out; --at, value /= 10) {
            *at = static_cast<char>('0' + value % 10);
        }
        out += width;
        if (after != '\0') {
            *out++ = after;
        }
    };
    put(year, 4, '-');
    put(month, 2, '-');
    put(day, 2, ' ');
    put(second_of_day / 3600, 2, ':');
    put(second_of_day / 60 % 60, 2, ':');
    put(second_of_day % 60, 2, '\0');
}

}  // namespace logging::detail
