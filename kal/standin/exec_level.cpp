#include "exec_level.h"

#include <string>

#include "nVOKAL.h"

namespace kal::exec {

namespace {
thread_local Level tLevel = Level::thread;
thread_local int tSpinLocks = 0;
} // namespace

Level current() { return tLevel; }

LevelScope::LevelScope(Level level) : previous_(tLevel) { tLevel = level; }
LevelScope::~LevelScope() { tLevel = previous_; }

void spinLockTaken() { ++tSpinLocks; }
void spinLockReleased() { --tSpinLocks; }
int spinLocksHeld() { return tSpinLocks; }

bool inAtomicContext() { return tLevel != Level::thread || tSpinLocks > 0; }

void assertMayBlock(const char* what) {
    if (inAtomicContext()) {
        std::string message = std::string(what) + " called at raised level or under a spin lock";
        nVOKAL250_halt("kal", __FILE__, __LINE__, message.c_str());
    }
}

} // namespace kal::exec
