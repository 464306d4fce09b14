// A native program that logs, without an interpreter (a peer of the Python extension), gets the
// native stack under the record of a fatal signal, and ends by that signal.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <varnel/logging/lifecycle.hpp>

#include "in_child.hpp"
#include "quiet_workplace.hpp"

namespace {

TEST(FatalSignals, ANativeProgramGetsItsNativeStackUnderTheRecord) {
    run_in_child([] {
        const QuietWorkplace workplace("fatal_signals_");
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            logging::init();
            std::abort();
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;

        std::ifstream file(workplace.directory() / ".tamblin" / "logs" / "varnel.log");
        std::stringstream log;
        log << file.rdbuf();
        const std::regex record(
            R"(\| critical \| {32}\| ended by signal SIGABRT \(Aborted\)\n)"
            R"(  Native stack \(most recent call first\):\n(    #\d+ 0x[0-9a-f]+ .*\n)+$)");
        EXPECT_TRUE(std::regex_search(log.str(), record)) << log.str();
        EXPECT_NE(log.str().find(" abort+0x"), std::string::npos) << log.str();
    });
}

}  // namespace
