// Several threads on the logging facade at once. Each test runs in a process of its own (ctest),
// in a temporary working directory, with the console sink writing to /dev/null.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>

#include "quiet_workplace.hpp"

namespace fs = std::filesystem;

namespace {

using logging::Level;

class Concurrency : public testing::Test {
protected:
    // The console sink writes to /dev/null while the threads run; gtest reports afterwards.
    void SetUp() override { workplace_ = std::make_unique<QuietWorkplace>("varnel_concurrency_"); }
    void TearDown() override { workplace_.reset(); }

    // Every line of the kept files, oldest first.
    std::vector<std::string> kept_lines() const {
        std::vector<std::string> lines;
        for (const char* name : {"varnel.3.log", "varnel.2.log", "varnel.1.log", "varnel.log"}) {
            std::ifstream file(workplace_->directory() / ".tamblin" / "logs" / name);
            for (std::string line; std::getline(file, line);) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    void restore_stdout() { workplace_->restore_stdout(); }

    // Stops and joins the workers, shuts logging down and gives standard output back to gtest.
    void finish(std::atomic<bool>& stop, std::vector<std::thread>& workers) {
        stop = true;
        for (auto& worker : workers) {
            worker.join();
        }
        logging::shutdown();
        restore_stdout();
    }
    const fs::path& directory() const { return workplace_->directory(); }

    std::unique_ptr<QuietWorkplace> workplace_;
};

// Shown as "s.<thread>.worker<thread>.cpp" in the source column.
std::string source_path(int thread) {
    const std::string number = std::to_string(thread);
    return "/stress/" + number + "/worker" + number + ".cpp";
}

TEST_F(Concurrency, ThreadsKeepTheirOwnSourceColumnAndOrderAcrossRotations) {
    constexpr int threads = 4;
    constexpr int lines_per_thread = 40'000;  // about 25 MiB in all: the file rotates several times
    logging::init();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            const std::string path = source_path(t);
            const std::string padding(100, 'p');
            for (int i = 0; i < lines_per_thread; ++i) {
                const std::string message = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding;
                if (logging::is_enabled_for(Level::info, path.c_str())) {
                    logging::log_from_file(Level::info, path.c_str(), message);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    logging::shutdown();
    restore_stdout();

    const std::regex line_form(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| +\d+\.\d{3}s \| info     \| s\.(\d)\.worker\d\.cpp {15} \| thread (\d) line (\d+) p{100}$)");
    const auto lines = kept_lines();
    ASSERT_TRUE(fs::exists(directory() / ".tamblin" / "logs" / "varnel.3.log"));
    ASSERT_GT(lines.size(), 70'000u);  // three full older files at least
    std::map<int, std::vector<int>> seen;
    for (const auto& line : lines) {
        std::smatch match;
        if (line.find("Logging to directory") != std::string::npos) {
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, match, line_form)) << line;
        ASSERT_EQ(match[1], match[2]) << "source column of another thread: " << line;
        seen[std::stoi(match[2])].push_back(std::stoi(match[3]));
    }
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(threads));
    for (const auto& [thread, numbers] : seen) {
        // Rotation drops the oldest lines only: each thread's kept lines run without a gap to its last.
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], lines_per_thread - static_cast<int>(numbers.size() - i)) << "thread " << thread;
        }
    }
}

TEST_F(Concurrency, LoggingWhileFiltersChange) {
    logging::init();
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([t, &stop] {
            const std::string path = source_path(t);
            while (!stop.load()) {
                if (logging::is_enabled_for(Level::debug, path.c_str())) {
                    logging::log_from_file(Level::debug, path.c_str(), "busy");
                }
            }
        });
    }
    for (int round = 0; round < 2000; ++round) {
        const std::string name = "worker" + std::to_string(round % 7) + ".cpp";
        logging::set_file_level("worker1.cpp", round % 2 ? Level::trace : Level::off);
        logging::set_package_level("/stress/" + std::to_string(round % 3), Level::trace);
        logging::set_global_level(round % 3 ? Level::debug : Level::error);
        logging::clear_package_level("/stress/" + std::to_string((round + 1) % 3));
        logging::clear_file_level(name);
        if (round % 100 == 0) {
            logging::clear_filters();
        }
    }
    finish(stop, workers);
    EXPECT_FALSE(logging::is_enabled_for(Level::critical, "/x.cpp"));
}

// clear_filters() drops, in one change, a file filter that stops a path and a package filter that
// lets it through: a decision that saw the one gone and not the other would pass. Readers come
// and go, so that new threads take over the records of ended ones while the filters change.
TEST_F(Concurrency, DecisionsSeeTheFiltersBeforeOrAfterAChangeNeverAMix) {
    logging::init();
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    workers.emplace_back([&stop] {
        while (!stop.load()) {
            logging::set_file_level("drive.cpp", Level::off);
            logging::set_package_level("/motion/", Level::trace);
            logging::clear_filters();
        }
    });
    std::atomic<int> passed{0};
    for (int round = 0; round < 50; ++round) {
        std::vector<std::thread> readers;
        for (int t = 0; t < 3; ++t) {
            readers.emplace_back([&passed] {
                const std::string path = "/p/motion/drive.cpp";
                for (int i = 0; i < 2000; ++i) {
                    passed += logging::is_enabled_for(Level::debug, path.c_str()) ? 1 : 0;
                }
            });
        }
        for (auto& reader : readers) {
            reader.join();
        }
    }
    finish(stop, workers);
    EXPECT_EQ(passed.load(), 0);
}

TEST_F(Concurrency, LoggingWhileAnotherThreadShutsDownAndRestarts) {
    logging::init();
    std::atomic<bool> stop{false};
    std::atomic<long> direct_writes{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([t, &stop, &direct_writes] {
            const std::string path = source_path(t);
            while (!stop.load()) {
                if (logging::is_enabled_for(Level::info, path.c_str())) {
                    logging::log_from_file(Level::info, path.c_str(), "filtered");
                }
                try {
                    logging::core()->info("direct");
                    ++direct_writes;
                } catch (const std::runtime_error&) {
                    // between shutdown and init
                }
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        logging::shutdown();
        logging::init();
    }
    finish(stop, workers);
    EXPECT_GT(direct_writes.load(), 0);
    EXPECT_FALSE(logging::is_enabled_for(Level::critical, "/x.cpp"));
}

}  // namespace
