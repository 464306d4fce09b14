#include "logging/signal_stack.hpp"

#include <algorithm>
#include <csignal>
#include <cstddef>

#include <sys/mman.h>
#include <unistd.h>

namespace logging::detail {
namespace {

// Room for the kernel's signal frame (large on processors with wide vector registers: the system
// says how large) and for the handler: it unwinds the native stack, writes the record and may
// call an earlier application handler.
constexpr std::size_t handler_room = std::size_t{64} * 1024;

std::size_t page_size() noexcept { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

// One thread's alternate stack, with a page below it that faults, so that a handler overflowing
// it is stopped there instead of writing over other memory.
class SignalStack {
public:
    SignalStack() noexcept = default;
    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;
    SignalStack(SignalStack&&) = delete;
    SignalStack& operator=(SignalStack&&) = delete;

    /// Makes the stack and makes it the calling thread's alternate stack.
    void give() noexcept {
        const std::size_t page = page_size();
        const long system_size = ::sysconf(_SC_SIGSTKSZ);
        const std::size_t wanted = handler_room + static_cast<std::size_t>(std::max(system_size, 0L));
        size_ = (wanted + page - 1) / page * page + page;
        void* memory = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED) {
            return;
        }
        stack_t stack{};
        stack.ss_sp = static_cast<char*>(memory) + page;
        stack.ss_size = size_ - page;
        if (::mprotect(memory, page, PROT_NONE) != 0 || ::sigaltstack(&stack, nullptr) != 0) {
            ::munmap(memory, size_);
            return;
        }
        memory_ = memory;
    }

    /// At the end of the thread: the stack is no longer its alternate stack (unless something
    /// replaced it meanwhile), and is freed.
    ~SignalStack() {
        if (memory_ == nullptr) {
            return;
        }
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(memory_) + page_size()) {
            if ((current.ss_flags & SS_ONSTACK) != 0) {
                return;  // a handler is running on it: left as it is
            }
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
        ::munmap(memory_, size_);
    }

private:
    void* memory_ = nullptr;  // the guard page, then the stack
    std::size_t size_ = 0;
};

}  // namespace

void give_signal_stack() noexcept {
    signal_stack_given = true;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) {
        return;  // the thread has one of its own
    }
    thread_local SignalStack stack;  // destroyed when the thread ends
    stack.give();
}

}  // namespace logging::detail
