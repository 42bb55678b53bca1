// The device interrupt: reservation rules (one client, a refused vector,
// relinquish racing an interrupt) and the bridge interrupt manager's words.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "control.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "pci_test_support.h"
#include "platform/brixel_interrupts.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "sim.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::iPrimaryInterruptHandler;
using kelvo_driver::nVOAPAL000::tBrixelInterruptManager;
using kelvo_driver::nVOAPAL000::tPCIDevice;
using kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor;
using nVOAPALS100::tStatus;

class PlatformInterrupt : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module_ = bus_.plug("solstra");
    }
    void TearDown() override {
        if (device_ != nullptr) {
            device_->unmapMemoryWindow(0, window_, 0);
            delete device_;
        }
        EXPECT_EQ(kal::pci::reservedInterrupts(), 0u);
        EXPECT_EQ(module_->deviceErrorCount(), 0u) << ::testing::PrintToString(module_->deviceErrors());
        LeakCheckedTest::TearDown();
    }
    void openDevice(bool msi) {
        tStatus status;
        device_ = new (status, false) tPCIDevice(kelvo_test::deviceInfoOf(*module_, msi), status);
        window_ = device_->mapMemoryWindow(0, status, 0);
        ASSERT_TRUE(status.isSuccess());
        accessor_ = tPCIMemorySpaceAccessor(window_, device_->deviceInfo().memoryWindows[0].size);
    }
    std::vector<std::uint64_t> maskWrites() {
        return module_->bar0().find("interrupt-control")->writtenValues(0);
    }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    tPCIDevice* device_ = nullptr;
    void* window_ = nullptr;
    tPCIMemorySpaceAccessor accessor_;
};

class CountingClient : public iPrimaryInterruptHandler {
public:
    bool handleInterrupt() override {
        if (!allowed.load()) {
            late += 1;
        }
        calls += 1;
        return true;
    }
    std::atomic<bool> allowed{false};
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> late{0};
};

TEST_F(PlatformInterrupt, NoHandlerRunsAfterRelinquishReturnsEvenWhileInterruptsArrive) {
    openDevice(true);
    CountingClient client;
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        while (!stop.load()) {
            kal::pci::raiseInterrupt(module_->pciHandle());
        }
    });
    for (int round = 0; round < 100; ++round) {
        const std::uint64_t before = client.calls.load();
        client.allowed = true;
        tStatus status;
        device_->reserveInterrupt(&client, status, 0);
        ASSERT_TRUE(status.isSuccess());
        while (client.calls.load() == before) {
            std::this_thread::yield();
        }
        device_->relinquishInterrupt();
        client.allowed = false;
    }
    stop = true;
    raiser.join();
    kal::pci::drainInterrupts();
    kal::dpc::drain();
    EXPECT_EQ(client.late.load(), 0u);
    EXPECT_GT(kal::pci::interruptCounts(device_->deviceInfo().interruptNumber).dropped, 0u);
}

TEST_F(PlatformInterrupt, ARefusedReservationLeavesNoClientBehind) {
    openDevice(true);
    CountingClient client;
    auto other = [](void*) -> std::uint8_t { return 0; };
    ASSERT_EQ(nVOKAL1400_reserveInterrupt(device_->deviceInfo().interruptNumber, other, nullptr, "other", 0),
              0);
    tStatus status;
    device_->reserveInterrupt(&client, status, 0);
    EXPECT_EQ(status.getCode(), -52031) << "busy, translated";
    EXPECT_EQ(device_->clientInterruptHandler(), nullptr);
    device_->relinquishInterrupt(); // nothing to release
    nVOKAL100_relinquishInterrupt(device_->deviceInfo().interruptNumber, other, nullptr);
    tStatus again;
    device_->reserveInterrupt(&client, again, 0);
    EXPECT_TRUE(again.isSuccess());
    device_->relinquishInterrupt();
    EXPECT_DEATH(
        {
            tStatus first;
            device_->reserveInterrupt(&client, first, 0);
            tStatus second;
            device_->reserveInterrupt(&client, second, 0);
        },
        "_clientInterruptHandler == nullptr");
}

TEST_F(PlatformInterrupt, ManagerMaskWordsStatusAndQueue) {
    openDevice(false);
    const struct {
        std::uint32_t options;
        std::uint32_t word;
    } cases[] = {{0, 0x54000500u},           {0x10000000u, 0x94000500u}, {0x10000A00u, 0x94000A00u},
                 {0x13000000u, 0xA8000500u}, {0x200u, 0x94000600u},      {0x800u, 0x94000900u}};
    {
        tBrixelInterruptManager manager(&accessor_, false);
        for (const auto& c : cases) {
            manager.enableInterrupts(c.options);
            EXPECT_EQ(maskWrites().back(), c.word) << c.options;
        }
        EXPECT_EQ(manager.dequeueInterrupt(), 0u) << "all ones reads as 0";
        EXPECT_FALSE(manager.acknowledgeInterrupt());
        module_->bridge().interrupts().fire(2);
        EXPECT_TRUE(manager.acknowledgeInterrupt());
        EXPECT_EQ(manager.dequeueInterrupt(), 0x10000002u);
        module_->setDeadBridge(true);
        EXPECT_FALSE(manager.acknowledgeInterrupt()) << "a dead bridge reads all ones";
        module_->setDeadBridge(false);
    }
    EXPECT_EQ(maskWrites().back(), 0x40000000u);
    const auto before = maskWrites().size();
    tBrixelInterruptManager msi(&accessor_, true);
    EXPECT_TRUE(msi.acknowledgeInterrupt());
    msi.rearmInterrupt();
    EXPECT_EQ(maskWrites().size(), before) << "MSI leaves the registers alone";
}

} // namespace
