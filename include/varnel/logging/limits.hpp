#pragma once
// Limits of a log call site, for the loops that would otherwise write a line on every tick: only
// once, every n-th call, at most one line per period, the first call held back.
//
// A site is one place in the code (one expansion of a VARNEL_LOG_* macro, in a template one per
// instantiation; for Python's foundation_logging.log(), the calling code object and line). Its state is a LogSite; every call
// there brings its LogLimits. Only calls that pass the thresholds reach the limits, which apply
// in the order of LogLimits' fields, each to the calls the one before let through:
//
//   skip_first   the site's first call is held back
//   every_n      of the calls after that, the 1st, (n+1)th, (2n+1)th ... go on
//   throttle     of those, a call goes on when at least the period has passed, on the monotonic
//                clock, since the site's last line (the first goes on)
//   once         of those, only the first: the site writes one line, ever
//
// A call that goes through every limit writes its line; when the site held calls back since its
// last line, the line ends with " (N suppressed)", N the number of those calls. Calls held back
// by `once` after the site's line are not counted: no line will ever show them.
//
// The state is lock-free and shared by every thread that calls the site: each limit decides with
// one atomic operation, so threads together get exactly the lines one thread would (every n-th of
// all their calls, one line per period), and a call held back is counted in one later line, never
// in two.

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/level.hpp>

namespace logging {

/// The limits of one call, applied in the order of the fields. The defaults limit nothing.
struct LogLimits {
    bool skip_first = false;               // hold back the site's first call
    std::uint64_t every_n = 1;             // let the 1st, (n+1)th, (2n+1)th ... call on; 0 counts as 1
    std::chrono::nanoseconds throttle{0};  // at least this long between two lines; 0 or less: no limit
    bool once = false;                     // let only the first call on, ever
};

/// A throttle period from any std::chrono duration, rounded up to whole nanoseconds. Zero,
/// negative and NaN periods limit nothing; one too long for nanoseconds (about 292 years) is the
/// longest there is, so only the site's first line is written.
template <class Rep, class Period>
constexpr std::chrono::nanoseconds throttle_period(std::chrono::duration<Rep, Period> period) noexcept {
    using std::chrono::nanoseconds;
    if (!(period > period.zero())) {
        return nanoseconds::zero();
    }
    if (std::chrono::duration<long double, std::nano>(period).count() >=
        static_cast<long double>(nanoseconds::max().count())) {
        return nanoseconds::max();
    }
    return std::chrono::ceil<nanoseconds>(period);
}

/// Limits of one kind, as the VARNEL_LOG_* macros below give them.
namespace limits {
constexpr LogLimits once() noexcept {
    LogLimits limits;
    limits.once = true;
    return limits;
}
constexpr LogLimits skip_first() noexcept {
    LogLimits limits;
    limits.skip_first = true;
    return limits;
}
/// `n` below 1 counts as 1: every call.
constexpr LogLimits every_n(long long n) noexcept {
    LogLimits limits;
    limits.every_n = n < 1 ? 1 : static_cast<std::uint64_t>(n);
    return limits;
}
template <class Rep, class Period>
constexpr LogLimits throttle(std::chrono::duration<Rep, Period> period) noexcept {
    LogLimits limits;
    limits.throttle = throttle_period(period);
    return limits;
}
}  // namespace limits

/// The monotonic clock as a throttle reads it, in nanoseconds: CLOCK_MONOTONIC
/// (std::chrono::steady_clock), and CLOCK_MONOTONIC_COARSE, the same clock as it stood at its last
/// tick, which costs a fraction to read: never ahead of the other, behind it by at most
/// coarse_lag(). A call well within its period is held back on the coarse reading alone.
struct MonotonicClock {
    static std::int64_t now() noexcept { return read(CLOCK_MONOTONIC); }
    static std::int64_t coarse_now() noexcept { return read(CLOCK_MONOTONIC_COARSE); }

    /// Two ticks of the coarse clock (its resolution is one); too long to matter without one.
    static std::int64_t coarse_lag() noexcept {
        static const std::int64_t lag = [] {
            timespec tick{};
            return ::clock_getres(CLOCK_MONOTONIC_COARSE, &tick) == 0 && tick.tv_sec == 0
                       ? 2 * static_cast<std::int64_t>(tick.tv_nsec)
                       : std::numeric_limits<std::int64_t>::max() / 2;
        }();
        return lag;
    }

private:
    static std::int64_t read(clockid_t clock) noexcept {
        timespec time{};
        ::clock_gettime(clock, &time);
        return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    }
};

/// The state of one call site: constant-initialised (a static at the site costs no guard), never
/// locked, shared by the threads that call the site.
class LogSite {
public:
    constexpr LogSite() noexcept = default;

    /// Whether the site has written its line under `once`, after which every call with `once` is
    /// held back, uncounted, whatever the thresholds: a caller may ask this before them.
    bool spent() const noexcept { return spent_.load(std::memory_order_relaxed); }

    /// Decides a call that passed the thresholds: none when the limits hold it back (it is then
    /// counted, unless `once` holds it back after the site's line), otherwise the number of calls
    /// held back since the site's last line. The clock (a MonotonicClock, or one with the same
    /// members) is read only when the throttle needs it.
    template <class Clock = MonotonicClock>
    std::optional<std::uint64_t> admit(const LogLimits& limits, const Clock& clock = {}) noexcept {
        if (limits.once && spent()) {
            return std::nullopt;
        }
        if (limits.skip_first && !first_seen_.load(std::memory_order_relaxed) &&
            !first_seen_.exchange(true, std::memory_order_relaxed)) {
            return hold_back();
        }
        if (limits.every_n > 1 && calls_.fetch_add(1, std::memory_order_relaxed) % limits.every_n != 0) {
            return hold_back();
        }
        if (limits.throttle > std::chrono::nanoseconds::zero() && !throttle_passes(limits.throttle.count(), clock)) {
            return hold_back();
        }
        if (limits.once && spent_.exchange(true, std::memory_order_relaxed)) {
            return std::nullopt;  // another thread wrote the one line
        }
        return held_back_.exchange(0, std::memory_order_relaxed);
    }

private:
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::min();

    // Whether `period` has passed since the last line; if so, this call's time becomes the last line's.
    template <class Clock>
    bool throttle_passes(std::int64_t period, const Clock& clock) noexcept {
        std::int64_t last = last_line_.load(std::memory_order_relaxed);
        if (last == never) {
            return last_line_.compare_exchange_strong(last, clock.now(), std::memory_order_relaxed);
        }
        // Too soon by the coarse clock even where it lags most: no need of the precise one.
        if (clock.coarse_now() - last < period - clock.coarse_lag()) {
            return false;
        }
        // A time before the last line (read before another thread wrote it) is too soon too; a
        // failed exchange means another thread wrote this period's line.
        const std::int64_t at = clock.now();
        return at - last >= period && last_line_.compare_exchange_strong(last, at, std::memory_order_relaxed);
    }

    std::optional<std::uint64_t> hold_back() noexcept {
        held_back_.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }

    // Each field is decided on alone, with one atomic operation that orders nothing else: relaxed.
    std::atomic<bool> first_seen_{false};           // skip_first has held its call back
    std::atomic<std::uint64_t> calls_{0};           // calls counted by every_n
    std::atomic<std::int64_t> last_line_{never};    // nanoseconds on the monotonic clock of the last line, by throttle
    std::atomic<bool> spent_{false};                // once has let its call on
    std::atomic<std::uint64_t> held_back_{0};       // calls held back since the last line
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free);
};

/// Writes a line of a limited site as log_from_file() does: `message`, followed by
/// " (N suppressed)" when the site held N > 0 calls back since its last line.
inline void log_from_site(Level level, const char* filepath, std::string_view message, std::uint64_t suppressed) {
    if (suppressed == 0) {
        log_from_file(level, filepath, message);
        return;
    }
    constexpr std::string_view open = " (";
    constexpr std::string_view close = " suppressed)";
    char count[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const std::string_view digits(count, static_cast<std::size_t>(std::to_chars(count, std::end(count), suppressed).ptr - count));
    const std::size_t size = message.size() + open.size() + digits.size() + close.size();

    char short_line[256];  // most lines: no allocation
    std::string long_line;
    char* line = short_line;
    if (size > sizeof short_line) {
        long_line.resize(size);
        line = long_line.data();
    }
    char* end = line;
    for (const std::string_view part : {message, open, digits, close}) {
        end = std::copy(part.begin(), part.end(), end);
    }
    log_from_file(level, filepath, std::string_view(line, size));
}

}  // namespace logging

/// Logs `message` from the calling source file through the filtered path, within `limits` (a
/// logging::LogLimits) at this site. Each argument is evaluated once per call, `message` only when
/// the line is written. A call below its threshold does nothing, not even count.
#define VARNEL_LOG_LIMITED(level, limits, message)                                                         \
    do {                                                                                                   \
        static ::logging::LogSite varnel_log_site_;                                                        \
        const ::logging::Level varnel_log_level_ = (level);                                                \
        const ::logging::LogLimits varnel_log_limits_ = (limits);                                          \
        if (!(varnel_log_limits_.once && varnel_log_site_.spent()) &&                                      \
            ::logging::is_enabled_for(varnel_log_level_, __FILE__)) {                                      \
            if (const auto varnel_log_suppressed_ = varnel_log_site_.admit(varnel_log_limits_)) {          \
                ::logging::log_from_site(varnel_log_level_, __FILE__, (message), *varnel_log_suppressed_); \
            }                                                                                              \
        }                                                                                                  \
    } while (false)

/// Only the first call that passes the thresholds writes.
#define VARNEL_LOG_ONCE(level, message) VARNEL_LOG_LIMITED(level, ::logging::limits::once(), message)

/// The 1st, (n+1)th, (2n+1)th ... call that passes the thresholds writes (`n` below 1: every call).
#define VARNEL_LOG_EVERY_N(level, n, message) VARNEL_LOG_LIMITED(level, ::logging::limits::every_n(n), message)

/// A call writes when at least `period` (a std::chrono duration: std::chrono::seconds(1), 250ms)
/// has passed on the monotonic clock since this site's last line; the first call writes.
#define VARNEL_LOG_THROTTLE(level, period, message) \
    VARNEL_LOG_LIMITED(level, ::logging::limits::throttle(period), message)

/// Every call that passes the thresholds writes, except the first.
#define VARNEL_LOG_SKIP_FIRST(level, message) VARNEL_LOG_LIMITED(level, ::logging::limits::skip_first(), message)
