#include "logging/fatal_signals.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string_view>

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <varnel/logging/pattern_flags.hpp>

#include "logging/fatal_record_text.hpp"
#include "logging/fatal_stacks.hpp"
#include "logging/process_sink.hpp"
#include "logging/record_text.hpp"
#include "logging/signal_stack.hpp"
#include "logging/state.hpp"

namespace logging::detail {
namespace {

// One signal the log writes a last record for.
struct FatalSignal {
    int number = 0;
    bool requested_stop = false;   // SIGTERM, SIGHUP: taken over from the default only, at warning, no stacks
    bool installed = false;        // this handler is in place (as far as install and remove know)
    struct sigaction replaced {};  // what it replaced, and hands the signal on to
    FixedText<63> name{};          // "SIGSEGV (Segmentation fault)"
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

// The thread that lays out and writes the record, 0 while none does. It gives the record back only
// after handing its signal to an application's handler that returned: a signal that goes on to
// the default action ends the process with the record still held, so no other thread writes a
// second one meanwhile.
std::atomic<pid_t> record_owner{0};
const void* owner_frame = nullptr;  // the frame of the owner's handler
// How long a thread waits for another's record: a few seconds, as other crash handlers wait.
constexpr std::int64_t owner_wait_ns = std::int64_t{5} * 1'000'000'000;

// A fault of the processor, by what the kernel tells of it: the same fault comes back at once when
// the instruction runs again.
struct Fault {
    pid_t thread = 0;
    int number = 0;
    int code = 0;
    void* address = nullptr;
    bool operator==(const Fault& other) const noexcept {
        return thread == other.thread && number == other.number && code == other.code && address == other.address;
    }
};

// What the owner of the record keeps; the next owner sees it whole (record_owner's acquire and
// release).
FatalRecordText record;
FatalRecord layout{};       // where the level column is, and which level
bool record_out = false;    // written to the sinks
Fault last_handed_fault{};  // the last fault handed to an application's handler: if it recurs, no second record

// Appends `text` at `at`, which the caller has room for.
char* put(char* at, std::string_view text) noexcept { return std::copy(text.begin(), text.end(), at); }

bool is_default(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool is_ignored(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

std::int64_t monotonic_ns() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Whether the signal is a fault of the processor that happens again when the interrupted
// instruction runs again (not one sent by kill(), raise() or sigqueue(), and not a memory error
// reported after the fact).
bool fault_recurs(int number, const siginfo_t* info) noexcept {
    if (info->si_code <= 0) {
        return false;
    }
    return number == SIGSEGV || number == SIGILL || number == SIGFPE ||
           (number == SIGBUS && info->si_code != BUS_MCEERR_AO);
}

enum class Claim { taken, nested, refused };

// Makes `thread`, in the handler whose frame is `frame`, the owner of the record: at once, or once
// the thread that owns it gives it back. `nested`: this thread's handler owns it further up its
// stack (a fault in the handler, or in the handler it handed the signal to). A handler of this
// thread that owned it and is no longer running (the application's handler left it with
// siglongjmp()) gives it up to this one. `refused`: the owner kept it owner_wait_ns (stuck, say,
// on a file system that hangs).
Claim claim_record(pid_t thread, const void* frame) noexcept {
    const std::int64_t give_up = monotonic_ns() + owner_wait_ns;
    for (;;) {
        pid_t owner = 0;
        // Acquire: the record and the fault noted by the last owner are seen whole.
        if (record_owner.compare_exchange_strong(owner, thread, std::memory_order_acquire)) {
            owner_frame = frame;
            return Claim::taken;
        }
        if (owner == thread) {
            // Stacks grow down: a handler that runs inside the owner's lies below it.
            if (reinterpret_cast<std::uintptr_t>(frame) < reinterpret_cast<std::uintptr_t>(owner_frame)) {
                return Claim::nested;
            }
            owner_frame = frame;
            return Claim::taken;
        }
        if (::tgkill(::getpid(), owner, 0) != 0 && errno == ESRCH) {
            // Held by a thread this process does not have: a child forked while a record was written.
            record_owner.compare_exchange_strong(owner, 0, std::memory_order_relaxed);
            continue;
        }
        if (monotonic_ns() >= give_up) {
            return Claim::refused;
        }
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

// Lays the record out: the line, like every line (date, elapsed, level, a blank source column,
// message), then for a fault the stacks. "ended by signal ..." only when the signal goes on to
// the default action, which ends the process; when it goes on to the application's handler,
// which may end it or not, words that are true either way.
void lay_out_record(const FatalSignal& fatal, bool ends_process, const void* context) noexcept {
    std::array<char, 256> line{};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    format_local_time(now.tv_sec, utc_offset.load(std::memory_order_relaxed), line.data());
    char* at = put(line.data() + local_time_size, column_separator);
    std::int64_t elapsed_ns = 0;
    at += format_elapsed(elapsed_since_origin(elapsed_ns) ? elapsed_ns / 1'000'000 : 0, at);
    at = put(at, column_separator);
    layout.level_begin = static_cast<std::size_t>(at - line.data());
    at = put(at, fatal.requested_stop ? "warning " : "critical");
    layout.level_end = static_cast<std::size_t>(at - line.data());
    layout.level = fatal.requested_stop ? spdlog::level::warn : spdlog::level::critical;
    at = put(at, column_separator);
    at = std::fill_n(at, SOURCE_COLUMN_WIDTH, ' ');
    at = put(at, column_separator);
    FixedText<127> message;
    if (ends_process) {
        message << "ended by signal " << fatal.name.view();
    } else {
        message << "signal " << fatal.name.view() << ", handed to the application's handler";
    }
    at = put(at, message.view());
    *at++ = '\n';

    record.clear();
    record_out = false;
    record.add_raw({line.data(), static_cast<std::size_t>(at - line.data())});
    if (!fatal.requested_stop) {
        add_stacks(record, context);
    }
    record.finish();
}

// Writes the record as far as it is laid out, unless it is out already.
void write_out() noexcept {
    if (record_out || record.view().empty()) {
        return;
    }
    record_out = true;  // first: a fault while writing does not write it again
    const std::string_view text = record.view();
    write_fatal_record({text.data(), text.size(), layout.level_begin, layout.level_end, layout.level});
}

// Puts back the default action and lets the signal take it, so that the process ends as it would
// have without this handler: a fault by running the instruction again (the core dump then shows
// the thread as the fault left it), a signal that was sent by sending it again, with its siginfo
// as it came.
void end_by_default(int number, siginfo_t* info) noexcept {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(number, &default_action, nullptr);
    if (fault_recurs(number, info)) {
        return;
    }
    sigset_t just_this{};
    ::sigemptyset(&just_this);
    ::sigaddset(&just_this, number);
    ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
    if (::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), number, info) != 0) {
        ::raise(number);
    }
}

// Calls the handler that this one replaced as the kernel would have: with the original siginfo and
// context, under the signal mask its delivery sets, a one-shot handler put out of place first.
void hand_to_application(const struct sigaction& next, int number, siginfo_t* info, void* context) noexcept {
    sigset_t mask = static_cast<const ucontext_t*>(context)->uc_sigmask;
    ::sigorset(&mask, &mask, &next.sa_mask);
    if ((next.sa_flags & SA_NODEFER) == 0) {
        ::sigaddset(&mask, number);
    }
    if ((next.sa_flags & SA_RESETHAND) != 0) {
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(number, &default_action, nullptr);
    }
    sigset_t ours{};
    ::pthread_sigmask(SIG_SETMASK, &mask, &ours);
    if ((next.sa_flags & SA_SIGINFO) != 0) {
        next.sa_sigaction(number, info, context);
    } else {
        next.sa_handler(number);
    }
    ::pthread_sigmask(SIG_SETMASK, &ours, nullptr);
}

// See fatal_signals.hpp for what it does and which calls it makes.
extern "C" void on_fatal_signal(int number, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    const auto* fatal = std::find_if(fatal_signals.begin(), fatal_signals.end(),
                                     [number](const FatalSignal& signal) { return signal.number == number; });
    if (fatal == fatal_signals.end()) {
        return;
    }
    const struct sigaction next = fatal->replaced;
    const bool ends_process = is_default(next);
    const pid_t thread = ::gettid();
    const Claim claim = claim_record(thread, __builtin_frame_address(0));
    if (claim == Claim::nested) {
        write_out();
        end_by_default(number, info);
        errno = saved_errno;
        return;
    }
    if (claim == Claim::taken) {
        const Fault fault = !ends_process && fault_recurs(number, info)
                                ? Fault{thread, number, info->si_code, info->si_addr}
                                : Fault{};
        if (fault.number == 0 || !(fault == last_handed_fault)) {
            lay_out_record(*fatal, ends_process, context);
            write_out();
        }
        last_handed_fault = fault;
    }
    if (ends_process) {
        end_by_default(number, info);  // the record stays held
    } else {
        errno = saved_errno;
        hand_to_application(next, number, info, context);
        if (claim == Claim::taken) {
            // Release: what this owner laid out and noted is whole before the next takes the record.
            record_owner.store(0, std::memory_order_release);
        }
    }
    errno = saved_errno;
}

bool is_ours(const struct sigaction& action) noexcept {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_fatal_signal;
}

}  // namespace

void note_utc_offset(long seconds_east) noexcept { utc_offset.store(seconds_east, std::memory_order_relaxed); }

void install_fatal_signal_handlers() noexcept {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        note_utc_offset(local.tm_gmtoff);
    }
    prepare_stack_walks();
    ensure_signal_stack();
    struct sigaction ours {};
    ours.sa_sigaction = on_fatal_signal;
    ::sigemptyset(&ours.sa_mask);
    // A requested stop that comes meanwhile waits until the record of a fault is out.
    ::sigaddset(&ours.sa_mask, SIGTERM);
    ::sigaddset(&ours.sa_mask, SIGHUP);
    // SA_NODEFER: a fault in the handler comes back to it, which then writes what it has.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    for (FatalSignal& fatal : fatal_signals) {
        if (fatal.installed) {
            continue;
        }
        fatal.name = {};
        fatal.name << "SIG" << ::sigabbrev_np(fatal.number) << " (" << ::sigdescr_np(fatal.number) << ")";
        // Where the signal goes is known before this handler can run, so the handler never hands it
        // on anywhere else. An ignored signal stays ignored, and SIGTERM and SIGHUP are taken over
        // from the default action only: no record for a stop that the application handles.
        if (::sigaction(fatal.number, nullptr, &fatal.replaced) != 0 || is_ignored(fatal.replaced) ||
            (fatal.requested_stop && !is_default(fatal.replaced))) {
            continue;
        }
        fatal.installed = ::sigaction(fatal.number, &ours, nullptr) == 0;
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
