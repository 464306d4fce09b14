#pragma once
// Standard output and standard error, written so that a reader who stopped reading (a stalled
// ssh, a pipe nobody drains, a terminal on hold) holds a caller no longer than it is willing to
// wait.
//
// A text goes out in one write of its parts. On a pipe or a socket that write alone is made
// non-blocking (pwritev2 with RWF_NOWAIT), so nothing changes for the other users of the
// descriptor. A terminal gets a non-blocking description of its own, opened anew through
// /proc/self/fd (so does a pipe, on kernels without RWF_NOWAIT for pipes). A file is written as it
// is: a disk never waits for a reader. What the descriptor is, is looked at when it refuses a
// non-blocking write, so a descriptor redirected meanwhile (dup2) is followed.
//
// Every call is async-signal-safe: no lock, no allocation.

#include <sys/types.h>
#include <sys/uio.h>

#include "logging/unique_fd.hpp"

namespace logging::detail {

/// How long a line or a report waits for a console or standard error that takes nothing: long
/// enough for a terminal or a pipe that is merely slow to drain, short enough that a control loop
/// misses a few periods once, not every period.
inline constexpr int reader_wait_ms = 20;

class StreamOutput {
public:
    /// What became of a text.
    enum class Outcome {
        written,    // all of it
        not_taken,  // none of it: the reader did not read within the wait
        cut_short,  // part of it: the stream is left at a part line, which the next text ends first
        failed,     // none, for good: no reader, or no stream (EPIPE, EBADF)
    };

    /// How long a text may wait for the reader: for its first byte, and once part of it is out,
    /// for the rest.
    struct Wait {
        int to_start_ms;
        int to_finish_ms;
    };

    explicit StreamOutput(int fd) noexcept : fd_(fd) {}

    /// Writes the `count` parts (at most max_parts) in one write, or as much as the reader takes
    /// within `wait`. Changes the parts.
    Outcome write(iovec* parts, int count, Wait wait) noexcept;

    /// In a forked child whose parent was in the middle of a write: the descriptor of its own may
    /// have been half replaced, so its number is not trusted.
    void forget() noexcept { own_.forget(); }

    static constexpr int max_parts = 8;

private:
    // The descriptor to write to when fd_ refuses a non-blocking write, and how.
    enum class Way { plain, own, poll_first };
    Way fall_back(int& target) noexcept;

    const int fd_;
    UniqueFd own_;              // a non-blocking description of what fd_ is, when it is a terminal
    dev_t own_device_ = 0;      // what own_ is a description of
    ino_t own_inode_ = 0;
    bool part_line_ = false;    // a text was cut short: the stream is in the middle of a line
};

}  // namespace logging::detail
