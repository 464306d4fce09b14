#pragma once
// A last record when the process is ended by a signal.
//
// init() installs a handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, and for SIGTERM and
// SIGHUP while nothing else handles them (their disposition is the default). It writes one
// critical record, "ended by signal SIGSEGV (Segmentation fault)", to every sink, puts back the
// handler it replaced and raises the signal again, so the process ends as it would have: the
// same exit status, a core dump, Python's faulthandler report, and any handler installed before
// this one (which it hands the signal on to). A handler installed later replaces this one, as
// usual; shutdown() removes it.

namespace logging::detail {

/// Installs the handlers (those not installed already). Under the lifecycle lock.
void install_fatal_signal_handlers() noexcept;

/// Puts back, for each signal whose handler is still this one, the handler it replaced.
void remove_fatal_signal_handlers() noexcept;

/// The local time's offset from UTC, in seconds east, which a signal handler cannot ask for:
/// learnt at install, and told again at every second a line is written in (it changes with
/// daylight saving time).
void note_utc_offset(long seconds_east) noexcept;

}  // namespace logging::detail
