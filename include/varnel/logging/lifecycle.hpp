#pragma once
// The one logger of the process: creation, lookup and teardown.

#include <memory>

#include <spdlog/logger.h>

namespace logging {

/// Creates ".tamblin/logs" under the working directory, a colour console sink on stdout and a
/// rotating "varnel.log" (5 MiB, 3 older files) with the line pattern
/// "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v", installs the logger "core" as spdlog's default
/// logger, starts a 3-second flush thread and writes "Logging to directory: <absolute dir>".
/// Restarts the elapsed-time origin. Does nothing while logging is already initialised.
/// Throws std::filesystem::filesystem_error or spdlog::spdlog_ex when the folder or file cannot be
/// made; a failed call releases what it made, so a later call tries again.
void init();

/// Stops the flush thread and drops every spdlog logger (the file is flushed as the last
/// reference goes). The filtered path (is_enabled_for, log_from_file) stays silent for the rest
/// of the process, even after another init(). Safe without a prior init() and when repeated.
void shutdown();

/// The logger "core", shared with the registry.
/// Throws std::runtime_error "logging::init() must be called before using logging::core()"
/// when it is not registered (before init() and after shutdown()).
std::shared_ptr<spdlog::logger> core();

}  // namespace logging
