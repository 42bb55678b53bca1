// The kernel-layer stand-in: creation faults injected at exactly the call
// asked for, and the misuse halts (registrations, locks, waits, bad frees and
// writes past a block, a large one reused too, device memory unmapped); device
// memory that a thread keeps reaching without the bus lock, through an unplug.
// The behaviour of DPCs, events and spin locks: the platform layer's tests,
// which run on them.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "sim.h"
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

// A function with one BAR of 4 KiB that counts what reaches it and, when
// asked to, holds the next write until it sees itself unplugged and then a
// while longer, noting whether it was destroyed meanwhile.
class CountingFunction : public kal::pci::Function {
public:
    explicit CountingFunction(kal::pci::Location at) : at_(at) {}
    ~CountingFunction() override { destroyed = true; }
    bool configRead(std::uint32_t, std::uint32_t, std::uint32_t& value) override {
        value = 0;
        return true;
    }
    bool configWrite(std::uint32_t, std::uint32_t, std::uint32_t) override { return true; }
    std::uint64_t barSize(std::uint32_t bar) const override { return bar == 0 ? 0x1000 : 0; }
    std::uint64_t memoryRead(std::uint32_t, std::uint64_t, std::uint32_t) override {
        ++accesses;
        return 0x12;
    }
    void memoryWrite(std::uint32_t, std::uint64_t, std::uint32_t, std::uint64_t) override {
        ++accesses;
        if (!holdNextWrite.exchange(false)) {
            return;
        }
        holding = true;
        while (kal::pci::occupied(at_)) {
            std::this_thread::yield();
        }
        // Unplugged: an unplug that did not wait would release the function now.
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::yield();
        }
        destroyedWhileHeld = destroyed.load();
    }

    std::atomic<int> accesses{0};
    std::atomic<bool> holdNextWrite{false};
    std::atomic<bool> holding{false};
    static inline std::atomic<bool> destroyed{false};
    static inline std::atomic<bool> destroyedWhileHeld{false};

private:
    kal::pci::Location at_;
};

// The mapping a thread reached last, kept after an unplug: every width reads
// all ones and writes are dropped, on that thread and on another.
TEST(StandInPci, AKeptMappingAnswersAllOnesOnceItsFunctionIsUnplugged) {
    const kal::pci::Location at{0, 0x34, 0, 0};
    auto function = std::make_shared<CountingFunction>(at);
    nVOKAL_tHandle handle = kal::pci::plug(function, at);
    ASSERT_NE(handle, nullptr);
    auto* bar = static_cast<char*>(nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(handle, 0), 0x1000, 0));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(nVOKAL100_memoryRead32(bar + 8), 0x12u);
    nVOKAL100_memoryWrite32(bar + 8, 1);
    ASSERT_EQ(function->accesses, 2);
    kal::pci::unplug(handle);
    const auto allAccesses = [bar] {
        EXPECT_EQ(nVOKAL100_memoryRead8(bar + 8), 0xFFu);
        EXPECT_EQ(nVOKAL100_memoryRead16(bar + 8), 0xFFFFu);
        EXPECT_EQ(nVOKAL100_memoryRead32(bar + 8), 0xFFFFFFFFu);
        EXPECT_EQ(nVOKAL100_memoryRead64(bar + 8), ~0ull);
        nVOKAL100_memoryWrite32(bar + 8, 2);
        nVOKAL100_memoryWrite64(bar + 8, 3);
    };
    allAccesses();
    std::thread other(allAccesses);
    other.join();
    EXPECT_EQ(function->accesses, 2);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
}

// An unplug while another thread's write (through its kept mapping) is still
// inside the function: the function is released only after that write left.
TEST(StandInPci, AnUnplugReleasesTheFunctionOnlyAfterTheAccessesInFlight) {
    const kal::pci::Location at{0, 0x35, 0, 0};
    CountingFunction::destroyed = false;
    CountingFunction::destroyedWhileHeld = false;
    auto function = std::make_shared<CountingFunction>(at);
    nVOKAL_tHandle handle = kal::pci::plug(function, at);
    ASSERT_NE(handle, nullptr);
    auto* bar = static_cast<char*>(nVOKAL230_mapPhysicalToKernel(kal::pci::barAddress(handle, 0), 0x1000, 0));
    ASSERT_NE(bar, nullptr);
    CountingFunction* const raw = function.get();
    std::thread writer([bar, raw] {
        nVOKAL100_memoryWrite32(bar, 1); // the mapping is kept from here on
        raw->holdNextWrite = true;
        nVOKAL100_memoryWrite32(bar, 2);
    });
    while (!raw->holding) {
        std::this_thread::yield();
    }
    function.reset(); // the bus holds the last reference
    std::thread unplugger([handle] { kal::pci::unplug(handle); });
    writer.join();
    unplugger.join();
    EXPECT_FALSE(CountingFunction::destroyedWhileHeld);
    EXPECT_TRUE(CountingFunction::destroyed);
    nVOKAL230_unmapPhysicalFromKernel(bar, 0);
}

} // namespace
