// Several threads on the logging facade at once, in a temporary working directory with the console
// sink writing to /dev/null. Each test shuts logging down, so each runs in a child process.
//
// The Races suite has no check of its own: it makes threads log while others change the filters
// or shut logging down and start it again, for ThreadSanitizer to judge (make test-tsan runs it;
// the other runs leave it out). PeerThroughSpdlog is for AddressSanitizer, not ThreadSanitizer:
// spdlog reads its default logger's pointer without a lock, by design.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>

#include "in_child.hpp"
#include "quiet_workplace.hpp"

namespace {

using logging::Level;

// Shown as "s.<thread>.worker<thread>.cpp" in the source column.
std::string source_path(int thread) {
    const std::string number = std::to_string(thread);
    return "/stress/" + number + "/worker" + number + ".cpp";
}

// The filtered road, as VARNEL_LOG takes it, from `path`.
void log_from(const std::string& path, Level level, const std::string& message) {
    if (logging::is_enabled_for(level, path.c_str())) {
        logging::log_from_file(level, path.c_str(), message);
    }
}

// Runs `work` on `count` threads (each given its number) until `stop` is set.
std::vector<std::thread> start_workers(int count, std::atomic<bool>& stop, void (*work)(int)) {
    std::vector<std::thread> workers;
    for (int t = 0; t < count; ++t) {
        workers.emplace_back([t, &stop, work] {
            while (!stop.load()) {
                work(t);
            }
        });
    }
    return workers;
}

void stop_workers(std::atomic<bool>& stop, std::vector<std::thread>& workers) {
    stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
}

TEST(Concurrency, ThreadsKeepTheirOwnSourceColumnAndOrder) {
    run_in_child([] {
        constexpr int threads = 4;
        constexpr int lines_per_thread = 2'000;
        QuietWorkplace workplace("varnel_concurrency_");
        logging::init();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([t] {
                for (int i = 0; i < lines_per_thread; ++i) {
                    log_from(source_path(t), Level::info, "thread " + std::to_string(t) + " line " + std::to_string(i));
                }
            });
        }
        for (auto& worker : workers) {
            worker.join();
        }
        logging::shutdown();
        workplace.restore_stdout();

        const std::regex line_form(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| +\d+\.\d{3}s \| info     \| s\.(\d)\.worker\d\.cpp {15} \| thread (\d) line (\d+)$)");
        std::map<int, std::vector<int>> seen;
        std::ifstream file(workplace.directory() / ".tamblin" / "logs" / "varnel.log");
        for (std::string line; std::getline(file, line);) {
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
            ASSERT_EQ(numbers.size(), static_cast<std::size_t>(lines_per_thread)) << "thread " << thread;
            for (int i = 0; i < lines_per_thread; ++i) {
                ASSERT_EQ(numbers[i], i) << "thread " << thread;
            }
        }
    });
}

// clear_filters() drops, in one change, a file filter that stops a path and a package filter that
// lets it through: a decision that saw the one gone and not the other would pass. Readers come
// and go, so that new threads take over the records of ended ones while the filters change.
TEST(Concurrency, DecisionsSeeTheFiltersBeforeOrAfterAChangeNeverAMix) {
    run_in_child([] {
        QuietWorkplace workplace("varnel_concurrency_");
        logging::init();
        std::atomic<bool> stop{false};
        auto writers = start_workers(1, stop, [](int) {
            logging::set_file_level("drive.cpp", Level::off);
            logging::set_package_level("/motion/", Level::trace);
            logging::clear_filters();
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
        stop_workers(stop, writers);
        logging::shutdown();
        workplace.restore_stdout();
        EXPECT_EQ(passed.load(), 0);
    });
}

// A native peer that logs through spdlog's own functions reaches the default logger by a bare
// pointer: while another thread shuts logging down and starts it again, and after the last
// shutdown, that logger is neither destroyed (AddressSanitizer sees any use after free) nor null.
TEST(PeerThroughSpdlog, LogsWhileAnotherThreadShutsDownAndRestarts) {
    run_in_child([] {
        QuietWorkplace workplace("varnel_peer_");
        logging::init();
        std::atomic<bool> stop{false};
        static std::atomic<int> peer_lines{0};
        auto peers = start_workers(2, stop, [](int) {
            spdlog::info("from a peer");
            ++peer_lines;
        });
        while (peer_lines < 100) {  // the peers are under way
            std::this_thread::yield();
        }
        for (int round = 0; round < 100; ++round) {
            logging::shutdown();
            logging::init();
        }
        logging::shutdown();
        stop_workers(stop, peers);
        spdlog::info("after the last shutdown");
        workplace.restore_stdout();
        std::ifstream file(workplace.directory() / ".tamblin" / "logs" / "varnel.log");
        int from_peers = 0;
        for (std::string line; std::getline(file, line);) {
            from_peers += line.find("| from a peer") != std::string::npos ? 1 : 0;
        }
        EXPECT_GT(from_peers, 0);
    });
}

TEST(Races, LoggingWhileFiltersChange) {
    QuietWorkplace workplace("varnel_races_");
    logging::init();
    std::atomic<bool> stop{false};
    auto workers = start_workers(3, stop, [](int t) { log_from(source_path(t), Level::debug, "busy"); });
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
    stop_workers(stop, workers);
    logging::shutdown();
}

TEST(Races, LoggingWhileAnotherThreadShutsDownAndRestarts) {
    QuietWorkplace workplace("varnel_races_");
    logging::init();
    std::atomic<bool> stop{false};
    auto workers = start_workers(3, stop, [](int t) {
        log_from(source_path(t), Level::info, "filtered");
        try {
            logging::core()->info("direct");
        } catch (const std::runtime_error&) {
            // between shutdown and init
        }
    });
    for (int round = 0; round < 200; ++round) {
        logging::shutdown();
        logging::init();
    }
    stop_workers(stop, workers);
    logging::shutdown();
}

}  // namespace
