// The limits of a log call site: LogSite's decisions on a clock the test controls, then the
// VARNEL_LOG_* macros through the logger.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <varnel/logging/lifecycle.hpp>
#include <varnel/logging/limits.hpp>

#include "in_child.hpp"
#include "quiet_workplace.hpp"

namespace {

using namespace std::chrono_literals;
using logging::Level;
using logging::LogLimits;
using std::chrono::nanoseconds;

constexpr int held = -1;  // an outcome: the call is held back

struct SiteCase {
    const char* name;
    LogLimits limits;           // skip_first, every_n, throttle, once
    std::vector<int> outcomes;  // of each call in turn: the count its line shows, or held
    std::vector<int> times_ms;  // when each call comes (none: all at 0)
};

const std::vector<SiteCase> site_cases = {
    {"no limit", {}, {0, 0, 0}, {}},
    {"once", {false, 1, 0ms, true}, {0, held, held, held}, {}},
    {"skip_first", {true, 1, 0ms, false}, {held, 1, 0, 0}, {}},
    {"every_n 3", {false, 3, 0ms, false}, {0, held, held, 2, held, held, 2}, {}},
    {"every_n 0 is every call", {false, 0, 0ms, false}, {0, 0}, {}},
    {"throttle 100 ms", {false, 1, 100ms, false}, {0, held, held, 2, held, 1, held}, {0, 50, 99, 100, 150, 250, 240}},
    {"throttle: a time read before the last line", {false, 1, 100ms, false}, {0, 0, held}, {0, 500, 499}},
    {"skip_first, then every_n", {true, 2, 0ms, false}, {held, 1, held, 1, held, 1}, {}},
    {"skip_first, then once", {true, 1, 0ms, true}, {held, 1, held, held}, {}},
    {"every_n, then throttle", {false, 2, 100ms, false}, {0, held, held, held, 3, held, held}, {0, 40, 80, 99, 120, 130, 140}},
    {"throttle, then once", {false, 1, 100ms, true}, {0, held, held}, {0, 200, 400}},
    {"every_n, then once", {false, 2, 0ms, true}, {0, held, held, held}, {}},
};

// A clock the test sets, in nanoseconds.
struct TestClock {
    std::int64_t precise = 0;
    std::int64_t coarse = 0;  // at most `lag` behind
    std::int64_t lag = 0;
    std::int64_t now() const noexcept { return precise; }
    std::int64_t coarse_now() const noexcept { return coarse; }
    std::int64_t coarse_lag() const noexcept { return lag; }
};

TEST(LogSite, DecidesEachLimitAndTheirOrder) {
    for (const auto& row : site_cases) {
        logging::LogSite site;
        for (std::size_t call = 0; call < row.outcomes.size(); ++call) {
            const std::int64_t now = nanoseconds(std::chrono::milliseconds(row.times_ms.empty() ? 0 : row.times_ms[call])).count();
            const auto admitted = site.admit(row.limits, TestClock{now, now, 0});
            EXPECT_EQ(admitted ? static_cast<int>(*admitted) : held, row.outcomes[call]) << row.name << ", call " << call;
        }
    }
}

// A throttle reads the coarse clock first: behind the precise one by anything up to its lag, it
// changes no decision.
TEST(LogSite, ACoarseClockWithinItsLagDecidesAsThePreciseOne) {
    const LogLimits limits = logging::limits::throttle(100ns);
    logging::LogSite exact;
    logging::LogSite coarse;
    for (std::int64_t now = 0; now < 2000; now += 7) {
        const auto expected = exact.admit(limits, TestClock{now, now, 0});
        EXPECT_EQ(coarse.admit(limits, TestClock{now, now - now * 13 % 31, 30}), expected) << now;
    }
}

TEST(LogLimits, ThrottlePeriodsComeFromAnyDuration) {
    static_assert(logging::throttle_period(1s) == 1'000'000'000ns);
    EXPECT_EQ(logging::throttle_period(std::chrono::duration<double, std::milli>(1.5)), 1'500'000ns);
    EXPECT_EQ(logging::throttle_period(std::chrono::duration<double, std::nano>(0.1)), 1ns);  // rounded up
    EXPECT_EQ(logging::throttle_period(-1s), 0ns);
    EXPECT_EQ(logging::throttle_period(std::chrono::duration<double>(std::nan(""))), 0ns);
    EXPECT_EQ(logging::throttle_period(std::chrono::hours(24 * 365 * 1000)), nanoseconds::max());
    EXPECT_EQ(logging::throttle_period(std::chrono::duration<double>(1e300)), nanoseconds::max());
    EXPECT_EQ(logging::limits::every_n(-5).every_n, 1U);
}

// The number of lines of the log with each message, after the start-up line.
std::map<std::string, int> count_messages(const QuietWorkplace& workplace) {
    std::map<std::string, int> counts;
    std::ifstream file(workplace.directory() / ".tamblin" / "logs" / "varnel.log");
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        std::size_t message = 0;
        for (int column = 0; column < 4; ++column) {
            message = line.find(" | ", message) + 3;
        }
        ++counts[line.substr(message)];
    }
    return counts;
}

TEST(LimitMacros, CountLinesOverALoop) {
    run_in_child([] {
        QuietWorkplace workplace("varnel_limits_");
        logging::init();
        int evaluated = 0;
        for (int i = 0; i < 1000; ++i) {
            VARNEL_LOG_ONCE(Level::info, "once");
            VARNEL_LOG_EVERY_N(Level::info, 10, (++evaluated, "every 10"));
            VARNEL_LOG_SKIP_FIRST(Level::info, "skip first");
            VARNEL_LOG_THROTTLE(Level::info, std::chrono::hours(1), "throttle");
            // Calls below the threshold (debug) neither write nor count.
            VARNEL_LOG_EVERY_N(i % 2 == 0 ? Level::info : Level::debug, 2, "thresholds first");
        }
        logging::shutdown();
        workplace.restore_stdout();

        EXPECT_EQ(evaluated, 100);  // the message only for the lines written
        EXPECT_EQ(count_messages(workplace), (std::map<std::string, int>{{"once", 1},
                                                                         {"every 10", 1},
                                                                         {"every 10 (9 suppressed)", 99},
                                                                         {"skip first (1 suppressed)", 1},
                                                                         {"skip first", 998},
                                                                         {"throttle", 1},
                                                                         {"thresholds first", 1},
                                                                         {"thresholds first (1 suppressed)", 249}}));
    });
}

// Threads calling one site get the lines one thread would, and every call held back is counted in
// exactly one line. Also for ThreadSanitizer (make test-tsan runs the Concurrency suite).
TEST(Concurrency, ThreadsSharingALimitedSiteWriteNoExtraLine) {
    run_in_child([] {
        constexpr int threads = 4;
        constexpr int calls_per_thread = 10'000;
        QuietWorkplace workplace("varnel_limits_");
        logging::init();
        const auto call_the_sites = [] {
            VARNEL_LOG_EVERY_N(Level::info, 10, "every 10");
            VARNEL_LOG_ONCE(Level::info, "once");
            VARNEL_LOG_THROTTLE(Level::info, std::chrono::hours(1), "throttle");
        };
        std::vector<std::thread> workers;
        workers.reserve(threads);
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (int i = 0; i < calls_per_thread; ++i) {
                    call_the_sites();
                }
            });
        }
        for (auto& worker : workers) {
            worker.join();
        }
        call_the_sites();  // the 40,001st call writes, with the count of the calls held back since the last line
        logging::shutdown();
        workplace.restore_stdout();

        auto counts = count_messages(workplace);
        for (const char* one_line : {"once", "throttle"}) {
            EXPECT_EQ(counts[one_line], 1) << one_line;
            counts.erase(one_line);
        }
        int every_10_lines = 0;
        long long counted = 0;  // the calls the lines say were held back
        for (const auto& [message, lines] : counts) {
            ASSERT_EQ(message.rfind("every 10", 0), 0U) << message;
            every_10_lines += lines;
            if (message != "every 10") {
                counted += lines * std::stoll(message.substr(std::string("every 10 (").size()));
            }
        }
        EXPECT_EQ(every_10_lines, threads * calls_per_thread / 10 + 1);
        EXPECT_EQ(counted, threads * calls_per_thread / 10 * 9);
    });
}

}  // namespace
