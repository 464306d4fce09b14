#pragma once
// The log file: "varnel.log" in a fixed folder, rotated by size into varnel.1.log ... varnel.N.log,
// and shared by every process that logs into that folder.
//
// A line is in the kernel when its log call returns: one append-mode write(2) of the whole line,
// so no death of the process loses it, and lines of several processes never mix within a line.
// No log call sleeps or waits on another process. No lock is taken between processes to append;
// the advisory lock on the folder (flock) serves rotation alone and is only ever tried: when
// another process holds it, the line goes to the current file and the next line that finds the
// file full tries again. The oldest file is deleted off the log call (freeing megabytes takes
// milliseconds), by a thread that lives for that alone: until it has, it lies in the folder as
// ".varnel.dropped.<pid>.<n>" (left there by a process that ended first, until the next rotation).
//
// A process learns cheaply what the others did: it counts its own bytes, and looks at the file
// (its size, whether it was deleted) every 8 KiB it writes, and at the name (whether another
// process rotated it away) every twentieth of a second, or whenever its next line would not fit.
// When others append too, it reads the file's size after every line. A line written just as
// another process rotates can still land at the end of the file just rotated, whole. The lines
// written since the last look are kept, to be written again should the file turn out deleted: at
// the next look, and at the last one, which close() makes (at shutdown and at exit).
//
// Nothing is ever truncated. A write that fails part-way leaves a part line, which the next line
// of this process does not glue itself to. A file that cannot be opened, written or closed costs
// the lines concerned, which are counted and reported, and every later line tries again, so
// logging resumes by itself once the cause is gone. Every step that can fail says so in a Trouble
// (the step and its errno), and describe() alone turns one into text. Symbolic links are never
// followed for the files (the folder itself may be one), and no descriptor survives exec().

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include <sys/types.h>

#include "logging/process_sink.hpp"
#include "logging/record_text.hpp"
#include "logging/trouble_report.hpp"
#include "logging/unique_fd.hpp"

namespace logging::detail {

/// How large "varnel.log" may grow, and how many older files rotation keeps.
struct RotationLimits {
    std::size_t max_file_size;
    int kept_files;
};

class FileSink final : public ProcessSink {
public:
    /// Opens `folder`/varnel.log for appending, creating it if need be. `folder` is absolute and
    /// exists. Throws spdlog::spdlog_ex naming the file when it cannot be opened, or when it is a
    /// symbolic link or not a regular file.
    FileSink(std::string folder, RotationLimits limits);

    /// Closes the file (see close()).
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    FileSink(FileSink&&) = delete;
    FileSink& operator=(FileSink&&) = delete;

    /// Appends `record` to the folder's current varnel.log, opened by its path for this one write
    /// (the folder made again if it has gone, as for any line).
    void write_fatal(const FatalRecord& record) const noexcept override;

    /// The last look at the file: lines written into it since the last look are written again
    /// when it turns out deleted meanwhile; then it is closed, and a report that writing works again,
    /// if the rate limit held it back, goes out. Lines that still come are appended each on its own
    /// (opened by path, written, closed), without rotation.
    void close() noexcept override;

protected:
    void write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line)
        REQUIRES(mutex_) override;
    void drop_line(std::error_code error) noexcept REQUIRES(mutex_) override;
    void after_fork_in_child(bool interrupted) noexcept NO_THREAD_SAFETY_ANALYSIS override;

private:
    using clock = spdlog::log_clock;

    /// Device and inode: what a name refers to.
    struct FileId {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const FileId& other) const noexcept {
            return device == other.device && inode == other.inode;
        }
    };

    /// What went wrong, kept as the system's error until describe() tells it.
    enum class Step { open_folder, open_file, write_file, close_file, write_again, lock_folder, rename_file };
    struct Trouble {
        Step step = Step::write_file;
        std::error_code error;
        int rename_from = 0;  // rename_file: the index of the file that could not be renamed
        explicit operator bool() const noexcept { return static_cast<bool>(error); }
    };

    bool check_due(std::size_t line_size, clock::time_point now) const noexcept REQUIRES(mutex_);
    bool name_check_due(clock::time_point now) const noexcept REQUIRES(mutex_);
    bool wants_rotation(std::size_t line_size, clock::time_point now) const noexcept REQUIRES(mutex_);
    Trouble check(std::size_t line_size, clock::time_point now) REQUIRES(mutex_);
    Trouble write_again_if_deleted() REQUIRES(mutex_);
    void close_file() REQUIRES(mutex_);
    void keep_unconfirmed(const spdlog::memory_buf_t& line) noexcept REQUIRES(mutex_);
    void forget_unconfirmed() noexcept REQUIRES(mutex_);
    bool is_current_file() noexcept REQUIRES(mutex_);
    Trouble open_folder() REQUIRES(mutex_);
    Trouble open_file() REQUIRES(mutex_);
    Trouble reopen() REQUIRES(mutex_);
    bool ends_with_line_break() const noexcept REQUIRES(mutex_);
    Trouble append(const char* data, std::size_t size) REQUIRES(mutex_);
    Trouble append_alone(const char* data, std::size_t size) const noexcept;
    void rotate(std::size_t line_size, clock::time_point now) REQUIRES(mutex_);
    bool rename_chain() REQUIRES(mutex_);
    void delete_dropped() noexcept REQUIRES(mutex_);
    void lose_line(const Trouble& trouble) REQUIRES(mutex_);
    void note_written() REQUIRES(mutex_);
    bool report(const Trouble& trouble, std::uint64_t lines_lost = 0, bool always = false) noexcept;
    using Text = FixedText<1024>;
    Text describe(const Trouble& trouble, std::uint64_t lines_lost = 0) const noexcept;

    const std::string folder_;     // absolute, fixed at init whatever the working directory becomes
    const std::string file_path_;  // folder_ + "/varnel.log": for messages and the fatal record
    const RotationLimits limits_;

    UniqueFd folder_fd_ GUARDED_BY(mutex_);  // the folder: the base of every file operation
    FileId folder_id_ GUARDED_BY(mutex_);
    UniqueFd file_fd_ GUARDED_BY(mutex_);  // varnel.log, append-only
    FileId file_id_ GUARDED_BY(mutex_);
    off_t size_ GUARDED_BY(mutex_) = 0;  // the file's size as last learned, plus this process's lines since
    bool others_append_ GUARDED_BY(mutex_) = false;  // another process appends too: learn the size after each line
    spdlog::memory_buf_t unconfirmed_ GUARDED_BY(mutex_);  // the lines written since the file was last seen
    std::size_t unconfirmed_lines_ GUARDED_BY(mutex_) = 0;  // how many
    std::size_t unkept_lines_ GUARDED_BY(mutex_) = 0;  // of those, not in unconfirmed_ (no memory for them)
    clock::time_point name_checked_ GUARDED_BY(mutex_){};   // when the name was last compared with the file
    clock::time_point rename_retry_after_ GUARDED_BY(mutex_){};  // a rename failed: no rotation before
    clock::time_point lock_refused_since_ GUARDED_BY(mutex_){};  // the folder's lock held elsewhere since; {}: not
    bool line_break_due_ GUARDED_BY(mutex_) = false;       // the file may end in a part line
    bool closed_ GUARDED_BY(mutex_) = false;               // close() was called
    bool failing_ GUARDED_BY(mutex_) = false;              // the last line was lost
    bool recovery_unreported_ GUARDED_BY(mutex_) = false;  // writing works again, and the report is still due

    ReportLimit report_limit_;      // the reports of this file's trouble
    std::atomic<int> lock_fd_{-1};  // the folder opened for its lock while rotating; a forked child closes it
};

}  // namespace logging::detail
