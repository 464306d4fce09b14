#include "logging/file_sink.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/common.h>

#include "logging/record_text.hpp"
#include "logging/trouble_report.hpp"

namespace logging::detail {
namespace {

constexpr const char* file_name = "varnel.log";
// What ends a part line (left by a write cut short, or by a process killed while it wrote) before
// the next line: CAN, "cancel", which the writer never writes raw into a line (control characters
// are written as \xNN), so a reader knows the line for a part line, and a line break.
constexpr std::string_view part_line_end = "\x18\n";

// The oldest file's name from the moment rotation drops it until a thread has deleted it:
// ".varnel.dropped.<pid>.<n>", never the name of a file still there, so that no rename frees one.
constexpr std::string_view dropped_prefix = ".varnel.dropped.";

// How often a process looks at the file and its name: every this many bytes it writes, and every
// so often. A line of another process can land in a file just rotated away only this late.
constexpr std::size_t size_check_bytes = 8192;
constexpr auto name_check_interval = std::chrono::milliseconds(50);

// The folder's lock is held for a rotation, which takes microseconds: held elsewhere for this
// long, while every line that finds the file full tries it again, the holder is stopped (in a
// debugger, say) or hostile, and the file grows past its limit; that is reported.
constexpr auto lock_report_after = std::chrono::seconds(1);
// A rename that failed (permissions, a read-only folder) is not tried again at every line.
constexpr auto rename_retry_interval = std::chrono::seconds(1);

// Errors of the log file's own, beside the system's.
enum class FileError { not_a_regular_file = 1 };

class FileErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "log file"; }
    std::string message(int /*error*/) const override { return "it is not a regular file"; }
};

const FileErrorCategory file_error_category;

std::error_code last_error() noexcept { return {errno, std::system_category()}; }

using FileName = FixedText<63>;

// varnel.log, varnel.1.log, ..., without allocating.
FileName rotated_name(int index) noexcept {
    FileName name;
    if (index == 0) {
        name << file_name;
    } else {
        name << "varnel." << static_cast<std::uint64_t>(index) << ".log";
    }
    return name;
}

// Deletes every file that rotation dropped in the folder open as `folder` (a description of its
// own: reading a folder moves the description's place in it), and closes it. Also the files of a
// process that ended before its thread had deleted them. Reads the folder into a buffer on the
// stack: nothing is allocated, so a child forked meanwhile finds no allocator lock held.
void delete_dropped_files(int folder) noexcept {
    alignas(dirent64) std::array<char, 4096> entries{};
    for (;;) {
        const ssize_t size = ::getdents64(folder, entries.data(), entries.size());
        if (size <= 0) {
            break;
        }
        for (ssize_t at = 0; at < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + at);  // NOLINT
            if (std::string_view(entry->d_name).substr(0, dropped_prefix.size()) == dropped_prefix) {
                ::unlinkat(folder, entry->d_name, 0);
            }
            at += entry->d_reclen;
        }
    }
    ::close(folder);
}

// Makes `path` and its missing parents, as at init, without allocating.
void make_folder(const std::string& path) noexcept {
    std::array<char, PATH_MAX> partial{};
    if (path.size() >= partial.size()) {
        return;
    }
    char* const end = std::copy(path.begin(), path.end(), partial.begin());  // NUL after it
    for (char* at = partial.begin() + 1; at <= end; ++at) {
        if (*at == '/' || *at == '\0') {
            const char kept = *at;
            *at = '\0';
            ::mkdir(partial.data(), 0777);  // an existing folder is no error; what else failed shows at the open
            *at = kept;
        }
    }
}

}  // namespace

FileSink::FileSink(std::string folder, RotationLimits limits)
    : folder_(std::move(folder)), file_path_(folder_ + '/' + file_name), limits_(limits) {
    const MutexLock lock(mutex_);
    Trouble trouble = open_folder();
    if (!trouble) {
        trouble = open_file();
    }
    if (trouble) {
        throw spdlog::spdlog_ex(std::string(describe(trouble).view()));
    }
    name_checked_ = clock::now();
}

FileSink::~FileSink() { close(); }

void FileSink::close() noexcept {
    const MutexLock lock(mutex_);
    if (closed_) {
        return;
    }
    closed_ = true;
    if (file_fd_) {
        static_cast<void>(write_again_if_deleted());  // what it could not write again is counted
    }
    if (folder_fd_) {  // what rotation dropped is gone by the time the process is
        delete_dropped_files(::openat(folder_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    close_file();
    forget_unconfirmed();
    if (recovery_unreported_) {
        report({Step::write_again, {}}, count_lost_lines(0), true);
    }
}

void FileSink::write_line(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line) {
    if (closed_) {
        if (const Trouble trouble = append_alone(line.data(), line.size())) {
            lose_line(trouble);
        }
        return;
    }
    if (check_due(line.size(), msg.time)) {
        if (const Trouble trouble = check(line.size(), msg.time)) {
            lose_line(trouble);
            return;
        }
    }
    if (const Trouble trouble = append(line.data(), line.size())) {
        lose_line(trouble);
        return;
    }
    keep_unconfirmed(line);
    note_written();
}

void FileSink::drop_line(std::error_code error) noexcept { lose_line({Step::write_file, error}); }

bool FileSink::check_due(std::size_t line_size, clock::time_point now) const noexcept {
    return !file_fd_ || unconfirmed_.size() + line_size >= size_check_bytes || wants_rotation(line_size, now) ||
           name_check_due(now);
}

// Time to compare the name with the file open (a clock stepped back counts as time up).
bool FileSink::name_check_due(clock::time_point now) const noexcept {
    return now < name_checked_ || now - name_checked_ >= name_check_interval;
}

// The next line would not fit, and no rename failed a moment ago.
bool FileSink::wants_rotation(std::size_t line_size, clock::time_point now) const noexcept {
    return size_ > 0 && static_cast<std::size_t>(size_) + line_size > limits_.max_file_size &&
           !(now < rename_retry_after_);
}

// Looks at the file: learns its size, notices it deleted or rotated away (and opens the current
// one), and rotates when the next line would not fit.
FileSink::Trouble FileSink::check(std::size_t line_size, clock::time_point now) {
    if (file_fd_) {
        if (const Trouble trouble = write_again_if_deleted()) {
            return trouble;
        }
    }
    const bool name_due = name_check_due(now);
    // A full file was perhaps rotated away by another process already.
    if (file_fd_ && (name_due || wants_rotation(line_size, now)) && !is_current_file()) {
        close_file();  // rotated away: the lines written to it are in the rotated file
    }
    if (!file_fd_) {
        if (const Trouble trouble = reopen()) {
            forget_unconfirmed();
            return trouble;
        }
    }
    forget_unconfirmed();
    if (name_due) {
        name_checked_ = now;
    }
    if (wants_rotation(line_size, now)) {
        rotate(line_size, now);
    }
    return {};
}

// Learns the size of the file open; when it was deleted since the last look (rm, or its folder
// removed), opens the current one and writes into it again the lines written since. Lines it
// cannot write again are counted lost.
FileSink::Trouble FileSink::write_again_if_deleted() {
    struct stat status {};
    if (::fstat(file_fd_.get(), &status) == 0 && status.st_nlink > 0) {
        others_append_ = status.st_size != size_;  // in a file of this process's alone the size is what it counted
        size_ = status.st_size;
        return {};
    }
    file_fd_.reset();
    if (unconfirmed_lines_ == 0) {
        return {};  // nothing to write again: a new file is made when a line comes
    }
    Trouble trouble = reopen();
    if (!trouble) {
        trouble = append(unconfirmed_.data(), unconfirmed_.size());
    }
    count_lost_lines(trouble ? unconfirmed_lines_ : unkept_lines_);
    forget_unconfirmed();
    return trouble;
}

// A close that fails loses the lines written since the file was last looked at: they are counted
// and reported like lines that could not be written.
void FileSink::close_file() {
    if (const std::error_code error = file_fd_.close()) {
        failing_ = true;
        recovery_unreported_ = false;
        report({Step::close_file, error}, count_lost_lines(unconfirmed_lines_));
        forget_unconfirmed();
    }
}

// Keeps `line`, just written, until the next look at the file; a line there is no memory to keep
// for is only counted.
void FileSink::keep_unconfirmed(const spdlog::memory_buf_t& line) noexcept {
    ++unconfirmed_lines_;
    try {
        unconfirmed_.append(line.data(), line.data() + line.size());
    } catch (...) {
        ++unkept_lines_;
    }
}

void FileSink::forget_unconfirmed() noexcept {
    if (unconfirmed_.capacity() > std::size_t{4} * size_check_bytes) {
        unconfirmed_ = spdlog::memory_buf_t();  // a huge line is not kept room for
    }
    unconfirmed_.clear();
    unconfirmed_lines_ = 0;
    unkept_lines_ = 0;
}

// Whether the folder's varnel.log is still the file open: another process may have rotated it
// away, or the folder may have been removed or replaced (then the folder is opened anew too).
bool FileSink::is_current_file() noexcept {
    struct stat status {};
    if (::stat(folder_.c_str(), &status) != 0 || !(FileId{status.st_dev, status.st_ino} == folder_id_)) {
        folder_fd_.reset();
        return false;
    }
    return ::fstatat(folder_fd_.get(), file_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           FileId{status.st_dev, status.st_ino} == file_id_;
}

FileSink::Trouble FileSink::open_folder() {
    int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        make_folder(folder_);  // removed while logging: made again, as it was at init
        fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        return {Step::open_folder, last_error()};
    }
    folder_fd_.reset(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return {Step::open_folder, last_error()};
    }
    folder_id_ = {status.st_dev, status.st_ino};
    return {};
}

// Makes file_fd_ the folder's varnel.log, creating it if need be.
FileSink::Trouble FileSink::open_file() {
    // O_NONBLOCK: a FIFO planted under the name fails the check below instead of blocking.
    UniqueFd fd(::openat(folder_fd_.get(), file_name,
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        return {Step::open_file, last_error()};
    }
    if (!S_ISREG(status.st_mode)) {
        return {Step::open_file, {static_cast<int>(FileError::not_a_regular_file), file_error_category}};
    }
    file_fd_ = std::move(fd);
    file_id_ = {status.st_dev, status.st_ino};
    size_ = status.st_size;
    others_append_ = true;  // until a look at the file shows otherwise: a file just rotated is shared at once
    line_break_due_ = size_ > 0;
    return {};
}

// The current varnel.log, from the folder open or, when that has gone, from the folder the path
// names now (made again if need be).
FileSink::Trouble FileSink::reopen() {
    if (!folder_fd_) {
        if (const Trouble trouble = open_folder()) {
            return trouble;
        }
    }
    Trouble trouble = open_file();
    if (trouble.error == std::errc::no_such_file_or_directory) {  // the folder open was removed
        folder_fd_.reset();
        trouble = open_folder();
        if (!trouble) {
            trouble = open_file();
        }
    }
    return trouble;
}

// Whether the file open ends with a line break, or is empty. A process killed in the middle of a
// write leaves a part line, and the first line of this one must not be glued to it. But a line
// another process is writing shows as a part line too, for as long as its write lasts; a write
// holds the file's lock in the kernel meanwhile, and fallocate() waits for that lock without
// changing the file. So a part line counts only when it is still there, the size unchanged, after
// two such waits; where the file system has no fallocate(), nothing counts as one.
bool FileSink::ends_with_line_break() const noexcept {
    const UniqueFd reader(::openat(folder_fd_.get(), file_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    // The file's last byte once no write is under way (a line break when it is empty, not the file
    // open, or cannot be waited for), and its size.
    const int file = file_fd_.get();
    const FileId file_id = file_id_;
    const auto last_byte = [&](off_t& size) noexcept {
        struct stat status {};
        char last = '\n';
        if (::fallocate(file, FALLOC_FL_KEEP_SIZE, 0, 1) == 0 && ::fstat(reader.get(), &status) == 0 &&
            FileId{status.st_dev, status.st_ino} == file_id && status.st_size > 0 &&
            ::pread(reader.get(), &last, 1, status.st_size - 1) == 1) {
            size = status.st_size;
            return last;
        }
        return '\n';
    };
    off_t first_size = 0;
    if (!reader || last_byte(first_size) == '\n') {
        return true;
    }
    off_t second_size = 0;
    return last_byte(second_size) == '\n' || second_size != first_size;
}

// One whole line in one append-mode write.
FileSink::Trouble FileSink::append(const char* data, std::size_t size) {
    if (line_break_due_) {
        if (!ends_with_line_break()) {
            if (!write_all(file_fd_.get(), part_line_end.data(), part_line_end.size())) {
                return {Step::write_file, last_error()};  // no line is glued to the part line
            }
            size_ += static_cast<off_t>(part_line_end.size());
        }
        line_break_due_ = false;
    }
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
        const std::error_code error = written < 0 ? last_error() : std::make_error_code(std::errc::io_error);
        if (done > 0) {
            // Part of the line is in the file; other processes may already have appended after it,
            // so it is never cut off: the next line of this one starts on a line of its own.
            line_break_due_ = true;
        }
        return {Step::write_file, error};
    }
    if (others_append_) {  // where this line ended is the file's size, others' lines included
        const off_t end = ::lseek(file_fd_.get(), 0, SEEK_CUR);
        size_ = end >= 0 ? end : size_ + static_cast<off_t>(size);
    } else {
        size_ += static_cast<off_t>(size);
    }
    return {};
}

// Appends `data` to the folder's current varnel.log, opened by its path for this one write (the
// folder made again if it has gone), as a sink that was closed does, and a fatal-signal handler.
// Async-signal-safe.
FileSink::Trouble FileSink::append_alone(const char* data, std::size_t size) const noexcept {
    constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(::open(file_path_.c_str(), flags, 0644));
    if (!fd && errno == ENOENT) {
        make_folder(folder_);  // deleted or moved away: made again, as for any line
        fd.reset(::open(file_path_.c_str(), flags, 0644));
    }
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        return {Step::open_file, last_error()};
    }
    if (!S_ISREG(status.st_mode)) {
        return {Step::open_file, {static_cast<int>(FileError::not_a_regular_file), file_error_category}};
    }
    if (!write_all(fd.get(), data, size)) {
        return {Step::write_file, last_error()};
    }
    return {};
}

// The next line does not fit: rotates, unless another process did meanwhile. Only under the
// folder's lock, which is tried, never waited for: when another process holds it, the line goes
// to the current file, and the next line that finds the file full tries again.
void FileSink::rotate(std::size_t line_size, clock::time_point now) {
    const std::uint64_t epoch = fork_epoch();
    UniqueFd lock(::openat(folder_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock) {
        return;
    }
    lock_fd_.store(lock.get());
    if (epoch % 2 != 0 || fork_epoch() != epoch) {
        // A fork copied the descriptor before a child's handler could know it: a child that never
        // logs would hold the lock for good were this process killed. The next full line tries again.
        lock_fd_.store(-1);
        return;
    }
    // A file system without locks counts as locked: the log is still written, only rotation is
    // not coordinated.
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (lock_refused_since_ == clock::time_point{} || now < lock_refused_since_) {
            lock_refused_since_ = now;
        } else if (now - lock_refused_since_ >= lock_report_after) {
            report({Step::lock_folder, std::make_error_code(std::errc::resource_unavailable_try_again)});
        }
    } else {
        lock_refused_since_ = {};
        struct stat status {};
        if (!is_current_file()) {  // rotated by another process meanwhile
            close_file();
            forget_unconfirmed();
            static_cast<void>(reopen());  // a failure shows at the next line
        } else if (::fstat(file_fd_.get(), &status) == 0) {
            size_ = status.st_size;
        }
        if (file_fd_ && wants_rotation(line_size, now)) {
            if (rename_chain()) {
                close_file();
                forget_unconfirmed();
                static_cast<void>(reopen());
            } else {
                rename_retry_after_ = now + rename_retry_interval;
            }
        }
        ::flock(lock.get(), LOCK_UN);
    }
    lock_fd_.store(-1);  // before the close: a child forked from now on inherits no held lock
}

// Shifts every file up by one. The oldest leaves first, under a name of its own, and is deleted
// off this call. A rename that fails stops the shift before anything is lost.
bool FileSink::rename_chain() {
    const int folder = folder_fd_.get();
    const FileName oldest = rotated_name(limits_.kept_files);
    struct stat status {};
    if (::fstatat(folder, oldest.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode)) {
        // Someone's folder under the oldest name: the next file cannot take its place.
        report({Step::rename_file, std::make_error_code(std::errc::is_a_directory), limits_.kept_files - 1});
        return false;
    }
    static std::atomic<std::uint64_t> drops{0};
    FileName dropped;
    dropped << dropped_prefix << static_cast<std::uint64_t>(::getpid()) << "." << drops.fetch_add(1);
    const bool dropping = ::renameat(folder, oldest.c_str(), folder, dropped.c_str()) == 0;
    if (!dropping && errno != ENOENT) {
        report({Step::rename_file, last_error(), limits_.kept_files});
        return false;
    }
    for (int index = limits_.kept_files; index > 0; --index) {
        const FileName from = rotated_name(index - 1);
        const FileName to = rotated_name(index);
        if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0 && errno != ENOENT) {
            report({Step::rename_file, last_error(), index - 1});
            if (dropping && index == limits_.kept_files) {
                ::renameat(folder, dropped.c_str(), folder, oldest.c_str());  // nothing shifted: nothing dropped
            }
            return false;
        }
    }
    if (dropping) {
        delete_dropped();
    }
    return true;
}

// Deletes the file rotation dropped on a thread of its own, which ends with it: freeing a file of
// megabytes takes a file system milliseconds, which no log call may spend. Where no thread can be
// had, the file is deleted here.
void FileSink::delete_dropped() noexcept {
    const int folder = ::openat(folder_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return;  // the next rotation deletes it
    }
    try {
        std::thread(delete_dropped_files, folder).detach();
    } catch (...) {
        delete_dropped_files(folder);
    }
}

void FileSink::lose_line(const Trouble& trouble) {
    const std::uint64_t lost = count_lost_lines(1);
    failing_ = true;
    recovery_unreported_ = false;
    report(trouble, lost);
}

void FileSink::note_written() {
    if (failing_) {
        failing_ = false;
        recovery_unreported_ = true;
    }
    if (recovery_unreported_) {
        recovery_unreported_ = !report({Step::write_again, {}}, count_lost_lines(0));
    }
}

bool FileSink::report(const Trouble& trouble, std::uint64_t lines_lost, bool always) noexcept {
    return report_trouble(describe(trouble, lines_lost).view(), always ? nullptr : &report_limit_);
}

// The one place where trouble becomes text. Allocates nothing, throws nothing.
FileSink::Text FileSink::describe(const Trouble& trouble, std::uint64_t lines_lost) const noexcept {
    std::array<char, 256> buffer{};
    const char* reason = nullptr;
    if (trouble.error.category() == file_error_category) {
        reason = "it is not a regular file";
    } else if (trouble.step == Step::open_file && trouble.error.value() == ELOOP) {
        reason = "it is a symbolic link, which the log never follows";
    } else {
        reason = ::strerror_r(trouble.error.value(), buffer.data(), buffer.size());
    }
    Text text;
    switch (trouble.step) {
        case Step::open_folder:
            text << "cannot open the log folder " << folder_ << ": " << reason;
            break;
        case Step::open_file:
            text << "cannot open " << file_path_ << " for writing: " << reason;
            break;
        case Step::write_file:
            text << "cannot write " << file_path_ << ": " << reason;
            break;
        case Step::close_file:
            text << "cannot close " << file_path_ << ": " << reason;
            break;
        case Step::write_again:
            text << "writing to " << file_path_ << " again; " << lines_lost << " lines were lost";
            return text;
        case Step::lock_folder:
            text << "cannot rotate " << file_path_ << ": another process holds the lock on the log folder; "
                 << "still appending to " << file_name;
            return text;
        case Step::rename_file: {
            const bool dropping = trouble.rename_from == limits_.kept_files;  // the oldest, out of the way
            text << "cannot rotate " << file_path_ << ": renaming " << rotated_name(trouble.rename_from).view()
                 << " to " << (dropping ? dropped_prefix : rotated_name(trouble.rename_from + 1).view())
                 << (dropping ? "..." : "") << " failed: " << reason << "; still appending to " << file_name;
            return text;
        }
    }
    if (lines_lost > 0) {
        text << "; " << lines_lost << " lines lost so far";
    }
    return text;
}

void FileSink::after_fork_in_child(bool interrupted) noexcept {
    // The lines written since the file was last seen are the parent's to write again.
    new (&unconfirmed_) spdlog::memory_buf_t;  // left behind, in case it was half changed
    unconfirmed_lines_ = 0;
    unkept_lines_ = 0;
    if (!interrupted) {
        return;
    }
    // The parent's lock must not live on in the child: were the parent killed, the child, which
    // may never log, would hold it for good.
    if (const int lock = lock_fd_.exchange(-1); lock >= 0) {
        ::close(lock);
    }
    // The descriptors may have been in the middle of being replaced: their numbers are not
    // trusted, and the child opens its own at its next line.
    file_fd_.forget();
    folder_fd_.forget();
}

void FileSink::write_fatal(const FatalRecord& record) const noexcept {
    static_cast<void>(append_alone(record.text, record.size));
}

}  // namespace logging::detail
