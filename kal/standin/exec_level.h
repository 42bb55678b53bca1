// Execution levels of the stand-in: thread, DPC and interrupt level, and the
// spin locks a thread holds. Code at DPC or interrupt level, or holding a spin
// lock, must not sleep or block; the blocking operations check it.
#pragma once

namespace kal::exec {

enum class Level { thread = 0, dpc = 1, interrupt = 2 };

namespace state {
// The calling thread's level and the spin locks it holds (exec_level.cpp).
extern __thread Level tLevel __attribute__((tls_model("initial-exec")));
extern __thread int tSpinLocks __attribute__((tls_model("initial-exec")));
[[noreturn]] void failMayBlock(const char* what);
} // namespace state

// The calling thread's level.
inline Level current() {
    return state::tLevel;
}
// Sets the calling thread's level and returns the previous one (spin locks).
inline Level exchange(Level level) {
    const Level previous = state::tLevel;
    state::tLevel = level;
    return previous;
}
// Runs the scope at a raised level (used by the DPC and interrupt dispatch).
class LevelScope {
public:
    explicit LevelScope(Level level) : previous_(exchange(level)) {}
    ~LevelScope() { state::tLevel = previous_; }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;

private:
    Level previous_;
};

// Spin-lock bookkeeping of the calling thread.
inline void spinLockTaken() {
    ++state::tSpinLocks;
}
inline void spinLockReleased() {
    --state::tSpinLocks;
}
inline int spinLocksHeld() {
    return state::tSpinLocks;
}

// True at DPC or interrupt level or while a spin lock is held.
inline bool inAtomicContext() {
    return state::tLevel != Level::thread || state::tSpinLocks > 0;
}

// Halts (as a driver fault) when the caller may not block; what names the operation.
inline void assertMayBlock(const char* what) {
    if (inAtomicContext()) [[unlikely]] {
        state::failMayBlock(what);
    }
}

// The level's name ("thread", "DPC", "interrupt").
const char* name(Level level);

} // namespace kal::exec
