// Steps a call one instruction at a time (the trap flag) and runs a hook the first time a condition holds:
// another thread's action lands between two instructions of the call, where no lock, access or copy lies.
// x86-64 only, and not under ThreadSanitizer (its runtime takes the trap as a signal of its own).
#pragma once

#include <functional>

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define KELVO_TEST_STEPS_INSTRUCTIONS 1

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

namespace kelvo_test {

constexpr bool kStepsInstructions = true;

class InstructionStepper {
public:
    // False when the condition never held within the step limit.
    static bool run(const std::function<void()>& call, const std::function<bool()>& when,
                    const std::function<void()>& hook) {
        struct sigaction action {};
        struct sigaction previous {};
        action.sa_sigaction = onTrap;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTRAP, &action, &previous);
        Stepping stepping{&when, &hook};
        current_ = &stepping;
        // Below the red zone: the flags are pushed on the stack.
        asm volatile("sub $128, %%rsp\n\tpushfq\n\torq $0x100, (%%rsp)\n\tpopfq\n\tadd $128, %%rsp" ::
                         : "memory", "cc");
        call();
        current_ = nullptr; // the next trap clears the flag
        asm volatile("nop");
        sigaction(SIGTRAP, &previous, nullptr);
        return stepping.hooked;
    }

private:
    static constexpr greg_t kTrapFlag = 0x100;
    static constexpr uint64_t kStepLimit = 10'000'000;
    struct Stepping {
        const std::function<bool()>* when;
        const std::function<void()>* hook;
        uint64_t steps = 0;
        bool hooked = false;
    };
    static void onTrap(int, siginfo_t*, void* context) {
        auto* registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
        Stepping* stepping = current_;
        if (stepping != nullptr && !(*stepping->when)() && ++stepping->steps < kStepLimit) {
            return;
        }
        registers[REG_EFL] &= ~kTrapFlag;
        current_ = nullptr;
        if (stepping != nullptr && stepping->steps < kStepLimit) {
            stepping->hooked = true;
            (*stepping->hook)();
        }
    }
    static inline thread_local Stepping* current_ = nullptr;
};

} // namespace kelvo_test

#else
namespace kelvo_test {
constexpr bool kStepsInstructions = false; // a test leaves out what needs the stepper
struct InstructionStepper {
    static bool run(const std::function<void()>&, const std::function<bool()>&,
                    const std::function<void()>&) {
        return false;
    }
};
} // namespace kelvo_test
#endif
