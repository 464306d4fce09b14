#include "logging/file_sink.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/common.h>

namespace logging::detail {
namespace {

constexpr const char* file_name = "varnel.log";
constexpr std::size_t batch_size = std::size_t{16} * 1024;  // pending bytes that make a write

// varnel.log, varnel.1.log, ... varnel.3.log
std::string rotated_name(int index) {
    return index == 0 ? std::string(file_name) : "varnel." + std::to_string(index) + ".log";
}

std::string error_text(int error) { return std::system_category().message(error); }

void write_to_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

bool ErrorReport::operator()(const std::string& what) noexcept {
    if (count_ > 0 && std::chrono::steady_clock::now() - last_ < std::chrono::seconds(1)) {
        return false;
    }
    always(what);
    return true;
}

void ErrorReport::always(const std::string& what) noexcept {
    last_ = std::chrono::steady_clock::now();
    try {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        ::localtime_r(&now, &local);
        // One write, so that the report is not torn by other output to standard error.
        write_to_stderr(fmt::format("[*** LOG ERROR #{:04d} ***] [{:%Y-%m-%d %H:%M:%S}] [core] {}\n", ++count_, local,
                                    what));
    } catch (...) {
        // Nothing else can carry the report.
    }
}

FileSink::FileSink(std::string folder) : folder_(std::move(folder)), file_path_(folder_ + '/' + file_name) {
    std::string problem = open_folder();
    if (problem.empty()) {
        problem = open_file();
    }
    if (!problem.empty()) {
        throw spdlog::spdlog_ex(problem);
    }
}

FileSink::~FileSink() {
    const std::lock_guard<std::mutex> lock(mutex_);
    write_pending();
    report_recovery(true);
}

void FileSink::write_through() {
    const std::lock_guard<std::mutex> lock(mutex_);
    write_through_ = true;
    write_pending();
}

void FileSink::lock_for_fork() {
    mutex_.lock();
    write_pending();
}

void FileSink::unlock_in_parent() { mutex_.unlock(); }

void FileSink::unlock_in_child() {
    inherited_ = true;
    mutex_.unlock();
}

void FileSink::sink_it_(const spdlog::details::log_msg& msg) {
    const std::size_t line_start = pending_.size();
    try {
        formatter_->format(msg, pending_);
    } catch (...) {
        pending_.resize(line_start);  // no part of a line in the batch
        throw;
    }
    line_ends_.push_back(pending_.size());
    if (write_through_ || pending_.size() >= batch_size) {
        write_pending();
    }
}

void FileSink::flush_() { write_pending(); }

void FileSink::write_pending() noexcept {
    if (!line_ends_.empty()) {
        if (inherited_) {
            folder_fd_.reset();
            file_fd_.reset();
            inherited_ = false;
        }
        std::size_t lines_written = 0;
        std::string problem = lock_folder();
        if (problem.empty()) {
            problem = open_file();
        }
        if (problem.empty()) {
            problem = write_lines(lines_written);
        }
        unlock_folder();
        account(lines_written, problem);

        pending_.clear();
        line_ends_.clear();
        if (pending_.capacity() > 4 * batch_size) {
            pending_ = spdlog::memory_buf_t();  // one huge line must not pin its memory for good
        }
    }
    report_recovery(false);  // also from the periodic flush, should the last chance have been rate-limited
}

void FileSink::account(std::size_t lines_written, const std::string& problem) noexcept {
    const std::size_t lost = line_ends_.size() - lines_written;
    if (lost > 0) {
        lost_lines_ += lost;
        failing_ = true;
        recovery_unreported_ = false;
        try {
            report_(fmt::format("{}; {} lines lost so far", problem, lost_lines_));
        } catch (...) {
            // The report is lost; the count is kept for the next one.
        }
    } else if (failing_) {
        failing_ = false;
        recovery_unreported_ = true;
    }
}

void FileSink::report_recovery(bool always) noexcept {
    if (!recovery_unreported_) {
        return;
    }
    try {
        const std::string what = fmt::format("writing to {} again; {} lines were lost", file_path_, lost_lines_);
        if (always) {
            report_.always(what);
            recovery_unreported_ = false;
        } else {
            recovery_unreported_ = !report_(what);
        }
    } catch (...) {
        // Tried again at the next write.
    }
}

std::string FileSink::open_folder() {
    int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // Removed while logging: made again, as it was at init.
        std::error_code ignored;
        std::filesystem::create_directories(folder_, ignored);
        fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        return "cannot open the log folder " + folder_ + ": " + error_text(errno);
    }
    folder_fd_.reset(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return "cannot open the log folder " + folder_ + ": " + error_text(errno);
    }
    folder_id_ = {status.st_dev, status.st_ino};
    return {};
}

std::string FileSink::lock_folder() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!folder_fd_) {
            if (std::string problem = open_folder(); !problem.empty()) {
                return problem;
            }
        }
        int result = 0;
        do {
            result = ::flock(folder_fd_.get(), LOCK_EX);
        } while (result != 0 && errno == EINTR);
        // A file system without locks still gets the log; only the coordination is lost.
        folder_locked_ = result == 0;

        // The folder the path names now is where the log goes: the one opened may have been
        // removed or replaced since.
        struct stat status {};
        if (::stat(folder_.c_str(), &status) == 0 && FileId{status.st_dev, status.st_ino} == folder_id_) {
            return {};
        }
        unlock_folder();
        folder_fd_.reset();
        file_fd_.reset();
    }
    return "the log folder " + folder_ + " keeps changing";
}

void FileSink::unlock_folder() noexcept {
    if (folder_locked_) {
        ::flock(folder_fd_.get(), LOCK_UN);
        folder_locked_ = false;
    }
}

// Under the folder lock: makes file_fd_ the folder's current varnel.log.
std::string FileSink::open_file() {
    struct stat status {};
    if (file_fd_) {
        if (::fstatat(folder_fd_.get(), file_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            FileId{status.st_dev, status.st_ino} == file_id_) {
            file_size_ = status.st_size;
            return {};
        }
        file_fd_.reset();  // rotated away by another process, removed, or replaced
    }
    // O_NONBLOCK: a FIFO planted under the name fails here instead of blocking the writer.
    UniqueFd fd(::openat(folder_fd_.get(), file_name,
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        const int error = errno;
        return "Failed opening file " + file_path_ + " for writing: " +
               (error == ELOOP ? "it is a symbolic link, which the log never follows" : error_text(error));
    }
    if (!S_ISREG(status.st_mode)) {
        return "Failed opening file " + file_path_ + " for writing: it is not a regular file";
    }
    file_fd_ = std::move(fd);
    file_id_ = {status.st_dev, status.st_ino};
    file_size_ = status.st_size;
    return {};
}

// Under the folder lock, with file_fd_ open: the pending lines in runs that fit below the size
// limit, rotating between runs.
std::string FileSink::write_lines(std::size_t& lines_written) {
    std::size_t start = 0;  // where the first unwritten line begins in pending_
    while (lines_written < line_ends_.size()) {
        std::size_t end_line = lines_written;
        while (end_line < line_ends_.size() &&
               static_cast<std::size_t>(file_size_) + (line_ends_[end_line] - start) <= max_file_size) {
            ++end_line;
        }
        if (end_line == lines_written) {  // the next line does not fit
            if (file_size_ == 0) {
                end_line = lines_written + 1;  // larger than a whole file: it gets one of its own
            } else if (rotate()) {
                if (std::string problem = open_file(); !problem.empty()) {
                    return problem;
                }
                continue;
            } else {
                end_line = line_ends_.size();  // cannot rotate: the file grows rather than lose lines
            }
        }
        const std::size_t end = line_ends_[end_line - 1];
        if (std::string problem = append(pending_.data() + start, end - start); !problem.empty()) {
            return problem;
        }
        file_size_ += static_cast<off_t>(end - start);
        start = end;
        lines_written = end_line;
    }
    return {};
}

// One run of whole lines, with O_APPEND. A write that fails halfway is taken back, so that no
// torn line stays in the file (the folder lock keeps other writers out meanwhile).
std::string FileSink::append(const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(file_fd_.get(), data + done, size - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        const int error = written < 0 ? errno : EIO;
        if (done > 0) {
            // Should this fail too, the torn part stays, and the lines after it are still whole.
            [[maybe_unused]] const int taken_back = ::ftruncate(file_fd_.get(), file_size_);
        }
        return "cannot write " + file_path_ + ": " + error_text(error);
    }
    return {};
}

// Under the folder lock, with file_fd_ the folder's current varnel.log: shifts every file up by
// one, the oldest dropping out. A rename that fails stops the shift before anything is lost.
bool FileSink::rotate() {
    for (int index = max_rotated_files; index > 0; --index) {
        const std::string from = rotated_name(index - 1);
        const std::string to = rotated_name(index);
        if (::renameat(folder_fd_.get(), from.c_str(), folder_fd_.get(), to.c_str()) != 0 && errno != ENOENT) {
            const int error = errno;
            try {
                report_(fmt::format("cannot rotate {}: renaming {} to {} failed: {}; still appending to {}", file_path_,
                                    from, to, error_text(error), file_name));
            } catch (...) {
                // The report is lost; the file keeps growing.
            }
            return false;
        }
    }
    file_fd_.reset();
    return true;
}

}  // namespace logging::detail
