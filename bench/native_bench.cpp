// Native benchmarks of the control arithmetic and the filtered log path.
//
// The process works in a temporary directory (the log files go there and it is removed at the
// end) and runs with its standard output on /dev/null, so that the console sink costs a write to
// /dev/null. The benchmark report therefore goes to standard error; pass --benchmark_out=FILE
// --benchmark_out_format=json for the machine-readable results.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

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

// Filters that do not cover the benchmarked path, so that every layer is searched in full.
void set_filters(int files, int packages) {
    logging::clear_filters();
    for (int i = 0; i < files; ++i) {
        logging::set_file_level("module" + std::to_string(i) + ".py", Level::trace);
    }
    for (int i = 0; i < packages; ++i) {
        logging::set_package_level("varnel/package" + std::to_string(i), Level::trace);
    }
}

// Argument 0: the level asked for (debug: dropped by the global info threshold; info: passes).
void is_enabled_for(benchmark::State& state, int files, int packages) {
    set_filters(files, packages);
    const auto level = static_cast<Level>(state.range(0));
    const std::string path = source_path();
    for (auto _ : state) {
        benchmark::DoNotOptimize(logging::is_enabled_for(level, path.c_str()));
    }
    logging::clear_filters();
}
void BM_IsEnabledFor_NoFilters(benchmark::State& state) { is_enabled_for(state, 0, 0); }
void BM_IsEnabledFor_10FileFilters(benchmark::State& state) { is_enabled_for(state, 10, 0); }
void BM_IsEnabledFor_10PackageFilters(benchmark::State& state) { is_enabled_for(state, 0, 10); }
BENCHMARK(BM_IsEnabledFor_NoFilters)->ArgName("level")->Arg(static_cast<int>(Level::debug))->Arg(static_cast<int>(Level::info));
BENCHMARK(BM_IsEnabledFor_10FileFilters)->ArgName("level")->Arg(static_cast<int>(Level::debug))->Arg(static_cast<int>(Level::info));
BENCHMARK(BM_IsEnabledFor_10PackageFilters)->ArgName("level")->Arg(static_cast<int>(Level::debug))->Arg(static_cast<int>(Level::info));

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
