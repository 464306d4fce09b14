#pragma once
// The one logger of the process: creation, lookup and teardown.
//
// Every line is in the kernel when its log call returns (one write(2) per sink, the file opened
// for appending), so no death of the process short of a kernel crash loses it; a fatal signal
// leaves a last record naming it.
//
// What may run at the same time as what:
// - Logging (core()->log(), log_from_file(), VARNEL_LOG, and spdlog::info() and its kin) from
//   any number of threads, at any time, also while another thread runs init(), shutdown() or the
//   filter setters. A line is formatted and written by each sink (the file first, then the
//   console) under that sink's own lock; nothing else is held while writing. No call sleeps or
//   waits on another process, and a console nobody reads is waited for 20 ms at most, then not
//   at all until it reads again.
// - init() and shutdown() run one at a time (one lock), which is never held while writing.
//   Lines being written on other threads finish on the logger they started on.
// - fork() waits for no log call: it takes only the locks that are never held while writing.
//   The child renews the sinks' locks (a parent thread may have held one, on a console nobody
//   reads), keeps logging into the same files, and never waits for the parent's threads.
// - Several processes may log into the same folder: whole lines are appended without any lock
//   between them, and an advisory lock on the folder, only ever tried, coordinates rotation.
// - At exit, the filtered path closes and waits (at most 2 s) for the writes in progress; lines
//   logged later by native threads still reach the file.

#include <memory>

#include <spdlog/logger.h>

namespace logging {

/// Creates ".tamblin/logs" under the working directory, a rotating "varnel.log" (5 MiB, 3 older
/// files; the folder is fixed as an absolute path now, and the file is never opened through a
/// symbolic link) and a colour console sink on stdout, in that order, with the line pattern
/// "%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v", installs the logger "core" as spdlog's default
/// logger and writes "Logging to directory: <absolute dir>". Installs the handlers that write one
/// last record, with the stacks of the thread a fault struck, when a fatal signal ends the process
/// or reaches a handler installed earlier (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT at critical,
/// and SIGTERM and SIGHUP, while their disposition is the default, at warning); each hands the
/// signal on to where it would have gone. The calling thread, and every thread at the first line
/// it writes, gets an alternate signal stack, so that an overflow leaves its record too.
/// Every record written through the logger starts a line: control characters of the message and
/// the source column (other than tab) are written as "\xNN", and a line break in a message is
/// followed by two spaces.
/// Restarts the elapsed-time origin. Does nothing while logging is already initialised.
/// Throws std::filesystem::filesystem_error or spdlog::spdlog_ex when the folder or file cannot be
/// made, or when "varnel.log" is a symbolic link; a failed call releases what it made, so a later
/// call tries again.
void init();

/// Removes the fatal-signal handlers (where they are still in place) and drops every spdlog
/// logger; spdlog's default logger becomes one that writes nothing (never null, and the one it
/// replaces is never destroyed, so a native peer's spdlog::info() racing this call is safe). Then,
/// holding no lock that fork() takes, closes the file after a last look at it (lines written into
/// a file deleted since the last look are written again). Reports on standard error how many
/// lines could not be written, if any. The filtered path (is_enabled_for, log_from_file) stays
/// silent for the rest of the process, even after another init(). Safe without a prior init()
/// and when repeated.
void shutdown();

/// Every line reaches the file when its call returns; nothing is held back any more.
[[deprecated("every line is written when its call returns")]] inline void write_lines_at_once() noexcept {}

/// The logger "core" (also registered with spdlog under that name), kept by the facade itself, so
/// that no call takes spdlog's registry lock, which fork() could not take.
/// Throws std::runtime_error "logging::init() must be called before using logging::core()"
/// before init() and after shutdown().
std::shared_ptr<spdlog::logger> core();

}  // namespace logging
