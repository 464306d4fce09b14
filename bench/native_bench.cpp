// Native benchmarks of the control arithmetic, the filtered log path and the limits of a call site.
//
// The process works in a temporary directory (the log files go there and it is removed at the
// end) and runs with its standard output on /dev/null, so that the console sink costs a write to
// /dev/null. The benchmark report therefore goes to standard error; pass --benchmark_out=FILE
// --benchmark_out_format=json for the machine-readable results.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <varnel/foundation.hpp>

#include "quiet_workplace.hpp"

namespace fs = std::filesystem;

namespace {

using logging::Level;

// A path below the project root (the temporary directory, which holds .tamblin once logging is
// initialised), as a Python caller would pass __file__.
std::string source_path() { return (fs::current_path() / "python/varnel/step/motion/drive.py").string(); }

constexpr const char* message = "motor 3 reached its target velocity";

void BM_PidControllerUpdate(benchmark::State& state) {
    varnel::foundation::PidController pid({2.0, 0.5, 0.1});
    double error = 0.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(pid.update(error, 0.01));
    }
}
BENCHMARK(BM_PidControllerUpdate);

// Each thread its own controller: work that shares nothing, the yardstick for threads deciding
// at once (how much of one thread's rate the machine gives each of several).
void BM_PidControllerUpdate_Threads(benchmark::State& state) { BM_PidControllerUpdate(state); }
BENCHMARK(BM_PidControllerUpdate_Threads)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_FeedforwardControllerCalculate(benchmark::State& state) {
    const varnel::foundation::FeedforwardController feedforward({0.1, 2.0, 0.5});
    double velocity = 1.0;
    double acceleration = 0.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(velocity);
        benchmark::DoNotOptimize(acceleration);
        benchmark::DoNotOptimize(feedforward.calculate(velocity, acceleration));
    }
}
BENCHMARK(BM_FeedforwardControllerCalculate);

// Filters that do not cover the benchmarked path, so that a decision made afresh searches every
// layer in full.
void set_filters(std::int64_t files, std::int64_t packages) {
    logging::clear_filters();
    for (std::int64_t i = 0; i < files; ++i) {
        logging::set_file_level("module" + std::to_string(i) + ".py", Level::trace);
    }
    for (std::int64_t i = 0; i < packages; ++i) {
        logging::set_package_level("varnel/package" + std::to_string(i), Level::trace);
    }
}

// A path decided before, as a caller logging from one file sees it. Arguments: the level asked
// for (debug: dropped by the global info threshold; info: passes), the numbers of file and of
// package filters.
void BM_IsEnabledFor(benchmark::State& state) {
    set_filters(state.range(1), state.range(2));
    const auto level = static_cast<Level>(state.range(0));
    const std::string path = source_path();
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::is_enabled_for(level, path.c_str()));
    }
    logging::clear_filters();
}
constexpr auto debug = static_cast<std::int64_t>(Level::debug);
constexpr auto info = static_cast<std::int64_t>(Level::info);
BENCHMARK(BM_IsEnabledFor)
    ->ArgNames({"level", "file_filters", "package_filters"})
    ->Args({debug, 0, 0})
    ->Args({info, 0, 0})
    ->Args({debug, 10, 0})
    ->Args({debug, 100, 0})
    ->Args({debug, 1000, 0})
    ->Args({debug, 0, 10})
    ->Args({debug, 0, 100})
    ->Args({debug, 0, 1000})
    ->Args({debug, 100, 100});

// Threads deciding at once, each on its own cache, with 100 file and 100 package filters set.
void BM_IsEnabledFor_Threads(benchmark::State& state) {
    if (state.thread_index() == 0) {
        set_filters(100, 100);
    }
    const std::string path = source_path();
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::is_enabled_for(Level::debug, path.c_str()));
    }
    if (state.thread_index() == 0) {
        logging::clear_filters();
    }
}
BENCHMARK(BM_IsEnabledFor_Threads)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// A path the thread has not decided since the last filter change (each call passes one of more
// copies of the text than the cache holds): the decision is made afresh from the filters, and its
// cost grows with their number. Arguments: the numbers of file and of package filters.
void BM_IsEnabledFor_Uncached(benchmark::State& state) {
    set_filters(state.range(0), state.range(1));
    const std::vector<std::string> copies(4096, source_path());
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::is_enabled_for(Level::debug, copies[next].c_str()));
        next = (next + 1) % copies.size();
    }
    logging::clear_filters();
}
BENCHMARK(BM_IsEnabledFor_Uncached)
    ->ArgNames({"file_filters", "package_filters"})
    ->Args({0, 0})
    ->Args({10, 10})
    ->Args({100, 100})
    ->Args({1000, 1000});

// One filter change with as many file and package filters set: a writer copies the filters.
void BM_SetFileLevel(benchmark::State& state) {
    set_filters(state.range(0), state.range(0));
    bool trace = false;
    for (auto _ : state) {
        trace = !trace;
        logging::set_file_level("changed.py", trace ? Level::trace : Level::debug);
    }
    logging::clear_filters();
}
BENCHMARK(BM_SetFileLevel)->ArgName("filters_of_each_kind")->Arg(0)->Arg(10)->Arg(100)->Arg(1000);

// The filtered path as VARNEL_LOG writes it: decision, then the line.
void log_lines(benchmark::State& state) {
    const std::string path = source_path();
    for (auto _ : state) {
        if (logging::is_enabled_for(Level::info, path.c_str())) {
            logging::log_from_file(Level::info, path.c_str(), message);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Only the file sink of the real logger (its own formatter, flags included): the console sink is
// taken out of the logger for the duration of the benchmark (nothing else logs meanwhile).
void BM_LogFromFile_FileSinkOnly(benchmark::State& state) {
    auto& sinks = logging::core()->sinks();
    const auto console = sinks.front();
    sinks.erase(sinks.begin());
    log_lines(state);
    sinks.insert(sinks.begin(), console);
}
BENCHMARK(BM_LogFromFile_FileSinkOnly);

// The logger of logging::init(): console (to /dev/null) and file.
void BM_LogFromFile_BothSinks(benchmark::State& state) { log_lines(state); }
BENCHMARK(BM_LogFromFile_BothSinks);

// A call that its site's limits hold back (VARNEL_LOG_ONCE, _EVERY_N, _THROTTLE), at a path decided
// before, with 0, 100 and 1,000 filters of each kind. Arguments: the limit (0: once, after its line;
// 1: every 2^62-th call; 2: a throttle of an hour), the number of filters of each kind.
void BM_LimitedSiteHeldBack(benchmark::State& state) {
    set_filters(state.range(1), state.range(1));
    switch (state.range(0)) {
        case 0:
            for (auto _ : state) {
                VARNEL_LOG_ONCE(Level::info, message);
            }
            break;
        case 1:
            for (auto _ : state) {
                VARNEL_LOG_EVERY_N(Level::info, std::int64_t{1} << 62, message);
            }
            break;
        default:
            for (auto _ : state) {
                VARNEL_LOG_THROTTLE(Level::info, std::chrono::hours(1), message);
            }
    }
    logging::clear_filters();
}
BENCHMARK(BM_LimitedSiteHeldBack)->ArgNames({"limit", "filters_of_each_kind"})->ArgsProduct({{0, 1, 2}, {0, 100, 1000}});

// What a written line costs before it reaches the sinks, which are taken out of the logger here
// (they cost the same whatever wrote the line). Argument 0: VARNEL_LOG. Argument 1: two calls of a
// VARNEL_LOG_EVERY_N(..., 2, ...) site, one held back and one written with " (1 suppressed)".
void BM_LineWithoutSinks(benchmark::State& state) {
    auto& sinks = logging::core()->sinks();
    const auto kept = sinks;
    sinks.clear();
    if (state.range(0) == 0) {
        for (auto _ : state) {
            VARNEL_LOG(Level::info, message);
        }
    } else {
        for (auto _ : state) {
            for (int call = 0; call < 2; ++call) {
                VARNEL_LOG_EVERY_N(Level::info, 2, message);
            }
        }
    }
    sinks = kept;
}
BENCHMARK(BM_LineWithoutSinks)->ArgName("every_2nd")->Arg(0)->Arg(1);

// The floor for a line that is in the kernel when its call returns: one append-mode write(2) of
// as many bytes as the line above, to a file beside the log, cut back as the log is rotated.
void BM_WriteSyscall(benchmark::State& state) {
    const std::string line = std::string("2026-12-09 05:33:56 |     0.000s | info     | s.m.drive.py") +
                             std::string(19, ' ') + " | " + message + "\n";
    const int fd = ::open(".tamblin/logs/write_syscall.log", O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::size_t size = 0;
    for (auto _ : state) {
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            state.SkipWithError("write failed");
            break;
        }
        size += line.size();
        if (size > std::size_t{5} * 1024 * 1024) {
            static_cast<void>(::ftruncate(fd, 0));
            size = 0;
        }
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteSyscall);

void BM_FormatSourcePath(benchmark::State& state) {
    const std::string path = "python/varnel/step/motion/drive.py";
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::format_source_path(path));
    }
}
BENCHMARK(BM_FormatSourcePath);

void BM_ProjectRelativePath(benchmark::State& state) {
    const std::string path = source_path();
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::project_relative_path(path.c_str()));
    }
}
BENCHMARK(BM_ProjectRelativePath);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::ConsoleReporter display(benchmark::ConsoleReporter::OO_Tabular);  // no colour codes
    display.SetOutputStream(&std::cerr);
    display.SetErrorStream(&std::cerr);
    {
        QuietWorkplace workplace("varnel_bench_");
        logging::init();
        benchmark::RunSpecifiedBenchmarks(&display);
        logging::shutdown();
    }
    benchmark::Shutdown();
    return 0;
}
