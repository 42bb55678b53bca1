#include "exec_level.h"

#include <string>

#include "detail.h"
#include "nVOKAL.h"

namespace kal::exec {

namespace {
thread_local Level tLevel = Level::thread;
thread_local int tSpinLocks = 0;
} // namespace

Level current() { return tLevel; }

Level exchange(Level level) {
    const Level previous = tLevel;
    tLevel = level;
    return previous;
}

LevelScope::LevelScope(Level level) : previous_(tLevel) { tLevel = level; }
LevelScope::~LevelScope() { tLevel = previous_; }

void spinLockTaken() { ++tSpinLocks; }
void spinLockReleased() { --tSpinLocks; }
int spinLocksHeld() { return tSpinLocks; }

bool inAtomicContext() { return tLevel != Level::thread || tSpinLocks > 0; }

const char* name(Level level) {
    switch (level) {
    case Level::thread:
        return "thread";
    case Level::dpc:
        return "DPC";
    case Level::interrupt:
        return "interrupt";
    }
    return "unknown";
}

void assertMayBlock(const char* what) {
    if (inAtomicContext()) {
        std::string message = std::string(what) + " may block but was called at " + name(tLevel) +
                              " level holding " + std::to_string(tSpinLocks) + " spin lock(s)";
        KAL_FAIL(message);
    }
}

} // namespace kal::exec
