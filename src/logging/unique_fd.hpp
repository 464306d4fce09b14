#pragma once
// File descriptors: one that closes itself, and writing all of a text to one.

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <utility>

#include <poll.h>
#include <unistd.h>

namespace logging::detail {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    /// Holds `fd` instead, closing the one held, whatever close() reports: for a descriptor no
    /// written data depends on (a folder, a file read, a file already lost). See close().
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

    /// Closes the descriptor held, if any, and tells what close() reported: on some file systems
    /// the only sign that written data was lost.
    std::error_code close() noexcept {
        const int fd = std::exchange(fd_, -1);
        if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {  // after EINTR the descriptor is closed
            return {errno, std::system_category()};
        }
        return {};
    }

    /// Forgets the descriptor without closing it (a forked child that cannot tell whether the
    /// number is still the one it was).
    void forget() noexcept { fd_ = -1; }

private:
    int fd_ = -1;
};

/// Whether `fd` takes more output within `timeout_ms` (-1: however long it takes).
inline bool wait_writable(int fd, int timeout_ms) noexcept {
    pollfd ready{fd, POLLOUT, 0};
    return ::poll(&ready, 1, timeout_ms) > 0;
}

/// Writes all `size` bytes of `data` to the file `fd`, going on after a signal and after a part
/// written. Whether all went out. Async-signal-safe. (Standard output and error, which a reader
/// may stop reading, are written by StreamOutput instead.)
inline bool write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace logging::detail
