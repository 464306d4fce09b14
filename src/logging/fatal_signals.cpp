#include "logging/fatal_signals.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string_view>

#include <varnel/logging/pattern_flags.hpp>

#include "logging/process_sink.hpp"
#include "logging/record_text.hpp"
#include "logging/state.hpp"

namespace logging::detail {
namespace {

// One signal the log writes a last record for.
struct FatalSignal {
    int number = 0;
    bool only_when_default = false;  // installed only while nothing else handles it
    bool installed = false;          // this handler is in place (as far as install and remove know)
    struct sigaction replaced {};    // what it replaced, and hands the signal on to
    FixedText<95> message{};         // "ended by signal SIGSEGV (Segmentation fault)"
};

// Written under the lifecycle lock before a handler is put in place, read by the handler.
std::array<FatalSignal, 7> fatal_signals{{
    {SIGSEGV, false},
    {SIGBUS, false},
    {SIGILL, false},
    {SIGFPE, false},
    {SIGABRT, false},
    {SIGTERM, true},
    {SIGHUP, true},
}};

std::atomic<long> utc_offset{0};
std::atomic<bool> record_written{false};  // one record, whichever thread gets there first

constexpr std::string_view level_name = "critical";

// Appends `text` at `at`, which the caller has room for.
char* put(char* at, std::string_view text) noexcept { return std::copy(text.begin(), text.end(), at); }

// The record, laid out like every line: date, elapsed, level, a blank source column, message.
void write_last_record(const char* message) noexcept {
    std::array<char, 256> line{};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    format_local_time(now.tv_sec, utc_offset.load(std::memory_order_relaxed), line.data());
    char* at = put(line.data() + local_time_size, column_separator);
    std::int64_t elapsed_ns = 0;
    const std::int64_t milliseconds = elapsed_since_origin(elapsed_ns) ? elapsed_ns / 1'000'000 : 0;
    at += format_elapsed(milliseconds, at);
    at = put(at, column_separator);
    const auto level_begin = static_cast<std::size_t>(at - line.data());
    at = put(at, level_name);
    const auto level_end = static_cast<std::size_t>(at - line.data());
    at = put(at, column_separator);
    at = std::fill_n(at, SOURCE_COLUMN_WIDTH, ' ');
    at = put(at, column_separator);
    at = put(at, message);
    *at++ = '\n';
    write_fatal_record({line.data(), static_cast<std::size_t>(at - line.data()), level_begin, level_end});
}

extern "C" void on_fatal_signal(int number) {
    const int saved_errno = errno;
    for (FatalSignal& fatal : fatal_signals) {
        if (fatal.number != number) {
            continue;
        }
        // From here on the signal goes where it would have gone: a fault in what follows too.
        ::sigaction(number, &fatal.replaced, nullptr);
        if (!record_written.exchange(true)) {
            write_last_record(fatal.message.c_str());
        }
        errno = saved_errno;
        ::raise(number);  // delivered at once (SA_NODEFER): the replaced handler, or the default
        return;
    }
}

bool is_default(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool is_ours(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == on_fatal_signal;
}

}  // namespace

void note_utc_offset(long seconds_east) noexcept { utc_offset.store(seconds_east, std::memory_order_relaxed); }

void install_fatal_signal_handlers() noexcept {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        note_utc_offset(local.tm_gmtoff);
    }
    record_written.store(false);
    struct sigaction ours {};
    ours.sa_handler = on_fatal_signal;
    ::sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_NODEFER | SA_ONSTACK;  // as faulthandler: the signal raised again goes on at once
    for (FatalSignal& fatal : fatal_signals) {
        if (fatal.installed) {
            continue;
        }
        fatal.message = {};
        fatal.message << "ended by signal SIG" << ::sigabbrev_np(fatal.number) << " ("
                      << ::sigdescr_np(fatal.number) << ")";
        if (::sigaction(fatal.number, &ours, &fatal.replaced) != 0) {
            continue;
        }
        if (fatal.only_when_default && !is_default(fatal.replaced)) {
            ::sigaction(fatal.number, &fatal.replaced, nullptr);  // the application handles it
            continue;
        }
        fatal.installed = true;
    }
}

void remove_fatal_signal_handlers() noexcept {
    for (FatalSignal& fatal : fatal_signals) {
        struct sigaction current {};
        if (fatal.installed && ::sigaction(fatal.number, nullptr, &current) == 0 && is_ours(current)) {
            ::sigaction(fatal.number, &fatal.replaced, nullptr);
        }
        fatal.installed = false;
    }
}

}  // namespace logging::detail
