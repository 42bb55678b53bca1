// Execution levels of the stand-in: thread, DPC and interrupt level, and the
// spin locks a thread holds. Code at DPC or interrupt level, or holding a spin
// lock, must not sleep or block; the blocking operations check it.
#pragma once

namespace kal::exec {

enum class Level { thread = 0, dpc = 1, interrupt = 2 };

// The calling thread's level.
Level current();
// Sets the calling thread's level and returns the previous one (spin locks).
Level exchange(Level level);
// Runs the scope at a raised level (used by the DPC and interrupt dispatch).
class LevelScope {
public:
    explicit LevelScope(Level level);
    ~LevelScope();
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;

private:
    Level previous_;
};

// Spin-lock bookkeeping of the calling thread.
void spinLockTaken();
void spinLockReleased();
int spinLocksHeld();

// True at DPC or interrupt level or while a spin lock is held.
bool inAtomicContext();

// Halts (as a driver fault) when the caller may not block; what names the operation.
void assertMayBlock(const char* what);

// The level's name ("thread", "DPC", "interrupt").
const char* name(Level level);

} // namespace kal::exec
