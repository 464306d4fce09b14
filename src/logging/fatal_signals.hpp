#pragma once
// A last record when a signal ends the process, or is handed to the application's handler.
//
// init() installs a handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, and for SIGTERM and
// SIGHUP while nothing else handles them (their disposition is the default); a signal that is
// ignored stays ignored. The handler writes one record to every sink, at critical (at warning for
// SIGTERM and SIGHUP, a requested stop), then hands the signal on to where it would have gone:
// - to the default action: "ended by signal SIGSEGV (Segmentation fault)". The default action is
//   put back and the signal taken again (a fault by running the instruction again, a signal sent
//   by sending it again with its siginfo), so the process ends with the same status and core dump;
// - to a handler installed before this one: "signal SIGSEGV (Segmentation fault), handed to the
//   application's handler", true whether that handler ends the process or not. It is called
//   directly, with the original siginfo and context and the signal mask its delivery would set; if
//   it returns, this handler stays in place for the next signal.
// A fault's record carries, as continuation lines, the interpreter's stack of the thread it struck
// and the native frames (fatal_stacks.hpp).
//
// One thread writes a record at a time. Another thread that meets a fatal signal meanwhile waits
// (5 s at most) until that record is out and its signal handed on: when that ends the process,
// the waiting thread ends with it, so the process has exactly one record. A fault inside the
// handler itself writes what is laid out of the record, then takes its default action.
//
// A handler installed later replaces this one, as usual; shutdown() removes it.
//
// The handler allocates nothing and calls only what is safe in a signal handler: gettid, getpid,
// tgkill, clock_gettime, nanosleep, sigaction, pthread_sigmask, rt_tgsigqueueinfo and raise; for
// the sinks open, mkdir, fstat, poll, write and close; for the native frames backtrace (its
// unwinder loaded at install) and dladdr, which may wait for the dynamic linker's lock; for the
// Python stack pipe2, fcntl, read and CPython's _Py_DumpTraceback, faulthandler's own.

namespace logging::detail {

/// Installs the handlers (those not installed already), and gives the calling thread an
/// alternate signal stack. Under the lifecycle lock.
void install_fatal_signal_handlers() noexcept;

/// Puts back, for each signal whose handler is still this one, the handler it replaced.
void remove_fatal_signal_handlers() noexcept;

/// The local time's offset from UTC, in seconds east, which a signal handler cannot ask for:
/// learnt at install, and told again at every second a line is written in (it changes with
/// daylight saving time).
void note_utc_offset(long seconds_east) noexcept;

}  // namespace logging::detail
