// The kernel-layer stand-in's control surface: allocation counting and fault
// injection, the captured log and the halt on a bad free.
#include <cstdlib>

#include "nVOKAL.h"
#include "test_support.h"

namespace {

class StandIn : public kelvo_test::LeakCheckedTest {
protected:
    // Whether the next allocation succeeds (freed at once).
    static bool allocates() {
        void* block = nVOKAL100_malloc(8);
        nVOKAL100_free(block);
        return block != nullptr;
    }
};

TEST_F(StandIn, FailNthFailsExactlyThatCall) {
    const uint64_t calls = kal::memory::allocationCalls();
    kal::memory::failNth(3);
    EXPECT_TRUE(allocates());
    EXPECT_TRUE(allocates());
    EXPECT_FALSE(allocates());
    EXPECT_TRUE(allocates());
    EXPECT_EQ(kal::memory::allocationCalls(), calls + 4) << "failed calls count too";

    kal::memory::failNth(1);
    kal::memory::failNth(0); // disables
    EXPECT_TRUE(allocates());
}

TEST_F(StandIn, FailAfterFailsEveryLaterCallUntilCleared) {
    kal::memory::failAfter(2);
    EXPECT_TRUE(allocates());
    EXPECT_TRUE(allocates());
    EXPECT_FALSE(allocates());
    EXPECT_FALSE(allocates());
    kal::memory::clearFaults();
    EXPECT_TRUE(allocates());

    kal::memory::failAfter(0);
    EXPECT_FALSE(allocates());
    kal::memory::resetCounters();
    EXPECT_EQ(kal::memory::allocationCalls(), 0u);
    EXPECT_TRUE(allocates()) << "resetting the counters removes the faults";
}

TEST_F(StandIn, LiveCountFollowsMallocAndFree) {
    const size_t live = kal::memory::liveAllocations();
    void* a = nVOKAL100_malloc(0);
    void* b = nVOKAL100_malloc(100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    EXPECT_EQ(kal::memory::liveAllocations(), live + 2);
    nVOKAL100_free(a);
    nVOKAL100_free(b);
    nVOKAL100_free(nullptr);
    EXPECT_EQ(kal::memory::liveAllocations(), live);
}

TEST_F(StandIn, LiveCountsFollowEachKindOfLock) {
    const struct {
        nVOKAL_tHandle (*create)();
        void (*destroy)(nVOKAL_tHandle);
        std::size_t (*live)();
    } kinds[] = {
        {nVOKAL150_createMutex, nVOKAL150_destroyMutex, kal::live::mutexes},
        {nVOKAL100_createSpinLock, nVOKAL100_destroySpinLock, kal::live::spinLocks},
    };
    for (const auto& kind : kinds) {
        const std::size_t before = kind.live();
        nVOKAL_tHandle handle = kind.create();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(kind.live(), before + 1);
        kind.destroy(handle);
        EXPECT_EQ(kind.live(), before);
    }
}

TEST_F(StandIn, LogCapturesPrintsUntilCleared) {
    nVOKAL100_printToDebugger("one ");
    nVOKAL100_printToDebugger(nullptr);
    nVOKAL100_printToDebugger("two");
    EXPECT_EQ(kal::log::text(), "one two");
    kal::log::clear();
    EXPECT_EQ(kal::log::text(), "");
}

TEST(StandInDeath, FreeingABlockThatIsNotAllocatedHalts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* block = nVOKAL100_malloc(8);
            nVOKAL100_free(block);
            nVOKAL100_free(block); // twice
        },
        "nVOKAL250_halt: \\[kal\\|.*\\] nVOKAL100_free of a block that is not allocated");
    EXPECT_DEATH(
        {
            void* foreign = std::malloc(8);
            nVOKAL100_free(foreign);
        },
        "nVOKAL100_free of a block that is not allocated");
}

TEST(StandInDeath, AWritePastABlockHaltsWhenItIsFreed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* block = static_cast<char*>(nVOKAL100_malloc(100));
            block[100] = 0;
            nVOKAL100_free(block);
        },
        "block of 100 bytes was written past its end|heap-buffer-overflow");
}

} // namespace
