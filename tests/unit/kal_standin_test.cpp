// The kernel-layer stand-in: injected faults, misuse halts, exact counts across threads, unplugs and unmaps.
#include <atomic>
#include <latch>
#include <thread>

#include "standin/exec_level.h"
#include "standin/pci_bus.h"
#include "test_support.h"
#include "test_worker.h"

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

// Injected failures hit exactly the nth call; a second unregistration is a driver fault.
TEST_F(Registration, InjectedFailuresHitExactlyTheNthCallAndDoubleUnregistrationHalts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kal::registration::failInterfaceRegistration(1);
    int context = 0;
    EXPECT_EQ(nVOKAL240_registerDeviceInterface(descriptor_, device_, "a", 0, &context), nullptr);
    void* itf = nVOKAL240_registerDeviceInterface(descriptor_, device_, "b", 1, &context);
    EXPECT_NE(itf, nullptr);
    nVOKAL200_unregisterDeviceInterface(itf);
    EXPECT_DEATH(nVOKAL200_unregisterDeviceInterface(itf), "not registered");

    kal::registration::failPropertyRegistration(1);
    EXPECT_EQ(nVOKAL200_registerProperty(0, device_, "x", "", 1), nullptr);
    void* property = nVOKAL200_registerProperty(0, device_, "y", "", 1);
    EXPECT_NE(property, nullptr);
    nVOKAL200_unregisterProperty(property);
    EXPECT_DEATH(nVOKAL200_unregisterProperty(property), "not registered");
    EXPECT_DEATH(nVOKAL200_unregisterProperty(nullptr), "not registered");

    nVOKAL200_unregisterDriver(descriptor_);
    kal::registration::failDriverRegistration(-51352);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), -51352);
    EXPECT_EQ(nVOKAL200_registerDriver(descriptor_), 0) << "the failure is spent";

    kal::dpc::failCreate(1);
    EXPECT_EQ(nVOKAL100_createDPC([](void*) {}), nullptr);
    void* dpc = nVOKAL100_createDPC([](void*) {});
    EXPECT_NE(dpc, nullptr);
    nVOKAL100_destroyDPC(dpc);
}

using StandInDeathTest = kelvo_test::LeakCheckedTest;

void holdSpinLockAndReturn(void* argument) {
    nVOKAL100_acquireSpinLockDPC(static_cast<nVOKAL_tHandle>(argument));
}

void createThreadFromDpc(void*) {
    kal::exec::LevelScope dpc(kal::exec::Level::dpc);
    nVOKAL_tHandle thread;
    nVOKAL250_createNamedThread(&thread, "y", createThreadFromDpc, nullptr);
}

nVOKAL_tHandle heldSpinLock() {
    nVOKAL_tHandle lock = nVOKAL100_createSpinLock();
    nVOKAL100_acquireSpinLockDPC(lock);
    return lock;
}

TEST_F(StandInDeathTest, MisusesHaltWithAClearMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // With AddressSanitizer a write past a block lands in its poisoned rounding to whole granules.
    const std::pair<void (*)(), const char*> cases[] = {
        // A misuse and the message it halts with.
        {[] {
             nVOKAL_tHandle thread;
             nVOKAL250_createNamedThread(&thread, "leaky", holdSpinLockAndReturn, nVOKAL100_createSpinLock());
             nVOKAL200_joinThread(thread);
         },
         "kernel thread \"leaky\" returned at DPC level or holding a spin lock"},
        {[] { createThreadFromDpc(nullptr); },
         "nVOKAL250_createNamedThread may block but was called at DPC level"},
        {[] {
             heldSpinLock();
             nVOKAL250_sleepTimeout(10);
         },
         "nVOKAL250_sleepTimeout may block"},
        {[] { nVOKAL100_acquireSpinLockDPC(heldSpinLock()); }, "already holds this spin lock"},
        {[] {
             nVOKAL_tHandle other = nVOKAL100_createSpinLock();
             nVOKAL110_acquireSpinLockInterrupt(nVOKAL100_createSpinLock());
             nVOKAL100_acquireSpinLockDPC(other);
         },
         "nVOKAL100_acquireSpinLockDPC called at interrupt level"},
        {[] {
             alignas(16) unsigned char event[64];
             nVOKAL100_initializeSingleUseEvent(event);
             nVOKAL100_releaseSingleUseEvent(event);
             nVOKAL100_releaseSingleUseEvent(event);
         },
         "already released"},
        {[] {
             void* block = nVOKAL100_malloc(8);
             nVOKAL100_free(block);
             nVOKAL100_free(block);
         },
         "nVOKAL250_halt: \\[kal\\|.*\\] nVOKAL100_free of a block that is not allocated"},
        {[] { nVOKAL100_free(std::malloc(8)); }, "nVOKAL100_free of a block that is not allocated"},
        {[] {
             auto* block = static_cast<char*>(nVOKAL100_malloc(100));
             block[100] = 0;
             nVOKAL100_free(block);
         },
         "block of 100 bytes was written past its end|heap-buffer-overflow|use-after-poison"},
        // A large block kept after its free: the guard follows the size asked for.
        {[] {
             nVOKAL100_free(nVOKAL100_malloc(3 << 20));
             auto* block = static_cast<char*>(nVOKAL100_malloc(2 << 20));
             block[2 << 20] = 0;
             nVOKAL100_free(block);
         },
         "block of 2097152 bytes was written past its end|heap-buffer-overflow|use-after-poison"},
    };
    for (const auto& [misuse, message] : cases) {
        SCOPED_TRACE(message);
        EXPECT_DEATH(misuse(), message);
    }
}

TEST_F(StandInDeathTest, BlocksFreedByAnotherThreadKeepTheCountsExact) {
    constexpr int kThreads = 8;
    constexpr int kBlocks = 600;
    const std::uint64_t callsBefore = kal::memory::allocationCalls();
    const std::size_t bytesBefore = kal::memory::liveBytes();
    // Thread t frees what thread t - 1 allocated, once every thread allocated.
    std::vector<std::vector<char*>> handed(kThreads);
    std::latch allocated(kThreads);
    std::atomic<int> corrupt{0};
    std::atomic<int> unpoisoned{0}; // new blocks, fresh or reused, hold 0x5A outside optimised builds
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char*> mine;
            for (int i = 0; i < kBlocks; ++i) {
                const std::size_t size = 1 + static_cast<std::size_t>((i * 37 + t * 11) % 9000);
                auto* block = static_cast<char*>(nVOKAL100_malloc(size));
#ifndef NDEBUG
                unpoisoned += block[0] != 0x5A || block[size - 1] != 0x5A;
#endif
                block[0] = static_cast<char>(t);
                mine.push_back(block);
            }
            handed[(t + 1) % kThreads] = std::move(mine);
            allocated.arrive_and_wait();
            for (char* block : handed[t]) {
                corrupt += block[0] != static_cast<char>((t + kThreads - 1) % kThreads);
                nVOKAL100_free(block);
            }
        });
    }
    threads.clear(); // joins them
    // No block handed out twice or left unpoisoned, every allocation counted, every byte given back
    // (leaks: the fixture).
    EXPECT_EQ(std::make_tuple(corrupt.load(), unpoisoned.load(), kal::memory::allocationCalls() - callsBefore,
                              kal::memory::liveBytes() - bytesBefore),
              std::make_tuple(0, 0, std::uint64_t{kThreads} * kBlocks, std::size_t{0}));
}

// A function whose reads wait for the test (its latches are the test's: one gone too early fails, not hangs).
struct Hold {
    std::latch entered{1};
    std::latch release{1};
    std::atomic<bool> destroyed{false};
};
class HeldFunction : public kal::pci::Function {
public:
    explicit HeldFunction(Hold& hold) : hold_(hold) {}
    ~HeldFunction() override { hold_.destroyed = true; }
    bool configRead(std::uint32_t, std::uint32_t, std::uint32_t&) override { return false; }
    bool configWrite(std::uint32_t, std::uint32_t, std::uint32_t) override { return false; }
    std::uint64_t barSize(std::uint32_t bar) const override { return bar == 0 ? 0x1000 : 0; }
    std::uint64_t memoryRead(std::uint32_t, std::uint64_t, std::uint32_t) override {
        hold_.entered.count_down();
        hold_.release.wait();
        return 0x5A;
    }
    void memoryWrite(std::uint32_t, std::uint64_t, std::uint32_t, std::uint64_t) override {}

private:
    Hold& hold_;
};

// Once unmapped, an access through the old address halts rather than reach the device.
TEST_F(StandInDeathTest, AnUnplugOrUnmapWaitsForTheDeviceAccessUnderWay) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool unplug : {true, false}) { // else the unmap
        SCOPED_TRACE(unplug ? "unplug" : "unmap");
        Hold hold;
        nVOKAL_tHandle handle = kal::pci::plug(std::make_shared<HeldFunction>(hold), {0, 0x34, 0, 0});
        ASSERT_NE(handle, nullptr);
        auto* bar =
            static_cast<char*>(nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(handle, 0), 0x1000, 0));
        ASSERT_NE(bar, nullptr);
        std::uint32_t value = 0;
        std::thread reader([&] { value = nVOKAL100_memoryRead32(bar + 8); });
        hold.entered.wait();
        std::atomic<bool> done{false};
        std::thread remover([&] {
            if (unplug) {
                kal::pci::unplug(handle);
            } else {
                nVOKAL230_unmapPhysicalFromKernel(bar, 0);
            }
            done = true;
        });
        while (kal::tables::waitingForAccesses() == 0 && !done) {
            std::this_thread::yield();
        }
        EXPECT_FALSE(done) << "it returned with the access under way";
        EXPECT_FALSE(hold.destroyed);
        hold.release.count_down();
        reader.join();
        remover.join();
        EXPECT_EQ(value, 0x5Au);
        EXPECT_EQ(hold.destroyed.load(), unplug);
        if (unplug) {
            // The mapping outlives its function: every width reads all ones.
            EXPECT_EQ((std::vector<std::uint64_t>{
                          nVOKAL100_memoryRead8(bar + 8), nVOKAL100_memoryRead16(bar + 8),
                          nVOKAL100_memoryRead32(bar + 8), nVOKAL100_memoryRead64(bar + 8)}),
                      (std::vector<std::uint64_t>{0xFF, 0xFFFF, 0xFFFFFFFF, ~0ull}));
            nVOKAL100_memoryWrite32(bar + 8, 1);
            nVOKAL230_unmapPhysicalFromKernel(bar, 0);
        } else {
            EXPECT_DEATH(nVOKAL100_memoryRead32(bar + 8), "not mapped");
            kal::pci::unplug(handle);
        }
    }
}

// A release is still inside the mutex after its unlock (waking sleepers,
// handing the mutex on): another thread that takes the mutex, gives it back
// and destroys it meanwhile waits for that release to be out before it frees
// the mutex.
using StandInMutex = kelvo_test::LeakCheckedTest;

TEST_F(StandInMutex, IsFreedOnlyOnceTheReleaseStillInsideItIsOut) {
    nVOKAL_tHandle mutex = nVOKAL150_createMutex();
    ASSERT_NE(mutex, nullptr);
    std::atomic<std::uint64_t> destroyer{0};
    std::atomic<bool> go{false};
    std::atomic<bool> destroyed{false};
    std::thread other([&] {
        destroyer = nVOKAL100_getThreadID();
        while (!go) {
            std::this_thread::yield();
        }
        nVOKAL150_acquireMutex(mutex);
        nVOKAL150_releaseMutex(mutex);
        nVOKAL150_destroyMutex(mutex);
        destroyed = true;
    });
    bool freedUnderTheRelease = false;
    nVOKAL150_acquireMutex(mutex);
    kal::thread::onMutexRelease([&] {
        go = true;
        // The other thread either waits in its destroy or has freed the mutex.
        while (!destroyed && (destroyer == 0 || !kal::thread::isBlocked(destroyer))) {
            std::this_thread::yield();
        }
        freedUnderTheRelease = destroyed;
    });
    nVOKAL150_releaseMutex(mutex);
    kal::thread::onMutexRelease({});
    other.join();
    EXPECT_FALSE(freedUnderTheRelease);
    EXPECT_TRUE(destroyed);
}

// A thread asleep on the mutex beside two threads that take it in turns, each
// letting the other in while its release is under way (before the sleeper it
// wakes can run), and releasing only once the sleeper is asleep: the sleeper
// has it after at most two of their holds, every time, and each release
// leaves it shown runnable (woken, or handed the mutex).
TEST_F(StandInMutex, ASleeperHasItAfterAtMostTwoHoldsOfThreadsTakingItInTurns) {
    constexpr int kRounds = 4;
    constexpr int kHolds = 8; // by the two threads together in a round
    nVOKAL_tHandle mutex = nVOKAL150_createMutex();
    ASSERT_NE(mutex, nullptr);
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> holds{0};
        std::atomic<int> turn{0};
        std::atomic<bool> waiting[2] = {false, false}; // for its turn
        std::atomic<bool> done[2] = {false, false};
        std::atomic<std::uint64_t> ids[2] = {0, 0};
        std::atomic<bool> sleeperGoes{false};
        std::atomic<bool> sleeperRan{true};
        int holdsBeforeTheSleeper = -1;
        kelvo_test::Worker sleeper([&] {
            while (!sleeperGoes) {
                std::this_thread::yield();
            }
            nVOKAL150_acquireMutex(mutex);
            holdsBeforeTheSleeper = holds - 1; // the first began before it slept
            nVOKAL150_releaseMutex(mutex);
        });
        const auto takeInTurns = [&](int me) {
            ids[me] = nVOKAL100_getThreadID();
            const int other = 1 - me;
            for (;;) {
                waiting[me] = true;
                while (turn != me) {
                    std::this_thread::yield();
                }
                waiting[me] = false;
                if (holds >= kHolds) {
                    done[me] = true;
                    turn = other;
                    return;
                }
                nVOKAL150_acquireMutex(mutex);
                if (holds++ == 0) {
                    sleeperGoes = true;
                    EXPECT_TRUE(sleeper.waitUntilBlocked());
                }
                const int mine = holds;
                // The sleeper has tried since it was woken; the other is at its turn.
                while (!sleeper.done() && !kal::thread::isBlocked(sleeper.id())) {
                    std::this_thread::yield();
                }
                while (!waiting[other] && !done[other]) {
                    std::this_thread::yield();
                }
                kal::thread::onMutexRelease([&] {
                    // The sleeper was woken or handed the mutex: it runs.
                    sleeperRan = sleeperRan && (sleeper.done() || !kal::thread::isBlocked(sleeper.id()));
                    // The other takes the mutex or sleeps on it.
                    turn = other;
                    while (holds == mine && !done[other] && !kal::thread::isBlocked(ids[other])) {
                        std::this_thread::yield();
                    }
                });
                nVOKAL150_releaseMutex(mutex);
                kal::thread::onMutexRelease({});
            }
        };
        std::thread first(takeInTurns, 0);
        std::thread second(takeInTurns, 1);
        first.join();
        second.join();
        sleeper.join();
        EXPECT_GE(holdsBeforeTheSleeper, 0) << "round " << round;
        EXPECT_LE(holdsBeforeTheSleeper, 2) << "round " << round;
        EXPECT_TRUE(sleeperRan) << "round " << round << ": a release left the sleeper shown blocked";
    }
    nVOKAL150_destroyMutex(mutex);
}

} // namespace
