// The interrupt path: the simulated bridge raises its interrupt, the stand-in
// delivers it on its interrupt thread to the PCI device's client, which
// schedules a DPC; the DPC drains the bridge's interrupt queue and posts one
// work item per source to the work queue, whose named thread runs it. A test
// client plays the bridge interrupt controller. Also: the interrupt manager
// and the reservation rules (one client, primary lock, relinquish racing an
// interrupt).
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "pci_test_support.h"
#include "platform/brixel_interrupts.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "platform/secondary_interrupt.h"
#include "platform/work_queue.h"
#include "sim.h"
#include "test_support.h"

namespace {

using kal::exec::Level;
using kelvo_driver::nVOAPAL000::iPrimaryInterruptHandler;
using kelvo_driver::nVOAPAL000::tBrixelInterruptManager;
using kelvo_driver::nVOAPAL000::tPCIDevice;
using kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessor;
using kelvo_driver::nVOAPAL000::tPrimaryLock;
using kelvo_driver::nVOAPAL000::tSecondaryInterruptRedirector;
using kelvo_driver::nVOAPAL000::tSecondaryISRLock;
using kelvo_driver::nVOAPAL000::tWorkItem;
using kelvo_driver::nVOAPAL000::tWorkItemWrapper;
using kelvo_driver::nVOAPAL000::tWorkQueue;
using nVOAPALS100::tStatus;

constexpr std::uint32_t kSources = 8;

// What the test controller saw; outlives it.
struct Results {
    std::array<std::atomic<std::uint64_t>, kSources> dequeued{};
    std::array<std::atomic<std::uint64_t>, kSources> workRuns{};
    std::atomic<std::uint64_t> dpcRuns{0};
    std::atomic<bool> interruptLevelOK{true};
    std::atomic<bool> dpcLevelOK{true};
    std::atomic<bool> workOnWorker{true};
    std::mutex lock;
    std::condition_variable changed;

    std::uint64_t totalDequeued() const {
        std::uint64_t total = 0;
        for (const auto& d : dequeued) {
            total += d.load();
        }
        return total;
    }
    // Waits until the DPCs took count words off the bridge's queue.
    bool waitForDequeued(std::uint64_t count) {
        std::unique_lock l(lock);
        return changed.wait_for(l, std::chrono::seconds(60), [&] { return totalDequeued() >= count; });
    }
};

// Stands in for the bridge interrupt controller until it exists: the one
// client of the device interrupt, with its DPC, work queue and one notifier
// item per interrupt source.
class TestController : public iPrimaryInterruptHandler {
public:
    class Notifier : public tWorkItemWrapper {
    public:
        Notifier(TestController& owner, std::uint32_t source) : owner_(owner), source_(source) {}
        tWorkItem* work() override {
            owner_.notified(source_);
            return nullptr;
        }

    private:
        TestController& owner_;
        std::uint32_t source_;
    };

    TestController(tPCIDevice& device, const tPCIMemorySpaceAccessor& window0, Results& results,
                   tStatus& status)
        : results(results), device_(device) {
        dpc_ = new (status, false) tSecondaryInterruptRedirector<TestController>(this, status);
        manager_ = new (status, false) tBrixelInterruptManager(&window0, device.deviceInfo().msiFlag != 0);
        queueLock_.create(status);
        queue_ = new (status, false) tWorkQueue<tSecondaryISRLock, 1>(&queueLock_, status);
        notifierLock_.create(status);
        for (std::uint32_t i = 0; i < kSources; ++i) {
            notifiers_[i] = new (status, false) Notifier(*this, i);
        }
        device_.reserveInterrupt(this, status, 0);
        if (status.isNotFatal()) {
            manager_->enableInterrupts(0x10000000);
        }
    }
    ~TestController() override {
        device_.relinquishInterrupt();
        delete dpc_; // waits for a running DPC, drops a pending one: nothing posts after this
        delete queue_;
        delete manager_;
        for (Notifier* n : notifiers_) {
            delete n;
        }
        notifierLock_.destroy();
        queueLock_.destroy();
    }

    // Interrupt level.
    bool handleInterrupt() override {
        if (kal::exec::current() != Level::interrupt) {
            results.interruptLevelOK = false;
        }
        if (!manager_->acknowledgeInterrupt()) {
            return false;
        }
        device_.scheduleSecondaryHandler(dpc_);
        return true;
    }

    // DPC level: drains the queue, posts the sources' notifiers, re-arms.
    void serviceInterrupts() {
        if (kal::exec::current() != Level::dpc) {
            results.dpcLevelOK = false;
        }
        for (;;) {
            const std::uint32_t word = manager_->dequeueInterrupt();
            if (word == 0) {
                break;
            }
            const std::uint32_t source = word & 0x3FFF;
            notifierLock_.acquire();
            if (source < kSources) {
                queue_->post(notifiers_[source]->item());
            }
            notifierLock_.release();
            {
                std::lock_guard g(results.lock);
                results.dequeued[source % kSources] += 1;
                results.changed.notify_all();
            }
            if (duringDPC) {
                auto hook = std::move(duringDPC);
                duringDPC = nullptr;
                hook();
            }
            if ((word & (1u << 30)) == 0) {
                break;
            }
        }
        results.dpcRuns += 1;
        manager_->rearmInterrupt();
    }

    std::function<void()> duringDPC; // run once inside the DPC, after its first word
    Results& results;

private:
    void notified(std::uint32_t source) {
        const auto workers = kal::thread::findByName("vokelvo_driver");
        const bool onWorker = workers.size() == 1 && workers[0] == nVOKAL100_getThreadID() &&
                              kal::exec::current() == Level::thread && !kal::exec::inAtomicContext();
        if (!onWorker) {
            results.workOnWorker = false;
        }
        results.workRuns[source] += 1;
    }

    tPCIDevice& device_;
    tSecondaryInterruptRedirector<TestController>* dpc_ = nullptr;
    tBrixelInterruptManager* manager_ = nullptr;
    tSecondaryISRLock queueLock_;
    tWorkQueue<tSecondaryISRLock, 1>* queue_ = nullptr;
    tSecondaryISRLock notifierLock_;
    std::array<Notifier*, kSources> notifiers_{};
};

class PlatformInterrupt : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module_ = bus_.plug("solstra");
    }
    void TearDown() override {
        closeDevice();
        EXPECT_EQ(kal::pci::reservedInterrupts(), 0u);
        EXPECT_EQ(kal::thread::unjoinedThreads(), 0u);
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
    void closeDevice() {
        if (device_ != nullptr) {
            device_->unmapMemoryWindow(0, window_, 0);
            delete device_;
            device_ = nullptr;
        }
    }
    sim::BridgeInterrupts& bridge() { return module_->bridge().interrupts(); }
    // Settles the stand-in: no interrupt and no DPC left pending or running.
    static void settle() {
        kal::pci::drainInterrupts();
        kal::dpc::drain();
        kal::pci::drainInterrupts();
    }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    tPCIDevice* device_ = nullptr;
    void* window_ = nullptr;
    tPCIMemorySpaceAccessor accessor_;
};

// ---- the whole path ------------------------------------------------------------

TEST_F(PlatformInterrupt, NoQueueWordIsLostWhenInterruptsArriveWhileTheDPCRuns) {
    openDevice(true);
    Results results;
    tStatus status;
    {
        TestController controller(*device_, accessor_, results, status);
        ASSERT_TRUE(status.isSuccess());
        // Words that arrive while the DPC runs, after it saw the queue empty:
        // the bridge raises again when the DPC re-arms it.
        controller.duringDPC = [&] {
            for (std::uint32_t s = 0; s < 5; ++s) {
                bridge().fire(s);
            }
        };
        bridge().fire(7);
        ASSERT_TRUE(results.waitForDequeued(6));
        settle();
        EXPECT_GE(results.dpcRuns.load(), 2u);

        // Bursts from two threads racing the DPCs.
        std::vector<std::thread> sources;
        for (std::uint32_t t = 0; t < 2; ++t) {
            sources.emplace_back([&, t] {
                for (std::uint32_t i = 0; i < 500; ++i) {
                    bridge().fire((i + t) % kSources);
                }
            });
        }
        for (auto& s : sources) {
            s.join();
        }
        ASSERT_TRUE(results.waitForDequeued(1006)) << results.totalDequeued();
        settle();
        EXPECT_EQ(bridge().queued(), 0u);
        EXPECT_TRUE(bridge().armed());
    }
    EXPECT_EQ(results.totalDequeued(), 1006u);
    for (std::uint32_t s = 0; s < kSources; ++s) {
        EXPECT_GE(results.workRuns[s].load(), 1u) << "source " << s;
        EXPECT_LE(results.workRuns[s].load(), results.dequeued[s].load())
            << "a queued item runs once per post";
    }
    EXPECT_TRUE(results.workOnWorker);
}

// ---- reservation -----------------------------------------------------------------

class CountingClient : public iPrimaryInterruptHandler {
public:
    bool handleInterrupt() override {
        if (!allowed.load()) {
            late += 1;
        }
        if (lockHeldCheck && kal::exec::spinLocksHeld() == 0) {
            unlocked += 1;
        }
        calls += 1;
        return claim;
    }
    std::atomic<bool> allowed{false};
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::uint64_t> unlocked{0};
    bool lockHeldCheck = false;
    bool claim = true;
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
            std::this_thread::yield(); // the raiser keeps raising: the handler runs soon
        }
        device_->relinquishInterrupt();
        client.allowed = false;
    }
    stop = true;
    raiser.join();
    settle();
    EXPECT_EQ(client.late.load(), 0u);
    EXPECT_GT(kal::pci::interruptCounts(device_->deviceInfo().interruptNumber).dropped, 0u)
        << "interrupts raised between the rounds found no handler";
}

TEST_F(PlatformInterrupt, PrimaryLockIsHeldAroundTheClientAndReleasedWithIt) {
    openDevice(true);
    CountingClient client;
    client.allowed = true;
    client.lockHeldCheck = true;
    tStatus status;
    tPrimaryLock* lock = device_->reserveInterruptWithPrimaryLock(&client, status, 0);
    ASSERT_NE(lock, nullptr);
    ASSERT_NE(lock->spinLock, nullptr);
    // The client's deferred work excludes the handler with the same lock.
    const std::uint64_t saved = nVOKAL110_acquireSpinLockInterrupt(lock->spinLock);
    kal::pci::raiseInterrupt(module_->pciHandle());
    nVOKAL110_releaseSpinLockInterrupt(lock->spinLock, saved);
    settle();
    EXPECT_EQ(client.calls.load(), 1u);
    EXPECT_EQ(client.unlocked.load(), 0u);
    device_->relinquishInterruptWithPrimaryLock(lock);
    EXPECT_EQ(lock->spinLock, nullptr);
    EXPECT_EQ(device_->clientInterruptHandler(), nullptr);

    kal::faults::failNth(kal::faults::kSpinLock, 1);
    tStatus none;
    EXPECT_EQ(device_->reserveInterruptWithPrimaryLock(&client, none, 0), nullptr);
    EXPECT_EQ(none.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(kal::pci::reservedInterrupts(), 0u);
}

TEST_F(PlatformInterrupt, ARefusedReservationLeavesNoClientBehind) {
    openDevice(true);
    CountingClient client;
    // Another driver holds the vector exclusively.
    auto other = [](void*) -> std::uint8_t { return 0; };
    ASSERT_EQ(nVOKAL1400_reserveInterrupt(device_->deviceInfo().interruptNumber, other, nullptr, "other", 0),
              0);
    tStatus status;
    device_->reserveInterrupt(&client, status, 0);
    EXPECT_EQ(status.getCode(), -52031) << "busy, translated";
    EXPECT_EQ(device_->clientInterruptHandler(), nullptr);
    const size_t spinLocks = kal::live::spinLocks();
    tStatus locked;
    EXPECT_EQ(device_->reserveInterruptWithPrimaryLock(&client, locked, 0), nullptr);
    EXPECT_EQ(locked.getCode(), -52031);
    EXPECT_EQ(kal::live::spinLocks(), spinLocks) << "the primary lock goes with the refusal";
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

// ---- bridge registers, manager and DMA channel --------------------------------------

TEST_F(PlatformInterrupt, ManagerDrivesTheMaskAndReadsStatusAndQueue) {
    openDevice(false);
    {
        tBrixelInterruptManager manager(&accessor_, false);
        manager.reactivate();
        EXPECT_EQ(bridge().control(), 0u) << "0x54000500 clears settings 15, 14, 13, 5 and 4";
        EXPECT_EQ(manager.dequeueInterrupt(), 0u) << "all ones reads as 0";
        EXPECT_FALSE(manager.acknowledgeInterrupt());
        manager.enableInterrupts(0x10000000);
        EXPECT_TRUE(bridge().armed());
        bridge().fire(2);
        EXPECT_TRUE(manager.acknowledgeInterrupt());
        EXPECT_FALSE(bridge().armed()) << "acknowledging masks the output";
        EXPECT_EQ(manager.dequeueInterrupt(), 0x10000002u);
        manager.rearmInterrupt();
        EXPECT_TRUE(bridge().armed());
        manager.deactivate();
        EXPECT_FALSE(bridge().armed());
        module_->setDeadBridge(true);
        EXPECT_FALSE(manager.acknowledgeInterrupt()) << "a dead bridge reads all ones";
        EXPECT_EQ(manager.dequeueInterrupt(), 0u);
        module_->setDeadBridge(false);
    }
    const auto written = module_->bar0().find("interrupt-control")->writtenValues(0);
    EXPECT_EQ(written, (std::vector<std::uint64_t>{0x54000500u, 0x94000500u, 0x40000000u, 0x80000000u,
                                                   0x40000000u, 0x40000000u}));
}

// The words the options select, and MSI leaving the registers alone.
TEST_F(PlatformInterrupt, ManagerBuildsMaskWordsAndLeavesRegistersAloneUnderMSI) {
    openDevice(false);
    struct Case {
        std::uint32_t options;
        std::uint32_t word;
    };
    const Case cases[] = {{0, 0x54000500u},           {0x10000000u, 0x94000500u}, {0x10000A00u, 0x94000A00u},
                          {0x13000000u, 0xA8000500u}, {0x200u, 0x94000600u},      {0x800u, 0x94000900u}};
    tBrixelInterruptManager manager(&accessor_, false);
    for (const Case& c : cases) {
        manager.enableInterrupts(c.options);
        EXPECT_EQ(module_->bar0().find("interrupt-control")->writtenValues(0).back(), c.word) << c.options;
    }
    const auto before = module_->bar0().find("interrupt-control")->writtenValues(0).size();
    tBrixelInterruptManager msi(&accessor_, true);
    EXPECT_TRUE(msi.acknowledgeInterrupt());
    msi.rearmInterrupt();
    EXPECT_EQ(module_->bar0().find("interrupt-control")->writtenValues(0).size(), before);
    EXPECT_EQ(module_->bar0().find("interrupt-status")->trace().size(), 0u);
}

} // namespace
