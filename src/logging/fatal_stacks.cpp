#include "logging/fatal_stacks.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

#include <dlfcn.h>
#include <execinfo.h>
#include <ucontext.h>

#include "logging/record_text.hpp"

namespace logging::detail {
namespace {

// The native frames written at most, and the handler's own frames above them, skipped.
constexpr int max_native_frames = 48;
constexpr int max_handler_frames = 16;

std::atomic<InterpreterStackWriter> interpreter_stack_writer{nullptr};

// The hook's text. Only the thread that writes the fatal record uses it.
std::array<char, std::size_t{8} * 1024> interpreter_stack;

using FrameLine = FixedText<511>;

// An address, or an offset from one, written in hexadecimal after "0x".
struct Hex {
    std::uintptr_t value;
};

Hex hex(const void* address) { return {reinterpret_cast<std::uintptr_t>(address)}; }

Hex offset(const void* address, const void* base) { return {hex(address).value - hex(base).value}; }

FrameLine& operator<<(FrameLine& line, Hex number) {
    constexpr std::string_view digit = "0123456789abcdef";
    std::array<char, 2 * sizeof number.value> digits{};
    auto* at = digits.end();
    do {
        *--at = digit[number.value & 0xfU];
        number.value >>= 4U;
    } while (number.value != 0);
    return line << "0x" << std::string_view(at, static_cast<std::size_t>(digits.end() - at));
}

// The address of the instruction the signal interrupted: where the thread's own frames start.
std::uintptr_t interrupted_instruction(const void* context) {
    const auto* user_context = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(user_context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(user_context->uc_mcontext.pc);
#else
    static_cast<void>(user_context);
    return 0;
#endif
}

// "#3 0x7f... PyObject_Call+0x52 (/usr/lib/libpython3.12.so.1.0+0x1a2b3c)": the address, the symbol
// it lies in ("??" where the dynamic linker knows none), and the file with the offset in it that
// addr2line takes.
FrameLine frame_line(int index, const void* address) {
    FrameLine line;
    line << "#" << static_cast<std::uint64_t>(index) << " " << hex(address);
    Dl_info where{};
    if (::dladdr(address, &where) == 0) {
        return line;
    }
    if (where.dli_sname != nullptr && where.dli_saddr != nullptr) {
        line << " " << where.dli_sname << "+" << offset(address, where.dli_saddr);
    } else {
        line << " ??";
    }
    if (where.dli_fname != nullptr) {
        line << " (" << where.dli_fname << "+" << offset(address, where.dli_fbase) << ")";
    }
    return line;
}

void add_native_stack(FatalRecordText& record, const void* context) {
    std::array<void*, max_handler_frames + max_native_frames + 1> frames{};
    void** const end = frames.begin() + ::backtrace(frames.data(), static_cast<int>(frames.size()));
    // The walk starts in this handler; the thread's own frames, at the instruction interrupted.
    void** const handler_end = std::min(end, frames.begin() + max_handler_frames);
    const std::uintptr_t interrupted = interrupted_instruction(context);
    void** first = std::find_if(frames.begin(), handler_end,
                                [interrupted](const void* frame) { return hex(frame).value == interrupted; });
    first = first == handler_end ? frames.begin() : first;
    record.add_line("  ", "Native stack (most recent call first):");
    int index = 0;
    for (void** frame = first; frame != end && index < max_native_frames; ++frame, ++index) {
        record.add_line("    ", frame_line(index, *frame).view());
    }
    if (end - first > max_native_frames) {
        record.add_line("    ", "...");
    }
}

}  // namespace

void set_interpreter_stack_writer(InterpreterStackWriter writer) noexcept {
    interpreter_stack_writer.store(writer, std::memory_order_release);
}

void prepare_stack_walks() noexcept {
    std::array<void*, 1> frame{};
    ::backtrace(frame.data(), static_cast<int>(frame.size()));
}

void add_stacks(FatalRecordText& record, const void* context) noexcept {
    if (const InterpreterStackWriter writer = interpreter_stack_writer.load(std::memory_order_acquire)) {
        const std::size_t size = writer(interpreter_stack.data(), interpreter_stack.size());
        record.add_lines("  ", {interpreter_stack.data(), std::min(size, interpreter_stack.size())});
    }
    add_native_stack(record, context);
}

}  // namespace logging::detail
