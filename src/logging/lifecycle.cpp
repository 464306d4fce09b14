#include <varnel/logging/lifecycle.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

#include <spdlog/spdlog.h>

#include <varnel/logging/pattern_flags.hpp>

#include "logging/console_sink.hpp"
#include "logging/fatal_signals.hpp"
#include "logging/file_sink.hpp"
#include "logging/line_formatter.hpp"
#include "logging/state.hpp"
#include "logging/trouble_report.hpp"

namespace fs = std::filesystem;

namespace logging {
namespace detail {

std::atomic<std::uint32_t> lifecycle{0};

namespace {

std::atomic<int> writes_in_progress{0};

}  // namespace

// Sequentially consistent on both sides: either the writer sees the exiting bit, or the exit
// handler sees the writer's count.
bool FilteredWrite::enter() noexcept {
    writes_in_progress.fetch_add(1);
    return lifecycle.load() == lifecycle_bits::filtered_road_open;
}

FilteredWrite::FilteredWrite() noexcept : admitted_(enter()) {}

FilteredWrite::~FilteredWrite() { writes_in_progress.fetch_sub(1); }

}  // namespace detail

namespace {

constexpr const char* logger_name = "core";
constexpr const char* log_directory = ".tamblin/logs";
constexpr detail::RotationLimits rotation_limits{std::size_t{5} * 1024 * 1024, 3};

// The logger and the locks that order init, shutdown and fork. Never destroyed: native threads
// that still log while the process exits must find it intact. Neither lock is ever held while a
// line is written, a file closed or a report made, so that fork(), which takes both, never waits
// for the log.
struct Logging {
    detail::Mutex lifecycle;                                      // init(), shutdown() and fork()
    detail::Mutex logger_mutex;                                   // held only to copy `logger`
    std::shared_ptr<spdlog::logger> logger GUARDED_BY(logger_mutex);  // "core" while running
    // Every logger that was spdlog's default, kept for good: spdlog::info() and its kin reach the
    // default logger through a bare pointer, which a native peer may be using while shutdown()
    // puts another in its place.
    std::vector<std::shared_ptr<spdlog::logger>> former_defaults GUARDED_BY(lifecycle);
    // spdlog's default logger between a shutdown() and the next init(): writes nothing.
    const std::shared_ptr<spdlog::logger> silent = [] {
        auto logger = std::make_shared<spdlog::logger>("", spdlog::sinks_init_list{});
        logger->set_level(spdlog::level::off);
        return logger;
    }();
};

Logging& state = *new Logging;

// Makes `next` spdlog's default logger, keeping the one it replaces for good.
void replace_default_logger(std::shared_ptr<spdlog::logger> next) REQUIRES(state.lifecycle) {
    auto current = spdlog::default_logger();
    if (current && current != state.silent) {
        state.former_defaults.push_back(std::move(current));
    }
    spdlog::set_default_logger(std::move(next));
}

// Everything init() makes, installed; on a throw the local objects are released on the way out.
// The absolute log folder goes to `absolute_directory`.
std::shared_ptr<spdlog::logger> create_logger(std::string& absolute_directory) REQUIRES(state.lifecycle) {
    initialize_timer();

    const fs::path directory = log_directory;
    fs::create_directories(directory);
    // Fixed now: rotation and reopening stay in this folder whatever the working directory becomes.
    absolute_directory = fs::absolute(directory).string();

    auto console = detail::make_process_sink<detail::ConsoleSink>();
    console->set_level(spdlog::level::trace);
    auto file = detail::make_process_sink<detail::FileSink>(absolute_directory, rotation_limits);
    file->set_level(spdlog::level::trace);

    // Each sink formats with a formatter of its own.
    auto formatter = std::make_unique<detail::LineFormatter>();
    console->set_formatter(formatter->clone());
    file->set_formatter(std::move(formatter));

    // The file first: it is the record, and the console may be slow to take a line.
    auto logger = std::make_shared<spdlog::logger>(logger_name, spdlog::sinks_init_list{file, console});
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::warn);

    replace_default_logger(logger);
    {
        const detail::MutexLock lock(state.logger_mutex);
        state.logger = logger;
    }
    detail::lifecycle.fetch_or(detail::lifecycle_bits::installed, std::memory_order_release);
    return logger;
}

// Undoes what create_logger() installed (all of it, or as far as it got): takes the logger out of
// the facade (spdlog's registry still holds it) and leaves the facade uninitialised.
std::shared_ptr<spdlog::logger> uninstall_logger() REQUIRES(state.lifecycle) {
    detail::lifecycle.fetch_and(~(detail::lifecycle_bits::installed | detail::lifecycle_bits::initialized),
                                std::memory_order_release);
    const detail::MutexLock lock(state.logger_mutex);
    return std::exchange(state.logger, nullptr);
}

// Shuts spdlog down as spdlog::shutdown() does (every logger dropped, the periodic flusher and the
// thread pool let go), except that the default logger is never left null, nor destroyed: the
// silent logger takes its place, and the one it replaces is kept (see former_defaults).
void shut_spdlog_down() REQUIRES(state.lifecycle) {
    replace_default_logger(state.silent);
    std::vector<std::string> names;
    spdlog::apply_all([&](const std::shared_ptr<spdlog::logger>& logger) {
        if (logger != state.silent) {
            names.push_back(logger->name());
        }
    });
    for (const auto& name : names) {
        spdlog::drop(name);
    }
    spdlog::flush_every(std::chrono::seconds(0));  // replaces the flusher by one that never runs
    spdlog::details::registry::instance().set_tp(nullptr);
}

// Lets the sinks of `logger` go of their files: its last look at them, outside every lock of the
// facade (writing a line again, or a report, may wait on a slow disk or standard error).
void close_sinks(const std::shared_ptr<spdlog::logger>& logger) {
    if (!logger) {
        return;
    }
    for (const auto& sink : logger->sinks()) {
        if (auto* ours = dynamic_cast<detail::ProcessSink*>(sink.get())) {
            ours->close();
        }
    }
}

// Runs at exit, before static objects are destroyed (it was registered after spdlog's registry
// was made): closes the filtered path, waits for the writes in progress, takes a last look at the
// file (lines written into a file deleted since the last look are written again), and tells how
// many lines were lost, if any.
void at_exit() {
    detail::lifecycle.fetch_or(detail::lifecycle_bits::exiting);
    // Writes in progress take microseconds; the bound only guards against a thread stuck in I/O.
    for (int waited_ms = 0; detail::writes_in_progress.load() > 0 && waited_ms < 2000; ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close_sinks(detail::installed_logger());
    detail::report_lost_total();
}

// Fork: the locks that are never held while writing are taken, so that the child finds the
// logger, the filters and the lifecycle whole; the sinks' locks, which a thread writing to a
// console nobody reads may hold for good, are not: the child renews them.
void before_fork() NO_THREAD_SAFETY_ANALYSIS {
    detail::step_fork_epoch();
    state.lifecycle.lock();
    detail::filter_mutex().lock();
    state.logger_mutex.lock();
}

void after_fork_in_parent() NO_THREAD_SAFETY_ANALYSIS {
    state.logger_mutex.unlock();
    detail::filter_mutex().unlock();
    state.lifecycle.unlock();
    detail::step_fork_epoch();
}

// The child has no thread but this one, and nothing the parent's other threads were doing
// survives: the writes they had in progress are not waited for.
void after_fork_in_child() NO_THREAD_SAFETY_ANALYSIS {
    detail::writes_in_progress.store(0);
    detail::renew_process_sinks_in_child();
    detail::step_fork_epoch();
    state.logger_mutex.unlock();
    detail::filter_mutex().unlock();
    state.lifecycle.unlock();
}

// Registered when the library is loaded, so that every child of a process that has loaded it
// (a multiprocessing forkserver, say) knows that it is one.
[[maybe_unused]] const bool fork_handlers_registered = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

}  // namespace

void init() {
    std::shared_ptr<spdlog::logger> logger;
    std::string directory;
    {
        const detail::MutexLock lock(state.lifecycle);
        if ((detail::lifecycle.load() & detail::lifecycle_bits::initialized) != 0) {
            return;
        }
        detail::lifecycle.fetch_or(detail::lifecycle_bits::initialized, std::memory_order_acq_rel);
        try {
            logger = create_logger(directory);
            detail::install_fatal_signal_handlers();
            static const bool exit_handler_registered = std::atexit(at_exit) == 0;
            static_cast<void>(exit_handler_registered);
        } catch (...) {
            // Leave the facade uninitialised so that a later init() tries again.
            uninstall_logger();
            spdlog::drop(logger_name);
            throw;
        }
    }
    // Outside the lock: the console may be slow to take it, and fork() must not wait meanwhile.
    logger->info("Logging to directory: {}", directory);
}

void shutdown() {
    std::shared_ptr<spdlog::logger> logger;
    {
        const detail::MutexLock lock(state.lifecycle);
        detail::lifecycle.fetch_or(detail::lifecycle_bits::shut_down, std::memory_order_release);
        detail::remove_fatal_signal_handlers();
        logger = uninstall_logger();
        shut_spdlog_down();
    }
    close_sinks(logger);
    detail::report_lost_total();
}

std::shared_ptr<spdlog::logger> core() {
    auto logger = detail::installed_logger();
    if (!logger) {
        throw std::runtime_error("logging::init() must be called before using logging::core()");
    }
    return logger;
}

std::shared_ptr<spdlog::logger> detail::installed_logger() {
    const MutexLock lock(state.logger_mutex);
    return state.logger;
}

}  // namespace logging
