#pragma once
// Columns of a log line written by hand, without floating point, locks or allocation: the
// elapsed column of every line, and the whole record a fatal-signal handler writes.

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace logging::detail {

/// The largest elapsed column, with its 's'.
inline constexpr std::size_t max_elapsed_size = 32;

/// `milliseconds` / 1000 as "{:>9.3f}s" writes it (seconds with three decimals, right-aligned in
/// nine characters, then 's'; more characters when needed), into `out` (max_elapsed_size
/// characters at least). The number of characters written.
inline std::size_t format_elapsed(std::int64_t milliseconds, char* out) noexcept {
    const bool negative = milliseconds < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(milliseconds) : milliseconds;
    char digits[max_elapsed_size];  // the number backwards, from its last decimal
    std::size_t count = 0;
    for (int decimals = 0; decimals < 3; ++decimals, magnitude /= 10) {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
    }
    digits[count++] = '.';
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        digits[count++] = '-';
    }
    std::size_t size = 0;
    for (; size + count < 9; ++size) {
        out[size] = ' ';
    }
    while (count > 0) {
        out[size++] = digits[--count];
    }
    out[size++] = 's';
    return size;
}

/// `seconds` since the epoch, moved by `utc_offset` seconds (local time, as the offset gives it),
/// as "%Y-%m-%d %H:%M:%S" into `out` (19 characters) for the years 0 to 9999.
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
        for (int at = width - 1; at >= 0; --at, value /= 10) {
            out[at] = static_cast<char>('0' + value % 10);
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
