// Fault-safe user access (user_access.h): the assembly routines, their
// fix-up and the fault handler.
#include "standin/user_access.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "standin/control.h"
#include "standin/detail.h"

#if !defined(__x86_64__)
#error "the stand-in's user access is written for x86-64"
#endif

// The routines take their arguments as the C calling convention passes them
// and return 0, or 1 when the fix-up ran. They touch no stack and no register
// that a caller keeps, so resuming at the fix-up needs nothing undone. Every
// instruction from kal_user_access_begin to kal_user_access_end may fault;
// the fix-up lies after them. They are not instrumented: a sanitizer sees
// neither side of their accesses.
asm(R"(
    .text
    .p2align 4
    .globl kal_user_access_begin
    .hidden kal_user_access_begin
kal_user_access_begin:

    .globl kal_user_copy
    .hidden kal_user_copy
    .type kal_user_copy, @function
kal_user_copy:
    .cfi_startproc
    movq %rdx, %rcx
    cmpq $64, %rcx
    jae 3f
    cmpq $8, %rcx
    jb 5f
    # 8 to 63 bytes: words, the last one (which may overlap the one before)
    # read first and written last. The two sides never overlap.
    movq -8(%rsi,%rcx), %r8
    leaq -8(%rdi,%rcx), %rdx
1:  movq (%rsi), %rax
    movq %rax, (%rdi)
    addq $8, %rsi
    addq $8, %rdi
    subq $8, %rcx
    cmpq $8, %rcx
    jae 1b
    movq %r8, (%rdx)
    jmp 4f
5:  cmpq $4, %rcx
    jb 2f
    # 4 to 7 bytes: the first and the last four.
    movl (%rsi), %eax
    movl -4(%rsi,%rcx), %r8d
    movl %eax, (%rdi)
    movl %r8d, -4(%rdi,%rcx)
    jmp 4f
2:  testq %rcx, %rcx
    jz 4f
    movb (%rsi), %al
    movb %al, (%rdi)
    incq %rsi
    incq %rdi
    decq %rcx
    jmp 2b
3:  rep movsb
4:  xorl %eax, %eax
    ret
    .cfi_endproc
    .size kal_user_copy, .-kal_user_copy

    .globl kal_user_probe_read
    .hidden kal_user_probe_read
    .type kal_user_probe_read, @function
kal_user_probe_read:
    .cfi_startproc
    movb (%rdi), %al
    xorl %eax, %eax
    ret
    .cfi_endproc
    .size kal_user_probe_read, .-kal_user_probe_read

    .globl kal_user_probe_write
    .hidden kal_user_probe_write
    .type kal_user_probe_write, @function
kal_user_probe_write:
    .cfi_startproc
    lock orb $0, (%rdi)
    xorl %eax, %eax
    ret
    .cfi_endproc
    .size kal_user_probe_write, .-kal_user_probe_write

    .globl kal_user_access_end
    .hidden kal_user_access_end
kal_user_access_end:

    .globl kal_user_access_fixup
    .hidden kal_user_access_fixup
    .type kal_user_access_fixup, @function
kal_user_access_fixup:
    .cfi_startproc
    movl $1, %eax
    ret
    .cfi_endproc
    .size kal_user_access_fixup, .-kal_user_access_fixup
)");

extern "C" {
__attribute__((visibility("hidden"))) extern const char kal_user_access_begin[];
__attribute__((visibility("hidden"))) extern const char kal_user_access_end[];
__attribute__((visibility("hidden"))) extern const char kal_user_access_fixup[];
}

namespace kal::useraccess {
__thread std::uintptr_t tWindowStart __attribute__((tls_model("initial-exec"))) = 0;
__thread std::uintptr_t tWindowEnd __attribute__((tls_model("initial-exec"))) = 0;
} // namespace kal::useraccess

namespace {

using kal::useraccess::tWindowEnd;
using kal::useraccess::tWindowStart;

std::atomic<std::uint64_t> gRecovered{0};

// What SIGSEGV and SIGBUS did before; written once, before any thread starts.
struct sigaction gPrevious[2];

struct sigaction& previousFor(int signal) {
    return gPrevious[signal == SIGSEGV ? 0 : 1];
}

// A report for a fault that nobody else reports (async-signal-safe).
void report(int signal, std::uintptr_t address, std::uintptr_t instruction) {
    char text[160];
    std::size_t length = 0;
    auto put = [&](const char* part) {
        while (*part != '\0' && length < sizeof(text)) {
            text[length++] = *part++;
        }
    };
    auto hex = [&](std::uintptr_t value) {
        put("0x");
        for (int shift = 60; shift >= 0; shift -= 4) {
            if (length < sizeof(text)) {
                text[length++] = "0123456789abcdef"[(value >> shift) & 0xF];
            }
        }
    };
    put(signal == SIGSEGV ? "stand-in: SIGSEGV" : "stand-in: SIGBUS");
    put(" at address ");
    hex(address);
    put(", instruction ");
    hex(instruction);
    put("\n");
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, length);
}

// Hands a fault that is not a user access's on to what was there before.
void chain(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = previousFor(signal);
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: the faulting instruction runs again and ends the process.
    const auto* uc = static_cast<const ucontext_t*>(context);
    report(signal, reinterpret_cast<std::uintptr_t>(info->si_addr),
           static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]));
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    if (info->si_code <= 0) {
        raise(signal); // sent, not a fault: it comes back once this handler returns
    }
}

void onFault(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    auto* uc = static_cast<ucontext_t*>(context);
    const auto instruction = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (instruction >= reinterpret_cast<std::uintptr_t>(kal_user_access_begin) &&
        instruction < reinterpret_cast<std::uintptr_t>(kal_user_access_end) && address >= tWindowStart &&
        address < tWindowEnd) {
        uc->uc_mcontext.gregs[REG_RIP] =
            static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(kal_user_access_fixup));
        gRecovered.fetch_add(1, std::memory_order_relaxed);
    } else {
        chain(signal, info, context);
    }
    errno = savedErrno;
}

bool install() {
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS}) {
        if (sigaction(signal, &action, &previousFor(signal)) != 0) {
            KAL_FAIL(std::string("cannot install the user-access fault handler: ") + std::strerror(errno));
        }
    }
    return true;
}

// At load, before main and any thread of the program.
[[maybe_unused]] const bool gInstalled = install();

} // namespace

namespace kal::usermem {

std::uint64_t recoveredFaults() {
    return gRecovered.load(std::memory_order_relaxed);
}

} // namespace kal::usermem
