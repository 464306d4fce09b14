#include "logging/process_sink.hpp"

#include <atomic>
#include <new>
#include <thread>

#include <spdlog/pattern_formatter.h>

#include "logging/line_formatter.hpp"

#include "logging/signal_stack.hpp"

namespace logging::detail {
namespace {

// The list is a chain of slots that are never freed, so that a walker never reads freed memory:
// a sink that goes empties its slot, and the next new sink takes an empty slot before a new one
// is made.
struct Slot {
    std::atomic<ProcessSink*> sink{nullptr};
    Slot* next = nullptr;  // set before the slot is published, never changed
};

std::atomic<Slot*> first_slot{nullptr};
std::atomic<int> walkers{0};  // fatal records being written
std::atomic<std::uint64_t> fork_steps{0};

// A line left this large by one huge record is not kept for the next.
constexpr std::size_t kept_line_capacity = std::size_t{64} * 1024;

}  // namespace

ProcessSink::ProcessSink() : formatter_(std::make_unique<spdlog::pattern_formatter>()) {}

ProcessSink::~ProcessSink() = default;

void ProcessSink::log(const spdlog::details::log_msg& msg) {
    ensure_signal_stack();  // for the fatal-signal handler, should this thread's stack overflow
    const MutexLock lock(mutex_);
    try {
        line_.clear();
        formatter_->format(msg, line_);
        write_line(msg, line_);
    } catch (const std::bad_alloc&) {
        drop_line(std::make_error_code(std::errc::not_enough_memory));
    } catch (...) {
        drop_line(std::make_error_code(std::errc::io_error));
    }
    if (line_.capacity() > kept_line_capacity) {
        line_ = spdlog::memory_buf_t();
    }
}

void ProcessSink::set_pattern(const std::string& pattern) {
    set_formatter(std::make_unique<spdlog::pattern_formatter>(pattern));
}

void ProcessSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
    const MutexLock lock(mutex_);
    formatter_ = std::move(formatter);
}

void ProcessSink::renew_in_child() noexcept {
    const bool interrupted = !mutex_.renew_in_child();
    if (interrupted) {
        // A thread of the parent was formatting or writing a line: its buffer, and the date the
        // formatter keeps, may be half changed. The buffer is made anew (the old one left behind)
        // and the line formatter forgets its date; nothing is allocated, since a parent thread may
        // have held an allocator's lock (glibc's malloc is safe after fork, a sanitizer's is not).
        // Another formatter (set_pattern) keeps its date: at worst a wrong one for a second.
        new (&line_) spdlog::memory_buf_t;
        if (auto* line_formatter = dynamic_cast<LineFormatter*>(formatter_.get())) {
            line_formatter->forget_date();
        }
    }
    after_fork_in_child(interrupted);
}

void join_process_sinks(ProcessSink* sink) {
    for (Slot* slot = first_slot.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
        ProcessSink* empty = nullptr;
        if (slot->sink.compare_exchange_strong(empty, sink, std::memory_order_seq_cst)) {
            return;
        }
    }
    auto* slot = new Slot;
    slot->sink.store(sink, std::memory_order_relaxed);
    slot->next = first_slot.load(std::memory_order_relaxed);
    while (!first_slot.compare_exchange_weak(slot->next, slot, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

void leave_process_sinks(ProcessSink* sink) noexcept {
    for (Slot* slot = first_slot.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
        ProcessSink* expected = sink;
        if (slot->sink.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) {
            break;
        }
    }
    // Sequentially consistent with the walkers: a walk either sees the slot empty, or is seen here.
    while (walkers.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::yield();
    }
}

void write_fatal_record(const FatalRecord& record) noexcept {
    walkers.fetch_add(1, std::memory_order_seq_cst);
    for (Slot* slot = first_slot.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
        if (const ProcessSink* sink = slot->sink.load(std::memory_order_seq_cst)) {
            sink->write_fatal(record);
        }
    }
    walkers.fetch_sub(1, std::memory_order_seq_cst);
}

void renew_process_sinks_in_child() noexcept {
    walkers.store(0);  // a signal handler under way in the parent ran on a thread the child does not have
    for (Slot* slot = first_slot.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
        if (ProcessSink* sink = slot->sink.load(std::memory_order_relaxed)) {
            sink->renew_in_child();
        }
    }
}

std::uint64_t fork_epoch() noexcept { return fork_steps.load(); }

void step_fork_epoch() noexcept { fork_steps.fetch_add(1); }

}  // namespace logging::detail
