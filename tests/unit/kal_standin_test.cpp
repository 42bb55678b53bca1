// The kernel-layer stand-in: registration records, deferred procedure calls,
// single-use events, spin-lock levels, creation faults and misuse halts
// (locks, waits, bad frees and writes past a block, a large one reused too).
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"
#include "test_support.h"

namespace {

class Registration : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        kal::registration::reset();
        ASSERT_EQ(nVOKAL200_registerDriver(descriptor_), 0);
        device_ = kal::registration::createDevice();
    }
    void TearDown() override {
        kal::registration::reset();
        LeakCheckedTest::TearDown();
    }
    std::uint64_t descriptor_[32] = {};
    void* device_ = nullptr;
};

TEST_F(Registration, InjectedFailuresHitExactlyTheNthCall) {
    kal::registration::failInterfaceRegistration(2);
    int context = 0;
    EXPECT_NE(nVOKAL240_registerDeviceInterface(descriptor_, device_, "a", 0, &context), nullptr);
    EXPECT_EQ(nVOKAL240_registerDeviceInterface(descriptor_, device_, "b", 1, &context), nullptr);
    EXPECT_NE(nVOKAL240_registerDeviceInterface(descriptor_, device_, "c", 2, &context), nullptr);

    kal::registration::failPropertyRegistration(1);
    EXPECT_EQ(nVOKAL200_registerProperty(0, device_, "x", "", 1), nullptr);
    EXPECT_NE(nVOKAL200_registerProperty(0, device_, "y", "", 1), nullptr);
    EXPECT_EQ(kal::registration::counters().propertyRegistrations, 2u);

    nVOKAL200_unregisterDriver(descriptor_);
    kal::registration::failDriverRegistration(-51352);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), -51352);
    EXPECT_EQ(kal::registration::driver(), nullptr);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), 0) << "the failure is spent";
}

using RegistrationDeath = Registration;

TEST_F(RegistrationDeath, DoubleUnregistrationIsADriverFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void* property = nVOKAL200_registerProperty(0, device_, "x", "", 1);
    nVOKAL200_unregisterProperty(property);
    EXPECT_DEATH(nVOKAL200_unregisterProperty(property), "not registered");
    int context = 0;
    void* itf = nVOKAL240_registerDeviceInterface(descriptor_, device_, "a", 0, &context);
    nVOKAL200_unregisterDeviceInterface(itf);
    EXPECT_DEATH(nVOKAL200_unregisterDeviceInterface(itf), "not registered");
    EXPECT_DEATH(nVOKAL200_unregisterProperty(nullptr), "not registered");
}

// ---- DPCs ---------------------------------------------------------------

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    int runs = 0;
    bool entered = false;
    bool release = true;
    bool atDpcLevel = true;

    void waitUntilEntered() {
        std::unique_lock l(lock);
        changed.wait(l, [&] { return entered; });
    }
    void hold(bool held) {
        std::lock_guard l(lock);
        release = !held;
        entered = entered && !held; // holding starts a new entry
        changed.notify_all();
    }
};

void gatedCallback(void* context) {
    auto* gate = static_cast<Gate*>(context);
    std::unique_lock l(gate->lock);
    gate->atDpcLevel = gate->atDpcLevel && kal::exec::current() == kal::exec::Level::dpc;
    ++gate->runs;
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait(l, [&] { return gate->release; });
}

// Scheduled while pending it runs once, while running once more; a pending
// run dies with its DPC; a creation fails when told to.
TEST(Dpc, ScheduledWhilePendingRunsOnceAndWhileRunningRunsAgain) {
    Gate gate;
    kal::dpc::failCreate(1);
    EXPECT_EQ(nVOKAL100_createDPC(gatedCallback), nullptr);
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    ASSERT_NE(dpc, nullptr);

    kal::dpc::hold(true);
    nVOKAL100_scheduleDPC(dpc, &gate);
    nVOKAL100_scheduleDPC(dpc, &gate);
    kal::dpc::hold(false);
    kal::dpc::drain();
    EXPECT_EQ(gate.runs, 1);

    gate.hold(true);
    nVOKAL100_scheduleDPC(dpc, &gate);
    gate.waitUntilEntered();
    nVOKAL100_scheduleDPC(dpc, &gate); // while it runs
    gate.hold(false);
    kal::dpc::drain();
    EXPECT_EQ(gate.runs, 3);
    EXPECT_TRUE(gate.atDpcLevel);

    kal::dpc::hold(true);
    nVOKAL100_scheduleDPC(dpc, &gate);
    nVOKAL100_destroyDPC(dpc);
    kal::dpc::hold(false);
    EXPECT_EQ(gate.runs, 3);
    EXPECT_EQ(kal::dpc::live(), 0u);
}

TEST(Dpc, DestroyWaitsForTheRunningInstance) {
    Gate gate;
    gate.release = false;
    void* dpc = nVOKAL100_createDPC(gatedCallback);
    nVOKAL100_scheduleDPC(dpc, &gate);
    gate.waitUntilEntered();
    std::atomic<int> runsSeenByDestroyer{-1};
    std::thread destroyer([&] {
        nVOKAL100_destroyDPC(dpc);
        std::lock_guard g(gate.lock);
        runsSeenByDestroyer = gate.entered ? gate.runs : -1;
    });
    gate.hold(false);
    destroyer.join();
    EXPECT_EQ(runsSeenByDestroyer.load(), 1);
}

// ---- threads, events and spin locks ------------------------------------------

class KalThreads : public kelvo_test::LeakCheckedTest {};
using KalThreadsDeathTest = KalThreads;

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
            nVOKAL_tHandle lock = nVOKAL100_createSpinLock();
            nVOKAL100_acquireSpinLockDPC(lock);
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
    EXPECT_DEATH(
        {
            void* block = nVOKAL100_malloc(8);
            nVOKAL100_free(block);
            nVOKAL100_free(block); // twice
        },
        "nVOKAL250_halt: \\[kal\\|.*\\] nVOKAL100_free of a block that is not allocated");
    EXPECT_DEATH(nVOKAL100_free(std::malloc(8)), "nVOKAL100_free of a block that is not allocated");
    // Without AddressSanitizer the guard bytes catch it at the free; with it,
    // the write lands in the block's poisoned rounding to whole granules.
    EXPECT_DEATH(
        {
            auto* block = static_cast<char*>(nVOKAL100_malloc(100));
            block[100] = 0;
            nVOKAL100_free(block);
        },
        "block of 100 bytes was written past its end|heap-buffer-overflow|use-after-poison");
    // A large block kept after its free: the guard follows the size asked for.
    EXPECT_DEATH(
        {
            nVOKAL100_free(nVOKAL100_malloc(3 << 20));
            auto* block = static_cast<char*>(nVOKAL100_malloc(2 << 20));
            block[2 << 20] = 0;
            nVOKAL100_free(block);
        },
        "block of 2097152 bytes was written past its end|heap-buffer-overflow|use-after-poison");
}

} // namespace
