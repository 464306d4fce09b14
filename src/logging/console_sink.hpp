#pragma once
// The console: standard output, with the level column coloured on a colour terminal.
//
// The console is a convenience; the file is the record. A reader who stops reading (a stalled
// ssh, a pipe nobody drains) is waited for a short while at most (reader_wait_ms); after that the
// console's lines are dropped without waiting, and counted, until it takes a line again; then it is
// first told how many lines it did not show (they are all in the file). Each line goes out in one
// write on descriptor 1, not through the C library's stdout: a thread of the parent that was
// writing to stdout when the process forked would leave the FILE's lock held for good in the child.

#include <cstdint>

#include <spdlog/common.h>

#include "logging/process_sink.hpp"
#include "logging/stream_output.hpp"

namespace logging::detail {

class ConsoleSink final : public ProcessSink {
public:
    /// Colours when standard output is a terminal that spdlog takes for a colour one.
    ConsoleSink();

    void write_fatal(const FatalRecord& record) const noexcept override;

protected:
    void write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line)
        REQUIRES(mutex_) override;
    void drop_line(std::error_code error) noexcept REQUIRES(mutex_) override;
    void after_fork_in_child(bool interrupted) noexcept NO_THREAD_SAFETY_ANALYSIS override;

private:
    bool tell_unshown(StreamOutput::Wait wait) noexcept REQUIRES(mutex_);

    const bool colour_;                           // standard output is a colour terminal
    StreamOutput output_ GUARDED_BY(mutex_);      // descriptor 1
    std::uint64_t unshown_ GUARDED_BY(mutex_) = 0;  // lines not shown since the console last took one
    bool stalled_ GUARDED_BY(mutex_) = false;     // it took nothing within the wait: lines do not wait
};

}  // namespace logging::detail
