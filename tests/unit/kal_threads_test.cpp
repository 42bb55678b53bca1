// The stand-in's kernel threads, single-use events, spin-lock levels and
// creation faults.
#include <atomic>
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

struct Seen {
    std::atomic<nVOKAL_tHandle> handle{nullptr};
    std::atomic<uint64_t> id{0};
    std::atomic<bool> go{false};
};

void recordSelf(void* argument) {
    auto* seen = static_cast<Seen*>(argument);
    seen->handle.store(nVOKAL100_getThreadHandle());
    seen->id.store(nVOKAL100_getThreadID());
    while (!seen->go.load()) {
        std::this_thread::yield();
    }
}

TEST_F(KalThreads, NamedThreadsCanBeFoundAndJoined) {
    const std::size_t unjoined = kal::thread::unjoinedThreads();
    Seen seen;
    nVOKAL_tHandle thread = nullptr;
    ASSERT_EQ(nVOKAL250_createNamedThread(&thread, "vokelvo_driver", recordSelf, &seen), 0);
    while (seen.id.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(seen.handle.load(), thread) << "the created handle is the thread's own handle";
    EXPECT_NE(seen.id.load(), nVOKAL100_getThreadID());
    EXPECT_NE(nVOKAL100_getThreadHandle(), thread);
    EXPECT_EQ(kal::thread::findByName("vokelvo_driver"), std::vector<uint64_t>{seen.id.load()});
    EXPECT_EQ(kal::thread::unjoinedThreads(), unjoined + 1);
    seen.go.store(true);
    EXPECT_EQ(nVOKAL200_joinThread(thread), 0);
    EXPECT_TRUE(kal::thread::findByName("vokelvo_driver").empty());
    EXPECT_EQ(kal::thread::unjoinedThreads(), unjoined);
}

TEST_F(KalThreads, CreationFaultsHitTheChosenCallOfTheirKindOnly) {
    kal::faults::failNth(kal::faults::kSpinLock, 2);
    nVOKAL_tHandle first = nVOKAL100_createSpinLock();
    nVOKAL_tHandle mutex = nVOKAL150_createMutex(); // another kind: not counted against spin locks
    nVOKAL_tHandle second = nVOKAL100_createSpinLock();
    nVOKAL_tHandle third = nVOKAL100_createSpinLock();
    EXPECT_NE(first, nullptr);
    EXPECT_NE(mutex, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    nVOKAL100_destroySpinLock(first);
    nVOKAL100_destroySpinLock(third);
    nVOKAL150_destroyMutex(mutex);

    kal::faults::failAfter(kal::faults::kThread, 0);
    Seen seen;
    nVOKAL_tHandle thread = reinterpret_cast<nVOKAL_tHandle>(0x1);
    EXPECT_EQ(nVOKAL250_createNamedThread(&thread, "x", recordSelf, &seen), NVOKAL_THREAD_NOT_CREATED);
    EXPECT_EQ(thread, reinterpret_cast<nVOKAL_tHandle>(0x1)) << "no handle on failure";
    kal::faults::clear();
    seen.go.store(true);
    ASSERT_EQ(nVOKAL250_createNamedThread(&thread, "x", recordSelf, &seen), 0);
    EXPECT_EQ(nVOKAL200_joinThread(thread), 0);
}

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

} // namespace
