#include <varnel/logging/lifecycle.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <pthread.h>

#include <spdlog/details/console_globals.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <varnel/logging/pattern_flags.hpp>

#include "logging/file_sink.hpp"
#include "logging/flush_thread.hpp"
#include "logging/line_escape.hpp"
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
constexpr const char* line_pattern = "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v";
constexpr std::chrono::seconds flush_interval{3};

// What init() makes, and the locks that order init, shutdown, exit and fork. Never destroyed:
// native threads that still log while the process exits must find it intact.
struct Logging {
    std::mutex lifecycle;                          // init(), shutdown(), the exit handler and fork()
    std::mutex logger_mutex;                       // guards the two pointers below; held only to copy them
    std::shared_ptr<spdlog::logger> logger;        // "core" while running
    std::shared_ptr<detail::FileSink> file;        // its file sink
    std::unique_ptr<detail::FlushThread> flusher;  // while running; guarded by `lifecycle`
    bool lines_at_once = false;                    // no batching of file lines, for the rest of the process
};

Logging& state = *new Logging;

std::shared_ptr<detail::FileSink> file_sink() {
    const std::lock_guard<std::mutex> lock(state.logger_mutex);
    return state.file;
}

std::unique_ptr<spdlog::formatter> make_formatter() {
    auto pattern = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local);
    // Flags first, so that the pattern compiles with them.
    pattern->add_flag<ElapsedTimeFormatter>('E').add_flag<SourceFileFormatter>('*');
    pattern->set_pattern(line_pattern);
    return std::make_unique<EscapingFormatter>(std::move(pattern));
}

// The file of "core", and every other logger registered with spdlog. Not the console of "core",
// which flushes after every line anyway: a console nobody reads must not hold up the file, nor
// the exit, which waits for this thread.
void flush_all() {
    if (const auto file = file_sink()) {
        file->flush();
    }
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) {
        if (logger->name() != logger_name) {
            logger->flush();
        }
    });
}

// Everything init() makes; on a throw the local objects are released on the way out.
void create_logger() {
    initialize_timer();

    const fs::path directory = log_directory;
    fs::create_directories(directory);
    // Fixed now: rotation and reopening stay in this folder whatever the working directory becomes.
    const std::string absolute_directory = fs::absolute(directory).string();

    auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
    console->set_level(spdlog::level::trace);
    auto file = std::make_shared<detail::FileSink>(absolute_directory);
    file->set_level(spdlog::level::trace);
    if (state.lines_at_once) {
        file->write_through();
    }

    // Each sink formats with its own flag instances.
    auto formatter = make_formatter();
    console->set_formatter(formatter->clone());
    file->set_formatter(std::move(formatter));

    auto logger = std::make_shared<spdlog::logger>(logger_name, spdlog::sinks_init_list{console, file});
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::warn);

    spdlog::set_default_logger(logger);
    {
        const std::lock_guard<std::mutex> lock(state.logger_mutex);
        state.logger = logger;
        state.file = file;
    }
    detail::logger_installed.store(true, std::memory_order_release);
    state.flusher = std::make_unique<detail::FlushThread>(flush_interval, flush_all);
    logger->info("Logging to directory: {}", absolute_directory);
}

// Undoes what create_logger() installed (all of it, or as far as it got): stops the flush thread
// and lets go of the logger; spdlog's registry still holds it.
void uninstall_logger() {
    detail::logger_installed.store(false, std::memory_order_release);
    state.flusher.reset();
    const std::lock_guard<std::mutex> lock(state.logger_mutex);
    state.logger.reset();
    state.file.reset();
}

// Runs at exit, before spdlog's registry is destroyed (it was registered after the registry was
// made): closes the filtered path, waits for the writes in progress, stops the flush thread and
// writes out the file; lines logged later still reach the file, written at once.
void at_exit() {
    detail::exiting.store(true);
    // Writes in progress take microseconds; the bound only guards against a thread stuck in I/O.
    for (int waited_ms = 0; detail::writes_in_progress.load() > 0 && waited_ms < 2000; ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::lock_guard<std::mutex> lock(state.lifecycle);
    state.flusher.reset();
    if (const auto file = file_sink()) {
        file->write_through();
    }
}

// Fork: no lock of the logging facade may be held by another thread at the moment of fork(),
// since that thread does not exist in the child. So the forking thread takes them all, in the
// order in which they nest elsewhere, and the pending file lines are written out first (the
// child must not write them again).
void before_fork() {
    state.lifecycle.lock();
    if (state.flusher) {
        state.flusher->pause();
    }
    detail::filter_mutex().lock();
    state.logger_mutex.lock();
    spdlog::details::console_mutex::mutex().lock();
    if (state.file) {
        state.file->lock_for_fork();
    }
}

void after_fork_in_parent() {
    if (state.file) {
        state.file->unlock_in_parent();
    }
    spdlog::details::console_mutex::mutex().unlock();
    state.logger_mutex.unlock();
    detail::filter_mutex().unlock();
    if (state.flusher) {
        state.flusher->resume();
    }
    state.lifecycle.unlock();
}

// The child has no thread but this one. Nothing the parent's other threads were doing survives:
// the writes they had in progress are not waited for, and the flush thread's object is left
// alone for good (its thread, waiting on its condition variable, does not exist here). The child
// writes each line at once instead: it may well end with _exit(), as multiprocessing's workers
// do, which runs no exit handler.
void after_fork_in_child() {
    state.lines_at_once = true;
    detail::writes_in_progress.store(0);
    if (state.file) {
        state.file->unlock_in_child();
    }
    spdlog::details::console_mutex::mutex().unlock();
    state.logger_mutex.unlock();
    detail::filter_mutex().unlock();
    static_cast<void>(state.flusher.release());
    state.lifecycle.unlock();
    if (state.file) {
        state.file->write_through();
    }
}

// Registered when the library is loaded, so that every child of a process that has loaded it
// (a multiprocessing forkserver, say) knows that it is one.
[[maybe_unused]] const bool fork_handlers_registered = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

}  // namespace

void init() {
    const std::lock_guard<std::mutex> lock(state.lifecycle);
    bool expected = false;
    if (!detail::initialized.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return;
    }
    try {
        create_logger();
        static const bool exit_handler_registered = std::atexit(at_exit) == 0;
        static_cast<void>(exit_handler_registered);
    } catch (...) {
        // Leave the facade uninitialised so that a later init() tries again.
        uninstall_logger();
        spdlog::drop(logger_name);
        detail::initialized.store(false, std::memory_order_release);
        throw;
    }
}

void shutdown() {
    const std::lock_guard<std::mutex> lock(state.lifecycle);
    detail::shut_down.store(true, std::memory_order_release);
    uninstall_logger();
    // Drops every logger; the last reference to "core" writes out and closes the file.
    spdlog::shutdown();
    detail::initialized.store(false, std::memory_order_release);
}

void write_lines_at_once() {
    const std::lock_guard<std::mutex> lock(state.lifecycle);
    state.lines_at_once = true;
    if (const auto file = file_sink()) {
        file->write_through();
    }
}

std::shared_ptr<spdlog::logger> core() {
    auto logger = detail::installed_logger();
    if (!logger) {
        throw std::runtime_error("logging::init() must be called before using logging::core()");
    }
    return logger;
}

std::shared_ptr<spdlog::logger> detail::installed_logger() {
    const std::lock_guard<std::mutex> lock(state.logger_mutex);
    return state.logger;
}

}  // namespace logging
