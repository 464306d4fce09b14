#pragma once
// The console: standard output, with the level column coloured on a colour terminal.
//
// Each line goes out in one write(2) on descriptor 1, not through the C library's stdout: a
// thread of the parent that was writing to stdout when the process forked would leave the
// FILE's lock held for good in the child.

#include <spdlog/common.h>

#include "logging/process_sink.hpp"

namespace logging::detail {

class ConsoleSink final : public ProcessSink {
public:
    /// Colours when standard output is a terminal that spdlog takes for a colour one.
    ConsoleSink();

    void write_fatal(const FatalRecord& record) const noexcept override;

protected:
    void write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line)
        REQUIRES(mutex_) override;

private:
    const bool colour_;  // standard output is a colour terminal
};

}  // namespace logging::detail
