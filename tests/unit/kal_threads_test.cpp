// The stand-in's single-use events, spin-lock levels and misuse halts
// (locks, waits, bad frees and writes past a block).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"
#include "test_support.h"

namespace {

class KalThreads : public kelvo_test::LeakCheckedTest {};
using KalThreadsDeathTest = KalThreads;

TEST_F(KalThreads, SpinLocksRaiseTheLevelAndPutItBack) {
    nVOKAL_tHandle a = nVOKAL100_createSpinLock();
    nVOKAL_tHandle b = nVOKAL100_createSpinLock();
    const uint64_t outer = nVOKAL110_acquireSpinLockInterrupt(a);
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::interrupt);
    const uint64_t inner = nVOKAL110_acquireSpinLockInterrupt(b);
    EXPECT_NE(inner, outer) << "the saved state is the level the caller ran at";
    EXPECT_EQ(kal::exec::spinLocksHeld(), 2);
    nVOKAL110_releaseSpinLockInterrupt(b, inner);
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::interrupt);
    nVOKAL110_releaseSpinLockInterrupt(a, outer);
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::thread);
    EXPECT_FALSE(kal::exec::inAtomicContext());

    const uint64_t allocationsBefore = kal::memory::atomicAllocations();
    nVOKAL100_acquireSpinLockDPC(a);
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::dpc);
    nVOKAL100_free(nVOKAL100_malloc(8)); // allowed, but counted
    nVOKAL100_releaseSpinLockDPC(a);
    EXPECT_EQ(kal::memory::atomicAllocations(), allocationsBefore + 1);
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::thread);
    nVOKAL100_destroySpinLock(a);
    nVOKAL100_destroySpinLock(b);
}

struct TimedWait {
    alignas(16) unsigned char event[64];
    std::atomic<int> handlerCalls{0};
    std::atomic<bool> handlerAtDpc{false};
    std::atomic<bool> returned{false};
    bool releaseInHandler = true;
};

void onTimeout(void* argument) {
    auto* wait = static_cast<TimedWait*>(argument);
    wait->handlerAtDpc.store(kal::exec::current() == kal::exec::Level::dpc);
    wait->handlerCalls.fetch_add(1);
    if (wait->releaseInHandler) {
        nVOKAL100_releaseSingleUseEvent(wait->event);
    }
}

TEST_F(KalThreads, TimedWaitCallsItsHandlerAtDpcLevelAndReturnsOnlyAfterTheRelease) {
    kal::clock::ScopedScale fast(1000);
    ASSERT_LE(nVOKAL100_getSingleUseEventSize(), 64u);
    TimedWait wait;
    wait.releaseInHandler = false; // someone else releases: the wait must hold on until then
    nVOKAL100_initializeSingleUseEvent(wait.event);
    const uint64_t waiterId = nVOKAL100_getThreadID();
    std::thread releaser([&] {
        while (wait.handlerCalls.load() == 0) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(kal::thread::waitUntilBlocked(waiterId));
        EXPECT_FALSE(wait.returned.load());
        nVOKAL100_releaseSingleUseEvent(wait.event);
    });
    const nVOKAL_tTimeoutHandler handler{onTimeout, &wait};
    const uint64_t before = nVOKAL1_getMonotonicCounter();
    EXPECT_EQ(nVOKAL100_waitForSingleUseEventTimeout(wait.event, 5000, &handler), 0);
    wait.returned.store(true);
    releaser.join();
    EXPECT_EQ(wait.handlerCalls.load(), 1);
    EXPECT_TRUE(wait.handlerAtDpc.load());
    EXPECT_GE(nVOKAL1_getMonotonicCounter() - before, 5000000000ull) << "the timeout is in milliseconds";
    EXPECT_EQ(kal::exec::current(), kal::exec::Level::thread);
}

TEST_F(KalThreads, AReleasedEventNeedsNoHandlerAndInterruptsEndOnlyInterruptibleWaits) {
    TimedWait wait;
    nVOKAL100_initializeSingleUseEvent(wait.event);
    nVOKAL100_releaseSingleUseEvent(wait.event);
    const nVOKAL_tTimeoutHandler handler{onTimeout, &wait};
    EXPECT_EQ(nVOKAL100_waitForSingleUseEventTimeoutInterruptible(wait.event, 1, &handler), 0);
    EXPECT_EQ(wait.handlerCalls.load(), 0);

    TimedWait other;
    nVOKAL100_initializeSingleUseEvent(other.event);
    const nVOKAL_tTimeoutHandler otherHandler{onTimeout, &other};
    ASSERT_TRUE(kal::thread::interrupt(nVOKAL100_getThreadID()));
    EXPECT_EQ(nVOKAL100_waitForSingleUseEventTimeoutInterruptible(other.event, 3600000, &otherHandler),
              NVOKAL_WAIT_INTERRUPTED);
    EXPECT_EQ(other.handlerCalls.load(), 0);
    ASSERT_TRUE(kal::thread::interrupt(nVOKAL100_getThreadID()));
    EXPECT_EQ(nVOKAL100_waitForSingleUseEventInterruptible(other.event), NVOKAL_WAIT_INTERRUPTED);
}

void holdSpinLockAndReturn(void* argument) {
    nVOKAL100_acquireSpinLockDPC(static_cast<nVOKAL_tHandle>(argument));
}

void createThreadFromDpc(void*) {
    kal::exec::LevelScope dpc(kal::exec::Level::dpc);
    nVOKAL_tHandle thread;
    nVOKAL250_createNamedThread(&thread, "y", createThreadFromDpc, nullptr);
}

TEST_F(KalThreadsDeathTest, MisusesHaltWithAClearMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            nVOKAL_tHandle lock = nVOKAL100_createSpinLock();
            nVOKAL_tHandle thread;
            nVOKAL250_createNamedThread(&thread, "leaky", holdSpinLockAndReturn, lock);
            nVOKAL200_joinThread(thread);
        },
        "kernel thread \"leaky\" returned at DPC level or holding a spin lock");
    EXPECT_DEATH(createThreadFromDpc(nullptr),
                 "nVOKAL250_createNamedThread may block but was called at DPC level");
    EXPECT_DEATH(
        {
            kal::exec::LevelScope dpc(kal::exec::Level::dpc);
            nVOKAL250_sleepTimeout(10);
        },
        "nVOKAL250_sleepTimeout may block");
    EXPECT_DEATH(
        {
            nVOKAL_tHandle lock = nVOKAL100_createSpinLock();
            nVOKAL100_acquireSpinLockDPC(lock);
            nVOKAL100_acquireSpinLockDPC(lock);
        },
        "already holds this spin lock");
    EXPECT_DEATH(
        {
            nVOKAL_tHandle lock = nVOKAL100_createSpinLock();
            nVOKAL_tHandle other = nVOKAL100_createSpinLock();
            nVOKAL110_acquireSpinLockInterrupt(lock);
            nVOKAL100_acquireSpinLockDPC(other);
        },
        "nVOKAL100_acquireSpinLockDPC called at interrupt level");
    EXPECT_DEATH(
        {
            alignas(16) unsigned char event[64];
            nVOKAL100_initializeSingleUseEvent(event);
            nVOKAL100_releaseSingleUseEvent(event);
            nVOKAL100_releaseSingleUseEvent(event);
        },
        "already released");
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
    // Without AddressSanitizer the guard bytes catch it at the free; with it,
    // the write lands in the block's poisoned rounding to whole granules.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* block = static_cast<char*>(nVOKAL100_malloc(100));
            block[100] = 0;
            nVOKAL100_free(block);
        },
        "block of 100 bytes was written past its end|heap-buffer-overflow|use-after-poison");
}

} // namespace
