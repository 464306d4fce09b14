#pragma once
// The log file: "varnel.log" in a fixed folder, rotated by size into varnel.1.log ... varnel.3.log,
// and shared by every process that logs into that folder.
//
// Lines collect in memory and go out in batches of whole lines: a warning or worse, the 3-second
// flush, or 16 KiB pending. Each batch is written under an advisory lock on the folder (flock), which
// every process holds while it writes or rotates. Under the lock a process first checks that its
// open file is still the folder's "varnel.log" (another process may have rotated it away, or the
// folder may have been removed) and reopens the name if not; it rotates when the next line would
// take the file past 5 MiB; each run of lines goes out in one append-mode write(), so lines of
// different processes never mix within a line. Nothing is ever truncated: a rename that fails
// leaves the file growing, and says so. A file that cannot be opened or written costs the lines
// of that batch, which are counted and reported, and the next batch tries again, so logging
// resumes by itself once the cause is gone. Symbolic links are never followed for the files (the
// folder itself may be one), and no descriptor survives exec().

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

#include <spdlog/sinks/base_sink.h>

#include "logging/unique_fd.hpp"

namespace logging::detail {

/// Trouble with the log file, on standard error, at most one report a second: the log itself
/// cannot carry it, and a full disk must not flood the terminal.
class ErrorReport {
public:
    /// "[*** LOG ERROR #n ***] [date time] [core] <what>", unless a report went out less than a
    /// second ago. Whether it went out.
    bool operator()(const std::string& what) noexcept;

    /// The same, whatever the time since the last report.
    void always(const std::string& what) noexcept;

private:
    std::chrono::steady_clock::time_point last_{};  // when the last report went out
    std::size_t count_ = 0;                         // reports so far
};

class FileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    static constexpr std::size_t max_file_size = std::size_t{5} * 1024 * 1024;
    static constexpr int max_rotated_files = 3;

    /// Opens `folder`/varnel.log for appending, creating it if need be. `folder` is absolute and
    /// exists. Throws spdlog::spdlog_ex naming the file when it cannot be opened, or when it is a
    /// symbolic link or not a regular file.
    explicit FileSink(std::string folder);

    /// Writes out the pending lines.
    ~FileSink() override;

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    FileSink(FileSink&&) = delete;
    FileSink& operator=(FileSink&&) = delete;

    /// Writes out the pending lines, and from now on every line at once: for a process that may
    /// end without exit handlers (a forked child ends with _exit()), and for the last lines at exit.
    void write_through();

    /// Before fork(): takes the sink's lock and writes out the pending lines, so that the child
    /// inherits none.
    void lock_for_fork();

    /// After fork(), in the parent: releases the lock.
    void unlock_in_parent();

    /// After fork(), in the child: releases the lock. The child opens descriptors of its own at its
    /// next write, since the inherited ones share the parent's folder lock.
    void unlock_in_child();

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;

private:
    /// Device and inode: what a name refers to.
    struct FileId {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const FileId& other) const noexcept {
            return device == other.device && inode == other.inode;
        }
    };

    // Each step below returns what went wrong, as a sentence for the report; empty on success.
    void write_pending() noexcept;
    void account(std::size_t lines_written, const std::string& problem) noexcept;
    void report_recovery(bool always) noexcept;
    std::string open_folder();
    std::string lock_folder();
    void unlock_folder() noexcept;
    std::string open_file();
    std::string write_lines(std::size_t& lines_written);
    std::string append(const char* data, std::size_t size);
    bool rotate();

    const std::string folder_;     // absolute, fixed at init whatever the working directory becomes
    const std::string file_path_;  // folder_ + "/varnel.log", for messages
    UniqueFd folder_fd_;           // the folder: the lock, and the base of every file operation
    FileId folder_id_;
    bool folder_locked_ = false;
    UniqueFd file_fd_;             // varnel.log, append-only
    FileId file_id_;
    off_t file_size_ = 0;          // valid under the folder lock
    bool inherited_ = false;       // descriptors come from the parent process: reopen before use
    bool write_through_ = false;   // no batching: every line is written at once

    spdlog::memory_buf_t pending_;         // formatted lines not yet written
    std::vector<std::size_t> line_ends_;   // where each pending line ends in pending_
    std::size_t lost_lines_ = 0;           // lines dropped so far
    bool failing_ = false;                 // the last batch was lost
    bool recovery_unreported_ = false;     // writing works again, and the report is still due
    ErrorReport report_;
};

}  // namespace logging::detail
