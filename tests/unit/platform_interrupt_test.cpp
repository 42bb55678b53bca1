// The device interrupt's reservation: relinquish racing interrupts, the primary lock, refusals.

#include "standin/exec_level.h"
#include "pci_test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

class PlatformInterrupt : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module_ = bus_.plug("solstra");
        tStatus status;
        device_ = new (status, false) tPCIDevice(kelvo_test::deviceInfoOf(*module_, true), status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        delete device_;
        EXPECT_EQ(kal::pci::reservedInterrupts(), 0u);
        EXPECT_EQ(module_->deviceErrorCount(), 0u) << ::testing::PrintToString(module_->deviceErrors());
        LeakCheckedTest::TearDown();
    }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    tPCIDevice* device_ = nullptr;
};

struct CountingClient : iPrimaryInterruptHandler {
    bool handleInterrupt() override {
        late += allowed.load() ? 0 : 1;
        locksHeld = kal::exec::spinLocksHeld();
        calls += 1;
        return true;
    }
    std::atomic<bool> allowed{false};
    std::atomic<std::uint64_t> calls{0}, late{0};
    std::atomic<int> locksHeld{0};
};

TEST_F(PlatformInterrupt, NoHandlerRunsAfterRelinquishReturnsEvenWhileInterruptsArrive) {
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

// The handler runs under the primary lock; a refused reservation leaves nothing behind.
TEST_F(PlatformInterrupt, APrimaryLockIsHeldAroundTheHandlerAndGoesWithTheReservation) {
    const uint32_t number = device_->deviceInfo().interruptNumber;
    auto other = [](void*) -> std::uint8_t { return 0; };
    const struct {
        const char* what;
        int64_t before; // the status's code on the way in
        bool failSpinLock;
        bool vectorTaken;
        int64_t code;
    } cases[] = {
        {"the vector taken", 0, false, true, KELVO_STATUS_BUSY},
        {"no spin lock", 0, true, false, tStatus::kOutOfMemory},
        {"a failed status", -1, false, false, -1},
        {"reserved after the refusals", 0, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.vectorTaken) {
            ASSERT_EQ(nVOKAL1400_reserveInterrupt(number, other, nullptr, "other", 0), 0);
        }
        if (c.failSpinLock) {
            kal::faults::failNth(kal::faults::kSpinLock, 1);
        }
        const size_t spinLocks = kal::live::spinLocks();
        const size_t reserved = kal::pci::reservedInterrupts();
        CountingClient client;
        tStatus status;
        KELVO_SET_STATUS(status, c.before);
        tPrimaryLock* lock = device_->reserveInterruptWithPrimaryLock(&client, status, 0);
        EXPECT_EQ(status.getCode(), c.code);
        ASSERT_EQ(lock != nullptr, c.code == 0);
        if (lock != nullptr) {
            kal::pci::raiseInterrupt(module_->pciHandle());
            kal::pci::drainInterrupts();
            EXPECT_EQ(client.calls.load(), 1u);
            EXPECT_EQ(client.locksHeld.load(), 1) << "the handler runs under the primary lock";
            device_->relinquishInterruptWithPrimaryLock(nullptr);
            EXPECT_EQ(device_->clientInterruptHandler(), &client) << "no lock, nothing relinquished";
            device_->relinquishInterruptWithPrimaryLock(lock);
            EXPECT_EQ(lock->spinLock, nullptr);
        }
        EXPECT_EQ(std::make_tuple(device_->clientInterruptHandler(), kal::live::spinLocks(),
                                  kal::pci::reservedInterrupts()),
                  std::make_tuple(nullptr, spinLocks, reserved));
        if (c.vectorTaken) {
            nVOKAL100_relinquishInterrupt(number, other, nullptr);
        }
        kal::faults::clear();
    }
    CountingClient client;
    EXPECT_DEATH(
        {
            tStatus first;
            device_->reserveInterrupt(&client, first, 0);
            tStatus second;
            device_->reserveInterrupt(&client, second, 0);
        },
        "_clientInterruptHandler == nullptr");
}

// A handler's DPC runs at DPC level on the interrupt's thread once the handler returns; a held one waits
// for its own thread.
TEST_F(PlatformInterrupt, AHandlersDpcRunsOnTheInterruptThreadUnlessHeld) {
    struct Seen {
        nVOKAL_tHandle dpc = nullptr;
        std::atomic<std::thread::id> handler{}, ran{};
        std::atomic<int> runs{0};
        std::atomic<bool> atDpcLevel{false};
    } seen;
    seen.dpc = nVOKAL100_createDPC([](void* context) {
        auto* s = static_cast<Seen*>(context);
        s->atDpcLevel = kal::exec::current() == kal::exec::Level::dpc;
        s->ran = std::this_thread::get_id();
        s->runs += 1;
    });
    auto handler = [](void* context) -> std::uint8_t {
        auto* s = static_cast<Seen*>(context);
        s->handler = std::this_thread::get_id();
        nVOKAL100_scheduleDPC(s->dpc, s);
        return 1;
    };
    const uint32_t number = device_->deviceInfo().interruptNumber;
    ASSERT_EQ(nVOKAL1400_reserveInterrupt(number, handler, &seen, "dpc-test", 0), 0);
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "not held");
        seen.runs = 0;
        kal::dpc::hold(held);
        kal::pci::raiseInterrupt(module_->pciHandle());
        kal::pci::drainInterrupts(); // the handler's round, with what it runs after the handler
        EXPECT_EQ(seen.runs.load(), held ? 0 : 1);
        kal::dpc::hold(false);
        kal::dpc::drain();
        EXPECT_EQ(seen.runs.load(), 1);
        EXPECT_TRUE(seen.atDpcLevel.load());
        EXPECT_EQ(seen.ran.load() == seen.handler.load(), !held);
    }
    nVOKAL100_relinquishInterrupt(number, handler, &seen);
    nVOKAL100_destroyDPC(seen.dpc);
}

} // namespace
