#include "logging/stream_output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logging/record_text.hpp"

namespace logging::detail {
namespace {

std::int64_t now_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

int ms_until(std::int64_t deadline) noexcept {
    return static_cast<int>(std::max<std::int64_t>(0, deadline - now_ms()));
}

// Moves `parts` on past `done` bytes; the number of parts left.
int advance(iovec*& parts, int count, std::size_t done) noexcept {
    while (count > 0 && done >= parts->iov_len) {
        done -= parts->iov_len;
        ++parts;
        --count;
    }
    if (count > 0) {
        parts->iov_base = static_cast<char*>(parts->iov_base) + done;
        parts->iov_len -= done;
    }
    return count;
}

// A terminal, a pipe or a socket: something a reader drains, unlike a file.
bool is_stream(const struct stat& status) noexcept {
    return S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

// The descriptor takes no non-blocking write of its own (a terminal, a file, an older kernel).
bool refuses_nowait(int error) noexcept { return error == EOPNOTSUPP || error == EINVAL || error == ENOSYS; }

char line_break[] = "\n";

}  // namespace

StreamOutput::Outcome StreamOutput::write(iovec* parts, int count, Wait wait) noexcept {
    // A part line left by an earlier text is ended in the same write as this one.
    std::array<iovec, max_parts + 1> all{};
    int left = 0;
    if (part_line_) {
        all[left++] = {line_break, 1};
    }
    const std::size_t prefix = part_line_ ? 1 : 0;
    for (int i = 0; i < count && i < max_parts; ++i) {
        all.at(static_cast<std::size_t>(left++)) = parts[i];  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    }
    iovec* next = all.data();
    std::size_t done = 0;
    bool finish_granted = false;  // the text has started: the rest gets its own wait
    // When to give up, worked out when first needed: most texts go out at once, the clock unread.
    std::int64_t give_up = -1;
    const auto ms_left = [&] {
        if (give_up < 0) {
            give_up = now_ms() + (finish_granted ? wait.to_finish_ms : wait.to_start_ms);
        }
        return ms_until(give_up);
    };
    bool kind_checked = false;
    Way way = Way::plain;
    bool nowait = true;  // fd_ takes non-blocking writes of its own, until it says otherwise
    int target = fd_;
    bool failed = false;
    while (left > 0) {
        ssize_t written = 0;
        if (nowait) {
            written = ::pwritev2(target, next, left, -1, RWF_NOWAIT);
        } else if (way == Way::poll_first && !wait_writable(target, ms_left())) {
            break;
        } else {
            written = ::writev(target, next, left);
        }
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            left = advance(next, left, static_cast<std::size_t>(written));
            if (done > prefix && !finish_granted) {
                finish_granted = true;
                if (give_up >= 0) {
                    give_up = std::max(give_up, now_ms() + wait.to_finish_ms);
                }
            }
            continue;
        }
        const int error = written < 0 ? errno : EIO;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN && !kind_checked && nowait) {
            // A file that refuses to wait for its disk is not a stalled reader: write it plainly.
            kind_checked = true;
            struct stat status {};
            if (::fstat(fd_, &status) == 0 && !is_stream(status)) {
                nowait = false;
                continue;
            }
        }
        if (error == EAGAIN) {
            if (!wait_writable(target, ms_left())) {
                break;
            }
            continue;
        }
        if (nowait && refuses_nowait(error)) {
            nowait = false;
            way = fall_back(target);
            continue;
        }
        failed = true;  // no reader, no stream, or a device error: waiting would not help
        break;
    }
    if (done >= prefix) {
        part_line_ = false;  // the line break went out, if one was due
    }
    if (left == 0) {
        return Outcome::written;
    }
    if (done > prefix) {
        part_line_ = true;
        return Outcome::cut_short;
    }
    return failed ? Outcome::failed : Outcome::not_taken;
}

StreamOutput::Way StreamOutput::fall_back(int& target) noexcept {
    target = fd_;
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !is_stream(status)) {
        return Way::plain;
    }
    if (!own_ || own_device_ != status.st_dev || own_inode_ != status.st_ino) {
        FixedText<40> path;
        path << "/proc/self/fd/" << static_cast<std::uint64_t>(fd_);
        // A description of its own: O_NONBLOCK here changes nothing for the other users of fd_.
        own_.reset(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        own_device_ = status.st_dev;
        own_inode_ = status.st_ino;
    }
    if (!own_) {
        return Way::poll_first;  // no /proc, or a socket: wait for room, then write and hope
    }
    target = own_.get();
    return Way::plain;
}

}  // namespace logging::detail
