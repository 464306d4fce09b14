#pragma once
// A temporary working directory with standard output on /dev/null, for native code that logs
// (the concurrency tests and the native benchmarks): the log folder lands in the temporary
// directory and the console sink writes to /dev/null.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

class QuietWorkplace {
public:
    /// Creates and enters <temp>/<prefix><pid>, and points standard output at /dev/null.
    explicit QuietWorkplace(const std::string& prefix) {
        namespace fs = std::filesystem;
        previous_ = fs::current_path();
        directory_ = fs::temp_directory_path() / (prefix + std::to_string(::getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        fs::current_path(directory_);
        std::fflush(stdout);
        saved_stdout_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }

    /// Restores standard output and the working directory, and removes the directory.
    ~QuietWorkplace() {
        restore_stdout();
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(directory_, ignored);
    }

    QuietWorkplace(const QuietWorkplace&) = delete;
    QuietWorkplace& operator=(const QuietWorkplace&) = delete;

    /// The temporary directory.
    const std::filesystem::path& directory() const noexcept { return directory_; }

    /// Standard output as it was, ahead of the destructor; safe to repeat.
    void restore_stdout() {
        if (saved_stdout_ >= 0) {
            std::fflush(stdout);
            ::dup2(saved_stdout_, STDOUT_FILENO);
            ::close(saved_stdout_);
            saved_stdout_ = -1;
        }
    }

private:
    std::filesystem::path previous_;   // working directory before
    std::filesystem::path directory_;  // the temporary directory
    int saved_stdout_ = -1;            // the original standard output while redirected
};
