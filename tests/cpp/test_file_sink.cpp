// The file sink alone, with small rotation limits: rotation, the folder's lock, a folder that goes
// or moves away, threads and processes sharing the files, and fork().

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logging/file_sink.hpp"
#include "quiet_workplace.hpp"

namespace fs = std::filesystem;

namespace {

using logging::detail::FileSink;
using logging::detail::make_process_sink;
using logging::detail::RotationLimits;

constexpr const char* file_names[] = {"varnel.3.log", "varnel.2.log", "varnel.1.log", "varnel.log"};

class SmallFiles : public testing::Test {
protected:
    SmallFiles() {
        workplace_.restore_stdout();  // nothing here writes to the console
        fs::create_directories(folder_);
    }

    // A sink on the folder whose lines are the messages alone.
    std::shared_ptr<FileSink> sink(RotationLimits limits) const {
        auto made = make_process_sink<FileSink>(folder_.string(), limits);
        made->set_pattern("%v");
        return made;
    }

    // "<writer> <number> " and padding: 100 bytes with the line end.
    static std::string line(int writer, int number) {
        std::string text = std::to_string(writer) + " " + std::to_string(number) + " ";
        return text + std::string(99 - text.size(), 'p');
    }

    static void log(FileSink& sink, int writer, int number, spdlog::log_clock::time_point when = spdlog::log_clock::now()) {
        const std::string text = line(writer, number);
        sink.log(spdlog::details::log_msg(when, {}, "core", spdlog::level::info, text));
    }

    // The numbers of each writer's kept lines, oldest first; every line must be whole.
    std::map<int, std::vector<int>> kept() const {
        static const std::regex whole(R"((\d+) (\d+) p+)");
        std::map<int, std::vector<int>> numbers;
        for (const char* name : file_names) {
            std::ifstream file(folder_ / name);
            for (std::string text; std::getline(file, text);) {
                std::smatch match;
                EXPECT_TRUE(std::regex_match(text, match, whole) && text.size() == 99) << "torn: " << text;
                numbers[std::stoi(match[1])].push_back(std::stoi(match[2]));
            }
        }
        return numbers;
    }

    // Whether `numbers` run without a gap up to `last`.
    static bool run_to(const std::vector<int>& numbers, int last) {
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (numbers[i] != last + 1 - static_cast<int>(numbers.size() - i)) {
                return false;
            }
        }
        return !numbers.empty();
    }

    std::size_t size_of(const char* name) const { return fs::file_size(folder_ / name); }

    QuietWorkplace workplace_{"varnel_file_sink_"};
    const fs::path folder_ = workplace_.directory() / "logs";
};

TEST_F(SmallFiles, RotatesBeforeALineWouldNotFitAndKeepsTheNewestFiles) {
    const auto file = sink({1000, 2});
    for (int number = 0; number < 100; ++number) {
        log(*file, 0, number);
    }
    EXPECT_FALSE(fs::exists(folder_ / "varnel.3.log"));
    for (const char* name : {"varnel.2.log", "varnel.1.log"}) {
        EXPECT_EQ(size_of(name), 1000u) << name;  // full: ten lines of 100 bytes
    }
    EXPECT_TRUE(run_to(kept()[0], 99));
    EXPECT_EQ(kept()[0].size(), 30u);
}

TEST_F(SmallFiles, ALineLargerThanAFileGetsAFileOfItsOwn) {
    const auto file = sink({150, 3});
    const std::string large(400, 'L');
    log(*file, 0, 0);
    file->log(spdlog::details::log_msg("core", spdlog::level::info, large));
    log(*file, 0, 1);
    EXPECT_EQ(size_of("varnel.1.log"), large.size() + 1);
    EXPECT_EQ(size_of("varnel.log"), 100u);
}

TEST_F(SmallFiles, AFailedRenameKeepsAppendingAndSaysSo) {
    fs::create_directories(folder_ / "varnel.3.log" / "in the way");  // renaming varnel.2.log onto it fails
    std::ofstream(folder_ / "varnel.2.log") << "9 9 " << std::string(95, 'p') << "\n";
    const auto file = sink({1000, 3});
    testing::internal::CaptureStderr();
    for (int number = 0; number < 30; ++number) {
        log(*file, 0, number);
    }
    const std::string reports = testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("renaming varnel.2.log to varnel.3.log failed"), std::string::npos) << reports;
    EXPECT_TRUE(run_to(kept()[0], 29));
    EXPECT_EQ(kept()[0].size(), 30u);  // nothing lost: the file grew past the limit
    EXPECT_EQ(kept()[9].size(), 1u);   // nor was the oldest file touched
}

// Another process holds the folder's lock (or a process stopped, or killed, while it held it):
// every line is still written and the file grows past its limit, which is reported once that has
// lasted a second; the first line after the lock is free rotates.
TEST_F(SmallFiles, AHeldFolderLockDelaysRotationNeverALine) {
    const int held = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const auto file = sink({1000, 3});
    auto when = spdlog::log_clock::now();
    const auto log_lines = [&](int first, int last) {
        testing::internal::CaptureStderr();
        for (int number = first; number <= last; ++number) {
            log(*file, 0, number, when += std::chrono::milliseconds(100));
        }
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(log_lines(0, 19), "");  // the lock held for a second: a rotation under way, not yet trouble
    EXPECT_NE(log_lines(20, 29).find("another process holds the lock on the log folder"), std::string::npos);
    EXPECT_EQ(size_of("varnel.log"), 3000u);
    ::close(held);
    log(*file, 0, 30, when);
    EXPECT_EQ(size_of("varnel.1.log"), 3000u);
    EXPECT_EQ(size_of("varnel.log"), 100u);
}

// The folder removed while logging is made again; the lines written since the file was last
// looked at went with it, and are written again.
TEST_F(SmallFiles, AFolderRemovedWhileLoggingIsMadeAgainAndLosesNoLine) {
    const auto file = sink({12000, 3});
    for (int number = 0; number < 20; ++number) {
        log(*file, 0, number);
    }
    fs::remove_all(folder_);
    for (int number = 20; number < 200; ++number) {
        log(*file, 0, number);
    }
    const auto numbers = kept()[0];
    EXPECT_TRUE(run_to(numbers, 199));
    EXPECT_LE(numbers.front(), 20);
    EXPECT_TRUE(fs::exists(folder_ / "varnel.1.log"));  // and rotates there
}

TEST_F(SmallFiles, RotationStaysInItsFolderWhateverTheWorkingDirectory) {
    const fs::path elsewhere = workplace_.directory() / "b" / "logs";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / "varnel.2.log") << "kept\n";
    const auto file = sink({1000, 3});
    fs::current_path(elsewhere);
    for (int number = 0; number < 100; ++number) {
        log(*file, 0, number);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
    EXPECT_TRUE(run_to(kept()[0], 99));
}

TEST_F(SmallFiles, ThreadsKeepTheirOrderAcrossRotations) {
    const auto file = sink({512 * 1024, 3});  // 1.2 MB in all: every line is kept
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 4; ++writer) {
        threads.emplace_back([&, writer] {
            for (int number = 0; number < 3000; ++number) {
                log(*file, writer, number);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto numbers = kept();
    ASSERT_EQ(numbers.size(), 4u);
    for (const auto& [writer, kept_numbers] : numbers) {
        EXPECT_TRUE(run_to(kept_numbers, 2999)) << "writer " << writer;
        EXPECT_EQ(kept_numbers.size(), 3000u) << "writer " << writer;
    }
}

// Processes that each open the folder themselves, as services started there do: no line torn, at
// most four log files (a process that ends just after it rotated leaves the dropped file for the
// next rotation to delete), each process's kept lines one run without a gap, and every rotated file full.
// (How far past its limit a rotated file goes depends on the scheduler: a process learns the
// others' share every 8 KiB it writes, and one descheduled while it rotates holds the others'
// rotations up.)
TEST_F(SmallFiles, ProcessesSharingTheFolderRotateTogether) {
    constexpr std::size_t limit = 64 * 1024;
    std::vector<pid_t> children;
    for (int writer = 0; writer < 4; ++writer) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const auto file = sink({limit, 3});
            for (int number = 0; number < 4000; ++number) {
                log(*file, writer, number);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_EQ(status, 0);
    }
    const auto is_log_file = [](const fs::directory_entry& entry) { return entry.path().filename().c_str()[0] != '.'; };
    EXPECT_EQ(std::count_if(fs::directory_iterator(folder_), fs::directory_iterator(), is_log_file), 4);
    for (const auto& [writer, numbers] : kept()) {
        EXPECT_TRUE(run_to(numbers, 3999)) << "writer " << writer;
    }
    for (const char* name : {"varnel.3.log", "varnel.2.log", "varnel.1.log"}) {
        EXPECT_GE(size_of(name), limit - 100) << name;
    }
}

// Whether any descriptor of this process holds a flock: /proc/self/fdinfo shows the locks of the
// open file description behind each descriptor, inherited ones included. System calls on buffers
// on the stack alone: a child forked while another thread allocated must not allocate (under
// AddressSanitizer, whose allocator a fork does not make safe, it would wait for good).
bool holds_a_flock() {
    const int folder = ::open("/proc/self/fdinfo", O_RDONLY | O_DIRECTORY);
    alignas(dirent64) std::array<char, 4096> entries{};
    bool found = false;
    for (ssize_t size = 0; (size = ::getdents64(folder, entries.data(), entries.size())) > 0;) {
        for (ssize_t at = 0; at < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + at);
            at += entry->d_reclen;
            const int info = entry->d_name[0] == '.' ? -1 : ::openat(folder, entry->d_name, O_RDONLY);
            std::array<char, 4096> text{};
            if (info >= 0 && ::read(info, text.data(), text.size() - 1) > 0) {
                found = found || std::strstr(text.data(), "FLOCK") != nullptr;
            }
            ::close(info);
        }
    }
    ::close(folder);
    return found;
}

// A child forked while another thread rotates (with limits this small, at every other line,
// under the folder's lock) never holds the lock: were the parent killed, a child that never logs
// would hold it for good.
TEST_F(SmallFiles, AForkedChildHoldsNoLockOfItsParent) {
    const auto file = sink({256, 3});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int number = 0; !stop; ++number) {
            log(*file, 0, number);
        }
    });
    int children_holding_it = 0;
    for (int child = 0; child < 200; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(holds_a_flock() ? 1 : 0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        children_holding_it += WEXITSTATUS(status);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(children_holding_it, 0);
    EXPECT_TRUE(fs::exists(folder_ / "varnel.3.log"));
}

}  // namespace
