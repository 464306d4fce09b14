#pragma once
// The sinks of the facade, and the one list through which the process-level events reach them.
//
// Two events come from outside any log call: a fork, after which the child must renew what the
// parent's other threads may have held, and a fatal signal, whose handler writes a last record.
// Every sink made by make_process_sink() is on the list for as long as it exists, so a new sink
// takes part in both by being created, and nothing names a sink or a lock by hand.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>

#include "logging/mutex.hpp"

namespace logging::detail {

/// A whole record for a fatal-signal handler: its line, laid out like every record, with the level
/// name at [level_begin, level_end) for a sink that colours it, then its continuation lines.
struct FatalRecord {
    const char* text;
    std::size_t size;
    std::size_t level_begin;
    std::size_t level_end;
    spdlog::level::level_enum level;  // critical, or warn for a requested stop
};

/// A sink that formats each record into a line and writes it before log() returns, under a lock
/// of its own that a forked child renews. log() never throws: a line that cannot be made (out of
/// memory) is dropped and counted by the sink, never handed to spdlog's error handler.
class ProcessSink : public spdlog::sinks::sink {
public:
    ProcessSink();
    ~ProcessSink() override;
    ProcessSink(const ProcessSink&) = delete;
    ProcessSink& operator=(const ProcessSink&) = delete;
    ProcessSink(ProcessSink&&) = delete;
    ProcessSink& operator=(ProcessSink&&) = delete;

    void log(const spdlog::details::log_msg& msg) final;
    void flush() final {}  // every line is written by the call that logs it
    void set_pattern(const std::string& pattern) final;
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) final;

    /// In a forked child, while it has one thread: renews the lock and, when a thread of the
    /// parent held it at the moment of the fork, forgets what that thread was doing.
    void renew_in_child() noexcept NO_THREAD_SAFETY_ANALYSIS;

    /// Lets go of what the sink holds open, at shutdown and at exit; a sink may still be written
    /// to afterwards (by a thread that raced the shutdown, say), and then writes each line alone.
    virtual void close() noexcept {}

    /// Writes `record` from a fatal-signal handler: async-signal-safe, no lock, no allocation,
    /// and no descriptor that another thread may have closed (and the number been reused).
    virtual void write_fatal(const FatalRecord& record) const noexcept = 0;

protected:
    /// Writes `line` (formatted from `msg`, which carries the coloured range).
    virtual void write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line)
        REQUIRES(mutex_) = 0;

    /// The line of a record could not be made or written (`error`: out of memory, say): the sink
    /// counts it as a line it did not write.
    virtual void drop_line(std::error_code error) noexcept REQUIRES(mutex_) = 0;

    /// In a forked child, while it has one thread, after the lock was renewed. `interrupted`: a
    /// thread of the parent was writing to the sink at the moment of the fork, and what it left
    /// half done must be dropped.
    virtual void after_fork_in_child(bool /*interrupted*/) noexcept {}

    Mutex mutex_;  // one record at a time

private:
    std::unique_ptr<spdlog::formatter> formatter_ GUARDED_BY(mutex_);
    spdlog::memory_buf_t line_ GUARDED_BY(mutex_);  // the line being written
};

/// Adds `sink` to the list. Called by make_process_sink() once the sink is whole.
void join_process_sinks(ProcessSink* sink);

/// Takes `sink` off the list and waits until no signal handler is writing to it.
void leave_process_sinks(ProcessSink* sink) noexcept;

/// In a forked child, while it has one thread: every sink on the list renews itself.
void renew_process_sinks_in_child() noexcept;

/// Counts the steps of every fork (before the copy, and after it in the parent and in the child):
/// odd while a fork is under way. A descriptor opened between two equal, even readings was
/// copied by no fork; one that was may be in a child unknown to the child's handlers.
std::uint64_t fork_epoch() noexcept;
void step_fork_epoch() noexcept;

/// From a fatal-signal handler: every sink on the list writes `record`. Takes no lock and
/// allocates nothing; a sink being destroyed meanwhile waits until this is over.
void write_fatal_record(const FatalRecord& record) noexcept;

/// Makes a Sink (derived from ProcessSink) that is on the list for as long as it exists.
template <class Sink, class... Args>
std::shared_ptr<Sink> make_process_sink(Args&&... args) {
    std::shared_ptr<Sink> sink(new Sink(std::forward<Args>(args)...), [](Sink* gone) {
        leave_process_sinks(gone);  // before the sink starts to come apart
        delete gone;
    });
    join_process_sinks(sink.get());
    return sink;
}

}  // namespace logging::detail
