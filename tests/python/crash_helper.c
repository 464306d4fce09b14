/* Native crashes and earlier handlers for the tests of the fatal-signal record, loaded with ctypes. */

#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <unistd.h>

static void* expected_address;
static sigjmp_buf recovery;

/* Ends the process with 42 when the siginfo names the faulting address as the kernel gave it, 43
   otherwise: what a crash reporter that writes minidumps reads. */
static void exit_with_verdict(int number, siginfo_t* info, void* context) {
    (void)number;
    (void)context;
    _exit(info->si_addr == expected_address && info->si_code == SEGV_MAPERR ? 42 : 43);
}

/* Goes on after the fault, as a program that probes memory does. */
static void recover(int number, siginfo_t* info, void* context) {
    (void)number;
    (void)info;
    (void)context;
    siglongjmp(recovery, 1);
}

static int install(void (*handler)(int, siginfo_t*, void*)) {
    struct sigaction action = {0};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGSEGV, &action, NULL);
}

int install_verdict_handler(void) { return install(exit_with_verdict); }

int install_recovering_handler(void) { return install(recover); }

/* Writes to `address`: 1 when that faulted and the recovering handler brought it back here. */
int write_to(uintptr_t address) {
    expected_address = (void*)address;
    if (sigsetjmp(recovery, 1) != 0) {
        return 1;
    }
    *(volatile int*)address = 1;
    return 0;
}

/* Recurses until the thread's stack overflows. */
int overflow_stack(int depth) {
    volatile char frame[1024];
    frame[0] = (char)depth;
    return overflow_stack(depth + 1) + frame[0];
}
