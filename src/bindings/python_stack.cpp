#include "bindings/python_stack.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string_view>

#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include "logging/fatal_stacks.hpp"

// What faulthandler writes a thread's stack with: exported by CPython 3.12 and declared in its
// internal headers (which want Py_BUILD_CORE). It allocates nothing, takes no lock and writes to a
// descriptor with write(2): safe in a signal handler.
extern "C" void _Py_DumpTraceback(int fd, PyThreadState* tstate);  // NOLINT(bugprone-reserved-identifier)

namespace varnel::bindings {
namespace {

constexpr std::string_view heading = "Python stack (most recent call first):\n";
constexpr std::string_view cut_mark = "  ...\n";
// More than the longest stack CPython writes (100 frames, names cut at 500 characters) takes.
constexpr int pipe_size = 128 * 1024;

// Reads `fd` to its end or until [out, out + capacity) is full; the size read.
std::size_t read_into(int fd, char* out, std::size_t capacity) noexcept {
    std::size_t size = 0;
    while (size < capacity) {
        const ssize_t got = ::read(fd, out + size, capacity - size);
        if (got > 0) {
            size += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    return size;
}

// The stack of the calling thread when it holds the interpreter lock: then its frames are whole
// and stay as they are while it is in the handler. (A thread that released the lock may be one
// whose thread state the interpreter has freed at exit.)
std::size_t write_python_stack(char* out, std::size_t capacity) noexcept {
    PyThreadState* const thread = _PyThreadState_UncheckedGet();  // attached to this thread: holds the lock
    if (thread == nullptr || capacity < heading.size() + cut_mark.size()) {
        return 0;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return 0;
    }
    ::fcntl(ends[1], F_SETPIPE_SZ, pipe_size);  // refused: a long stack is cut short
    _Py_DumpTraceback(ends[1], thread);
    ::close(ends[1]);
    char* const frames = out + heading.copy(out, heading.size());
    const std::size_t room = capacity - heading.size() - cut_mark.size();
    std::size_t size = read_into(ends[0], frames, room);
    char extra = 0;
    const bool cut = size == room && ::read(ends[0], &extra, 1) == 1;
    ::close(ends[0]);
    // faulthandler's own heading, "Stack (most recent call first):", gives way to the one above.
    const std::string_view written(frames, size);
    const std::size_t first_line = std::min(written.find('\n') + 1, size);
    size = static_cast<std::size_t>(std::copy(frames + first_line, frames + size, frames) - frames);
    if (cut) {
        size = std::string_view(frames, size).rfind('\n') + 1;  // whole lines only (npos + 1: none)
        size += cut_mark.copy(frames + size, cut_mark.size());
    }
    return heading.size() + size;
}

}  // namespace

void register_python_stack_writer() noexcept { logging::detail::set_interpreter_stack_writer(write_python_stack); }

}  // namespace varnel::bindings
