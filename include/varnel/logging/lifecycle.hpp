#pragma once
// The one logger of the process: creation, lookup and teardown.
//
// What may run at the same time as what:
// - Logging (core()->log(), log_from_file(), VARNEL_LOG) from any number of threads, at any
//   time, also while another thread runs init(), shutdown() or the filter setters. A line is
//   formatted and written by each sink under that sink's own lock; nothing else is held while
//   writing. Python's bindings release the interpreter lock while a line is written, so a
//   blocked console or disk stops only the threads that log.
// - init(), shutdown(), write_lines_at_once() and the exit handler run one at a time (one lock).
//   shutdown() waits for a flush in progress; lines being written on other threads finish on the
//   logger they started on.
// - The flush thread writes out the file every 3 seconds; it never takes the interpreter lock
//   and never waits for the console.
// - fork(): the forking thread takes every lock of the facade first (so no other thread holds
//   one at the moment of the fork), writes out the pending file lines, and releases them on both
//   sides. The child keeps logging into the same files with descriptors of its own, writes each
//   line at once (it may end by _exit()), and never waits for the parent's threads. A blocked
//   console therefore also holds up fork() until it drains.
// - Several processes may log into the same folder: the file sink coordinates writing and
//   rotation between them with an advisory lock on the folder.
// - At exit, the filtered path closes and waits (at most 2 s) for the writes in progress; lines
//   logged later by native threads still reach the file, each written at once.

#include <memory>

#include <spdlog/logger.h>

namespace logging {

/// Creates ".tamblin/logs" under the working directory, a colour console sink on stdout and a
/// rotating "varnel.log" (5 MiB, 3 older files; the folder is fixed as an absolute path now, and
/// the file is never opened through a symbolic link) with the line pattern
/// "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v", installs the logger "core" as spdlog's default
/// logger, starts a 3-second flush thread and writes "Logging to directory: <absolute dir>".
/// Every record written through the logger starts a line: control characters of the message and
/// the source column (other than tab) are written as "\xNN", and a line break in a message is
/// followed by two spaces.
/// Restarts the elapsed-time origin. Does nothing while logging is already initialised.
/// Throws std::filesystem::filesystem_error or spdlog::spdlog_ex when the folder or file cannot be
/// made, or when "varnel.log" is a symbolic link; a failed call releases what it made, so a later
/// call tries again.
void init();

/// Stops the flush thread and drops every spdlog logger (the file is flushed as the last
/// reference goes). The filtered path (is_enabled_for, log_from_file) stays silent for the rest
/// of the process, even after another init(). Safe without a prior init() and when repeated.
void shutdown();

/// From now on, for the rest of the process, the log file gets each line as it is logged rather
/// than in batches (a warning, 16 KiB, or the 3-second flush). For a process that may end by
/// _exit(), which runs no exit handler and would lose the last batch: a forked child does this by
/// itself, and Python's initialize_logging() does it in multiprocessing's workers.
void write_lines_at_once();

/// The logger "core" (also registered with spdlog under that name), kept by the facade itself, so
/// that no call takes spdlog's registry lock, which fork() could not take.
/// Throws std::runtime_error "logging::init() must be called before using logging::core()"
/// before init() and after shutdown().
std::shared_ptr<spdlog::logger> core();

}  // namespace logging
