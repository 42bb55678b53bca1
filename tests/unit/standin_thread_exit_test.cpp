// Kernel-layer calls made while a thread exits, after its thread-locals are
// destroyed (as the main thread's static destructors and atexit handlers
// run): the thread still has a record of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "nVOKAL.h"

namespace {

struct Seen {
    nVOKAL_tHandle handle = nullptr;
    std::uint64_t id = 0;
    std::uint64_t idAgain = 0;
};

// Destroyed after the stand-in's record of the thread (made before it).
struct LateCaller {
    Seen* seen;
    ~LateCaller() {
        seen->handle = nVOKAL100_getThreadHandle();
        seen->id = nVOKAL100_getThreadID();
        seen->idAgain = nVOKAL100_getThreadID();
    }
};

TEST(StandinThreadExit, CallsAfterTheThreadLocalsAreGoneAnswerFromARecordOfTheirOwn) {
    Seen early;
    Seen late;
    std::thread([&] {
        thread_local LateCaller caller{&late};
        early.id = nVOKAL100_getThreadID();
        early.handle = nVOKAL100_getThreadHandle();
    }).join();
    ASSERT_NE(early.id, 0u);
    EXPECT_NE(late.handle, nullptr);
    EXPECT_NE(late.id, 0u);
    EXPECT_EQ(late.idAgain, late.id);
}

} // namespace
