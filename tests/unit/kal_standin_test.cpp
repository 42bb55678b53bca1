// The kernel-layer stand-in: faults injected at exactly the call asked for, the
// misuse halts, exact counts across threads, an unplug or unmap waiting for the
// device access under way.
#include <atomic>
#include <cstdlib>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "standin/control.h"
#include "standin/exec_level.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "sim/sim.h"
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

    kal::dpc::failCreate(1);
    EXPECT_EQ(nVOKAL100_createDPC([](void*) {}), nullptr);
    void* dpc = nVOKAL100_createDPC([](void*) {});
    EXPECT_NE(dpc, nullptr);
    nVOKAL100_destroyDPC(dpc);
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

using StandInDeathTest = kelvo_test::LeakCheckedTest;

void holdSpinLockAndReturn(void* argument) {
    nVOKAL100_acquireSpinLockDPC(static_cast<nVOKAL_tHandle>(argument));
}

void createThreadFromDpc(void*) {
    kal::exec::LevelScope dpc(kal::exec::Level::dpc);
    nVOKAL_tHandle thread;
    nVOKAL250_createNamedThread(&thread, "y", createThreadFromDpc, nullptr);
}

TEST_F(StandInDeathTest, MisusesHaltWithAClearMessage) {
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

// Device memory through the mapping the bus remembers as the last one used:
// once unmapped, an access through it is a halt, not a stale access.
TEST_F(StandInDeathTest, AnAccessThroughTheAddressLastUsedDiesOnceItIsUnmapped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto module =
        std::make_shared<sim::Module>("solstra", *sim::boardIdentity("solstra"), sim::ModuleOptions{});
    nVOKAL_tHandle handle = kal::pci::plug(module, {0, 0x33, 0, 0});
    ASSERT_NE(handle, nullptr);
    auto* bar = static_cast<char*>(nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(handle, 0), 0x1000, 0));
    ASSERT_NE(bar, nullptr);
    nVOKAL100_memoryRead32(bar + 4);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
    EXPECT_DEATH(nVOKAL100_memoryRead32(bar + 4), "not mapped");
    kal::pci::unplug(handle);
}

// Blocks allocated by one thread and freed by another leave the counts exact,
// and every guard is checked wherever the block is freed.
TEST_F(StandInDeathTest, BlocksFreedByAnotherThreadKeepTheCountsExact) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr int kThreads = 8;
    constexpr int kBlocks = 600;
    const std::size_t liveBefore = kal::memory::liveAllocations();
    const std::uint64_t callsBefore = kal::memory::allocationCalls();
    // Thread t frees what thread t - 1 allocated.
    std::vector<std::vector<char*>> handed(kThreads);
    std::vector<std::mutex> locks(kThreads);
    std::latch allocated(kThreads);
    std::atomic<int> corrupt{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char*> mine;
            for (int i = 0; i < kBlocks; ++i) {
                const std::size_t size = 1 + static_cast<std::size_t>((i * 37 + t * 11) % 9000);
                auto* block = static_cast<char*>(nVOKAL100_malloc(size));
                block[0] = static_cast<char>(t);
                mine.push_back(block);
            }
            {
                std::lock_guard g(locks[(t + 1) % kThreads]);
                handed[(t + 1) % kThreads] = std::move(mine);
            }
            allocated.arrive_and_wait();
            std::lock_guard g(locks[t]);
            for (char* block : handed[t]) {
                corrupt += block[0] != static_cast<char>((t + kThreads - 1) % kThreads);
                nVOKAL100_free(block);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(corrupt.load(), 0) << "a block was handed out twice";
    EXPECT_EQ(kal::memory::liveAllocations(), liveBefore);
    EXPECT_EQ(kal::memory::allocationCalls() - callsBefore, std::uint64_t{kThreads} * kBlocks);
    // Written past its end on one thread, caught where another frees it.
    EXPECT_DEATH(
        {
            auto* block = static_cast<char*>(nVOKAL100_malloc(40));
            block[40] = 0;
            std::thread([block] { nVOKAL100_free(block); }).join();
        },
        "block of 40 bytes was written past its end|heap-buffer-overflow|use-after-poison");
}

// A device function whose reads wait until the test lets them go; it records
// its destruction (the latches are the test's: a function gone too early fails
// the test instead of hanging it).
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
        Hold& hold = hold_;
        hold.entered.count_down();
        hold.release.wait();
        return 0x5A;
    }
    void memoryWrite(std::uint32_t, std::uint64_t, std::uint32_t, std::uint64_t) override {}

private:
    Hold& hold_;
};

// An unplug or an unmap while a device read is under way returns only once
// the read is done: the function (and the mapping) outlive the access.
TEST_F(StandInDeathTest, AnUnplugOrUnmapWaitsForTheDeviceAccessUnderWay) {
    struct Case {
        const char* what;
        bool unplug; // else the unmap
    };
    for (const Case c : {Case{"unplug", true}, Case{"unmap", false}}) {
        SCOPED_TRACE(c.what);
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
            if (c.unplug) {
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
        EXPECT_EQ(hold.destroyed.load(), c.unplug);
        if (c.unplug) {
            // The mapping outlives its function: every width reads all ones.
            EXPECT_EQ(nVOKAL100_memoryRead8(bar + 8), 0xFFu);
            EXPECT_EQ(nVOKAL100_memoryRead16(bar + 8), 0xFFFFu);
            EXPECT_EQ(nVOKAL100_memoryRead32(bar + 8), 0xFFFFFFFFu);
            EXPECT_EQ(nVOKAL100_memoryRead64(bar + 8), ~0ull);
            nVOKAL100_memoryWrite32(bar + 8, 1);
            nVOKAL230_unmapPhysicalFromKernel(bar, 0);
        } else {
            kal::pci::unplug(handle);
        }
        EXPECT_TRUE(hold.destroyed);
    }
}

} // namespace
