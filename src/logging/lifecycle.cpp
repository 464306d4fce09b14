#include <varnel/logging/lifecycle.hpp>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <varnel/logging/pattern_flags.hpp>

#include "logging/state.hpp"

namespace fs = std::filesystem;

namespace logging {
namespace detail {

std::atomic<bool> initialized{false};
std::atomic<bool> shut_down{false};
std::atomic<bool> logger_installed{false};
std::atomic<bool> exiting{false};

namespace {

std::atomic<int> writes_in_progress{0};

}  // namespace

// Sequentially consistent on both sides: either the writer sees `exiting`, or the exit handler
// sees the writer's count.
bool FilteredWrite::enter() noexcept {
    writes_in_progress.fetch_add(1);
    return !exiting.load();
}

FilteredWrite::FilteredWrite() noexcept : admitted_(enter()) {}

FilteredWrite::~FilteredWrite() { writes_in_progress.fetch_sub(1); }

}  // namespace detail

namespace {

constexpr const char* logger_name = "core";
constexpr const char* log_directory = ".tamblin/logs";
constexpr const char* log_file_name = "varnel.log";
constexpr const char* line_pattern = "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v";
constexpr std::size_t max_file_size = std::size_t{5} * 1024 * 1024;
constexpr std::size_t max_rotated_files = 3;
constexpr std::chrono::seconds flush_interval{3};

std::unique_ptr<spdlog::pattern_formatter> make_formatter() {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local);
    // Flags first, so that the pattern compiles with them.
    formatter->add_flag<ElapsedTimeFormatter>('E').add_flag<SourceFileFormatter>('*');
    formatter->set_pattern(line_pattern);
    return formatter;
}

// Everything init() makes; on a throw the local objects are released on the way out.
void create_logger() {
    initialize_timer();

    const fs::path directory = log_directory;
    fs::create_directories(directory);
    // Formed before anything is registered, so that no failure leaves a half-made logger behind.
    const std::string absolute_directory = fs::absolute(directory).string();

    auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
    console->set_level(spdlog::level::trace);
    auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((directory / log_file_name).string(),
                                                                       max_file_size, max_rotated_files, false);
    file->set_level(spdlog::level::trace);

    // Each sink formats with its own flag instances.
    auto formatter = make_formatter();
    console->set_formatter(formatter->clone());
    file->set_formatter(std::move(formatter));

    auto logger = std::make_shared<spdlog::logger>(logger_name, spdlog::sinks_init_list{console, file});
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::warn);

    spdlog::set_default_logger(logger);
    detail::logger_installed.store(true, std::memory_order_release);
    spdlog::flush_every(flush_interval);
    logger->info("Logging to directory: {}", absolute_directory);
}

// Runs before spdlog's registry is destroyed (it was registered after the registry was made).
void close_filtered_path() {
    detail::exiting.store(true);
    // Writes in progress take microseconds; the bound only guards against a thread stuck in I/O.
    for (int waited_ms = 0; detail::writes_in_progress.load() > 0 && waited_ms < 2000; ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

void init() {
    bool expected = false;
    if (!detail::initialized.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return;
    }
    try {
        create_logger();
        static const bool exit_handler_registered = std::atexit(close_filtered_path) == 0;
        (void)exit_handler_registered;
    } catch (...) {
        // Leave the facade uninitialised so that a later init() tries again.
        detail::initialized.store(false, std::memory_order_release);
        throw;
    }
}

void shutdown() {
    detail::shut_down.store(true, std::memory_order_release);
    detail::logger_installed.store(false, std::memory_order_release);
    spdlog::shutdown();
    detail::initialized.store(false, std::memory_order_release);
}

std::shared_ptr<spdlog::logger> core() {
    auto logger = spdlog::get(logger_name);
    if (!logger) {
        throw std::runtime_error("logging::init() must be called before using logging::core()");
    }
    return logger;
}

}  // namespace logging
