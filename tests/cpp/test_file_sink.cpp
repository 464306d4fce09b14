// The file sink alone, with small rotation limits.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logging/file_sink.hpp"
#include "quiet_workplace.hpp"

namespace {

using logging::detail::FileSink;
using logging::detail::make_process_sink;
using logging::detail::RotationLimits;

// Whether any descriptor of this process holds a flock: /proc/self/fdinfo shows the locks of the
// open file description behind each descriptor, inherited ones included.
bool holds_a_flock() {
    DIR* descriptors = ::opendir("/proc/self/fdinfo");
    bool found = false;
    while (const dirent* entry = ::readdir(descriptors)) {
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        for (std::string line; std::getline(info, line);) {
            found = found || line.find("FLOCK") != std::string::npos;
        }
    }
    ::closedir(descriptors);
    return found;
}

// A child forked while another thread rotates (with limits this small, it rotates at every other
// line, under the folder's lock) never holds the lock: were the parent killed, a child that never
// logs would hold it for good.
TEST(FileSink, AForkedChildHoldsNoLockOfItsParent) {
    QuietWorkplace workplace("varnel_file_sink_");
    const auto sink = make_process_sink<FileSink>(workplace.directory().string(), RotationLimits{256, 3});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string text(100, 'x');
        const spdlog::details::log_msg msg("core", spdlog::level::info, text);
        while (!stop) {
            sink->log(msg);
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
    EXPECT_TRUE(std::filesystem::exists(workplace.directory() / "varnel.3.log"));
}

}  // namespace
