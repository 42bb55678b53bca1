// The bridge interrupt controller over the simulated module; the DMA interrupt controller's waits.

#include "bridge/dma_interrupt_controller.h"
#include "framework_test_device.h"

namespace {

using namespace brixeltools;
using namespace kelvo_driver::nVOAPAL000;
using namespace kelvo_test;
using nVOAPALS100::tStatus;

constexpr int32_t kCancel = KELVO_STATUS_WAIT_CANCELLED;

// Counts the signals delivered; the hook runs inside the work function.
class CountingTarget : public BrixelDMAInterruptController {
public:
    CountingTarget(InterruptRegistrationInterface* registration, tStatus& status)
        : BrixelDMAInterruptController(registration, status) {}
    void signal(uint32_t id, int32_t) override {
        if (hook) {
            hook(id);
        }
        counts[id % counts.size()] += 1;
    }
    uint64_t count(uint32_t id) { return counts[id].load(); }
    bool waitFor(uint32_t id, uint64_t n) {
        return eventually([&] { return counts[id].load() >= n; });
    }

    std::function<void(uint32_t)> hook;
    std::array<std::atomic<uint64_t>, 16> counts{};
};

class BridgeInterrupts : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module_ = bus_.plug("solstra");
    }
    void TearDown() override {
        close();
        EXPECT_EQ(std::tuple(kal::pci::reservedInterrupts(), kal::thread::unjoinedThreads(),
                             module_->deviceErrorCount()),
                  std::tuple(0u, 0u, 0u));
        LeakCheckedTest::TearDown();
    }
    void open(bool msi) {
        tStatus status;
        device_ = new (status, false) tPCIDevice(deviceInfoOf(*module_, msi), status);
        window_ = device_->mapMemoryWindow(0, status, 0);
        ASSERT_TRUE(status.isSuccess());
        bar_ = tPCIMemorySpaceAccessor(window_, device_->deviceInfo().memoryWindows[0].size);
        controller_.reset(new (status, true) InterruptController(*device_, bar_, status));
        ASSERT_TRUE(status.isSuccess());
    }
    void close() {
        controller_.reset();
        if (device_ != nullptr) {
            device_->unmapMemoryWindow(0, window_, 0);
            delete device_;
            device_ = nullptr;
        }
    }
    std::unique_ptr<CountingTarget> target() {
        tStatus status;
        auto t = std::make_unique<CountingTarget>(controller_.get(), status);
        EXPECT_TRUE(status.isSuccess());
        return t;
    }
    void registerId(CountingTarget& t, uint32_t id) {
        ASSERT_EQ(codeOf([&](tStatus& s) { controller_->registerNotifier(&t, id, s); }), 0);
    }
    sim::BridgeInterrupts& bridge() { return module_->bridge().interrupts(); }
    std::vector<uint64_t> maskWrites() { return module_->bar0().find("interrupt-control")->writtenValues(0); }

    sim::Bus bus_;
    std::shared_ptr<sim::Module> module_;
    tPCIDevice* device_ = nullptr;
    void* window_ = nullptr;
    tPCIMemorySpaceAccessor bar_;
    std::unique_ptr<InterruptController> controller_;
};

// Line interrupts mask and re-arm the bridge, MSI leaves it alone.
TEST_F(BridgeInterrupts, WordsReachTheirNotifierUnderLineAndMessageInterrupts) {
    const struct {
        bool msi;
        std::vector<uint64_t> writesAfterConstruction;
    } cases[] = {{false, {0x40000000u, 0x80000000u, 0x40000000u, 0x80000000u}}, {true, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.msi);
        const size_t before = maskWrites().size();
        open(c.msi);
        const auto construction = maskWrites();
        EXPECT_EQ(std::vector<uint64_t>(construction.begin() + before, construction.end()),
                  (std::vector<uint64_t>{0x54000500u, 0x94000500u, 0x80000000u}));
        auto t = target();
        auto other = target();
        registerId(*t, 3);
        registerId(*other, 3);              // the first registration stays
        controller_->unregisterNotifier(7); // not registered: no effect
        kal::dpc::hold(true);               // both words are read by one DPC run
        bridge().fire(9);                   // nobody listens: dropped
        bridge().fire(3);
        kal::pci::drainInterrupts();
        kal::dpc::hold(false);
        ASSERT_TRUE(t->waitFor(3, 1));
        kal::pci::drainInterrupts();
        kal::dpc::drain();
        const auto earlier = kal::pci::interruptCounts(device_->deviceInfo().interruptNumber);
        bridge().fire(3);
        ASSERT_TRUE(t->waitFor(3, 2));
        kal::pci::drainInterrupts();
        kal::dpc::drain();
        const auto counts = kal::pci::interruptCounts(device_->deviceInfo().interruptNumber);
        EXPECT_EQ(std::tuple(counts.rounds - earlier.rounds, counts.unclaimed - earlier.unclaimed),
                  std::tuple(1u, 0u))
            << "the handler claims the interrupt it serviced";
        EXPECT_EQ(std::tuple(t->count(9), other->count(3)), std::tuple(0u, 0u));
        // An interrupt raised again while the first is acknowledged masks once more: repeats are folded.
        const auto writes = maskWrites();
        std::vector<uint64_t> after(writes.begin() + before + 3, writes.end());
        after.erase(std::unique(after.begin(), after.end()), after.end());
        EXPECT_EQ(after, c.writesAfterConstruction);
        controller_->unregisterNotifier(3);
        close();
    }
}

// The one worker is held in id 5's call until the quiesce is past the DPC and waits for it; id 3 is queued.
TEST_F(BridgeInterrupts, AnItemStillQueuedAtTheQuiesceNeverRuns) {
    open(true);
    const uint64_t caller = nVOKAL100_getThreadID();
    const size_t dpcs = kal::dpc::live();
    std::atomic<bool> quiescing{false}, inside{false};
    auto t = target();
    t->hook = [&](uint32_t id) {
        if (id == 5) {
            inside = true;
            eventually(
                [&] { return quiescing && kal::dpc::live() < dpcs && kal::thread::isBlocked(caller); });
        }
    };
    registerId(*t, 5);
    registerId(*t, 3);
    bridge().fire(5);
    EXPECT_TRUE(eventually([&] { return inside.load(); })) << "the worker is busy with id 5";
    bridge().fire(3);
    bridge().fire(3);
    kal::pci::drainInterrupts();
    kal::dpc::drain();
    quiescing = true;
    controller_->quiesce();
    EXPECT_EQ(std::tuple(t->count(5), t->count(3)), std::tuple(1u, 0u))
        << "the queued item was dropped, not run";
    controller_->unregisterNotifier(3);
    controller_->unregisterNotifier(5);
}

class FakeChannel : public DMAStreamInterface {
public:
    void writeStreamAdditiveTransferCount(uint32_t, tStatus&) override {}
    void setTransferCountNotification(uint64_t value, tStatus& status) override {
        if (status.isNotFatal()) {
            std::lock_guard g(lock);
            armed.push_back(value);
        }
    }
    uint64_t getTransferCount(tStatus& status) override {
        if (onCount) {
            onCount();
        }
        return status.isFatal() ? 0 : count.load();
    }
    void enableInterrupt() override { enabled = true; }
    void disableInterrupt() override { enabled = false; }
    std::vector<uint64_t> arms() {
        std::lock_guard g(lock);
        return armed;
    }

    std::function<void()> onCount; // on the waiter's thread, at every count read
    std::atomic<uint64_t> count{0};
    std::atomic<bool> enabled{false};
    std::mutex lock;
    std::vector<uint64_t> armed;
};

class FakeRegistration : public InterruptRegistrationInterface {
public:
    void registerNotifier(BrixelDMAInterruptController*, uint32_t, tStatus&) override {}
    void unregisterNotifier(uint32_t) override { unregistered += 1; }
    std::atomic<uint32_t> unregistered{0};
};

class DmaWaits : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        tStatus status;
        waits = std::make_unique<BrixelDMAInterruptController>(&registration, status);
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        waits.reset();
        LeakCheckedTest::TearDown();
    }
    struct Result {
        int64_t code = 0;
        bool timedOut = false;
    };
    Result wait(FakeChannel& channel, uint32_t id, uint64_t start, uint64_t bytes, uint32_t timeout) {
        Result r;
        tStatus status;
        waits->waitUntilBytesTransferred(channel, id, start, bytes, timeout, &r.timedOut, status);
        r.code = status.getCode();
        return r;
    }
    std::thread waitAsync(FakeChannel& channel, uint32_t id, uint64_t bytes, uint32_t timeout,
                          Result& result) {
        return std::thread([&, id, bytes, timeout] { result = wait(channel, id, 0, bytes, timeout); });
    }

    FakeRegistration registration;
    std::unique_ptr<BrixelDMAInterruptController> waits;
};

TEST_F(DmaWaits, SatisfiedOrEmptyWaitsReturnAtOnce) {
    const struct {
        uint64_t count, start, bytes;
        uint32_t timeout;
        bool timedOut;
    } cases[] = {
        {0, 0, 0, 0xFFFFFFFF, false},     // nothing to wait for
        {100, 10, 90, 0xFFFFFFFF, false}, // reached
        {5, 10, 90, 0xFFFFFFFF, false},   // count below start wraps: done
        {0, 0, 64, 0, true},              // timeout 0: only a look
        {0, 0, 64, 0xFFFFFFFE, true},     // the longest timeout, passed by the clock's next read
    };
    kal::clock::ScopedStepped stepped(0xFFFFFFFFull * 1000000); // each clock read passes any timeout
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        FakeChannel channel;
        channel.count = c.count;
        const Result r = wait(channel, 1, c.start, c.bytes, c.timeout);
        EXPECT_EQ(
            std::tuple(r.code, r.timedOut, channel.arms(), channel.enabled.load(), waits->waiterCount()),
            std::tuple(int64_t{0}, c.timedOut, std::vector<uint64_t>{c.start + c.bytes}, false, 0u));
    }
    EXPECT_EQ(registration.unregistered.load(), 5u);
}

TEST_F(DmaWaits, SignalsAndTimeoutsEndABlockedWait) {
    const struct {
        const char* what;
        int32_t code;    // 1: none (the timeout ends it)
        bool shortFirst; // a code 0 with the count still short comes first
        uint32_t timeout;
        int64_t answer;
        bool timedOut;
    } cases[] = {
        {"notify-at", 0, false, 0xFFFFFFFF, 0, false},
        {"cancel", kCancel, false, 0xFFFFFFFF, kCancel, false},
        {"cancel after a short wake-up", kCancel, true, 0xFFFFFFFF, kCancel, false},
        {"timeout", 1, false, 2000, 0, true},
    };
    kal::clock::ScopedScale fast(1000); // 2 s of stand-in time pass in 2 ms
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeChannel channel;
        Result result;
        std::thread waiter = waitAsync(channel, 1, 64, c.timeout, result);
        if (c.code != 1) {
            EXPECT_TRUE(eventually([&] { return channel.enabled.load(); }));
            if (c.shortFirst) {
                channel.count = 10;
                waits->signal(1, 0);
                EXPECT_TRUE(eventually([&] { return channel.arms().size() == 2; })) << "armed again";
            }
            channel.count = c.code == 0 ? 64 : 0; // only the notify-at comes with the bytes
            waits->signal(1, c.code);
        }
        waiter.join();
        EXPECT_EQ(std::tuple(result.code, result.timedOut, channel.enabled.load()),
                  std::tuple(c.answer, c.timedOut, false));
        waits->signal(1, kCancel); // no waiter: nothing is remembered
    }
    EXPECT_EQ(waits->waiterCount(), 0u);
}

// A wake-up short of the bytes at 600 of the 1000 ms leaves the second wait only what is left of
// them: it ends timed out at the first deadline, never later.
TEST_F(DmaWaits, AShortWakeUpDoesNotRestartTheTimeout) {
    kal::clock::ScopedStepped stepped;               // the stand-in time moves only by the sleeps below
    for (const uint32_t late : {500000u, 100000u}) { // slept at the read before the second wait
        SCOPED_TRACE(late);
        FakeChannel channel;
        int reads = 0;
        channel.onCount = [&] {
            if (++reads == 1) {
                nVOKAL250_sleepTimeout(600000);
                channel.count = 10;
                waits->signal(1, 0);
            } else if (reads == 3) {
                nVOKAL250_sleepTimeout(late);
            }
        };
        Result result;
        Worker waiter([&] { result = wait(channel, 1, 0, 64, 1000); });
        if (late < 400000) { // the second wait blocks (nothing else does): time moves on to the deadline
            ASSERT_TRUE(waiter.waitUntilBlocked());
            nVOKAL250_sleepTimeout(400000 - late);
        }
        if (!eventually([&] { return waiter.done(); })) {
            waits->signal(1, kCancel); // still waiting past its deadline: end it
        }
        waiter.join();
        EXPECT_TRUE(result.timedOut) << "the second wait had only what was left";
    }
}

// Codes that arrive while a short wake-up is looked at: the first is the answer, later ones are dropped.
TEST_F(DmaWaits, TheFirstCodeAfterAShortWakeUpStands) {
    FakeChannel channel;
    int reads = 0;
    channel.onCount = [&] {
        if (++reads == 2) { // the look after the wake-up
            waits->signal(1, kCancel);
            waits->signal(1, KELVO_STATUS_UNSUPPORTED_VALUE);
        }
    };
    channel.count = 10;
    Result result;
    std::thread waiter = waitAsync(channel, 1, 64, 0xFFFFFFFF, result);
    ASSERT_TRUE(eventually([&] { return channel.enabled.load(); }));
    waits->signal(1, 0);
    waiter.join();
    EXPECT_EQ(result.code, kCancel);
}

// A wait with its owner's record: refused by the record, or revoked (by its owner, or as another
// owner's grant revokes the others' waits) before it registers, while it waits, at the look after a
// short wake-up (the count there by then) or just before that wake-up's re-arm: it answers the cancel
// code, armed once at most and its interrupt off, and a wait on its id registers as soon as the revoke
// returns.
TEST_F(DmaWaits, ARevokedWaitAnswersTheCancelCodeAndLeavesItsIdAtOnce) {
    struct Record : BrixelDMAInterruptController::Wait {
        explicit Record(const void* owner) : Wait(owner) {}
        bool admit(tStatus& status) override {
            KELVO_SET_STATUS(status, refusal);
            return status.isNotFatal();
        }
        int64_t refusal = 0;
    };
    enum When { kRefused, kBefore, kBlocked, kByAGrant, kAtTheLook, kBeforeTheReArm };
    const char* const names[] = {"refused",    "before",      "blocked",
                                 "by a grant", "at the look", "before the re-arm"};
    const int owner = 0, other = 0;
    for (int when = kRefused; when <= kBeforeTheReArm; ++when) {
        SCOPED_TRACE(names[when]);
        FakeChannel channel, next;
        Record record(&owner);
        record.refusal = when == kRefused ? KELVO_STATUS_CHANNEL_NOT_RESERVED : 0;
        if (when == kBefore) {
            waits->revoke(record);
        }
        Result result, second;
        std::atomic<bool> looked = false;
        channel.onCount = [&] {
            if (channel.count == 10 && !looked.exchange(true) && when == kAtTheLook) {
                waits->revoke(record);
                channel.count = 64;
            }
        };
        Worker waiter([&] {
            bool inHook = false;
            int after = 0; // locks after the look: the pending code's, then the re-arm's
            kal::thread::onMutexAcquire([&] {
                if (looked && !inHook && ++after == 2 && when == kBeforeTheReArm) {
                    inHook = true;
                    waits->revoke(record);
                }
            });
            tStatus status;
            const uint32_t timeout = when <= kBefore ? 0 : 0xFFFFFFFF; // (one let in would time out)
            waits->waitUntilBytesTransferred(channel, 1, 0, 64, timeout, &result.timedOut, status, &record);
            kal::thread::onMutexAcquire({});
            result.code = status.getCode();
        });
        if (when >= kBlocked) {
            ASSERT_TRUE(eventually([&] { return channel.enabled.load(); }));
            waits->revokeOthers(1, &owner); // its own owner's grant leaves it
            EXPECT_EQ(waits->waiterCount(), 1u);
            if (when >= kAtTheLook) {
                channel.count = 10;
                waits->signal(1, 0);
            } else if (when == kByAGrant) {
                waits->revokeOthers(1, &other);
            } else {
                waits->revoke(record);
            }
            if (when < kAtTheLook) {
                second = wait(next, 1, 0, 64, 0);
                EXPECT_EQ(std::tuple(second.code, second.timedOut), std::tuple(int64_t{0}, true))
                    << "the id is free";
            }
        }
        waiter.join();
        EXPECT_EQ(std::tuple(result.code, result.timedOut, channel.arms(), channel.enabled.load(),
                             waits->waiterCount()),
                  std::tuple(when == kRefused ? int64_t{KELVO_STATUS_CHANNEL_NOT_RESERVED} : int64_t{kCancel},
                             false, when <= kBefore ? std::vector<uint64_t>{} : std::vector<uint64_t>{64},
                             false, 0u));
    }
}

// A second wait on an id is refused before arming; destruction wakes every blocked waiter.
TEST_F(DmaWaits, ASecondWaitIsRefusedAndDestructionEndsBlockedWaiters) {
    FakeChannel channels[2];
    Result results[2];
    std::thread a = waitAsync(channels[0], 0, 64, 0xFFFFFFFF, results[0]);
    std::thread b = waitAsync(channels[1], 1, 64, 0xFFFFFFFF, results[1]);
    ASSERT_TRUE(eventually([&] { return waits->waiterCount() == 2 && channels[0].enabled.load(); }));
    const Result second = wait(channels[0], 0, 0, 8, 0);
    // The first waiter stays armed.
    EXPECT_EQ(std::tuple(second.code, channels[0].enabled.load(), channels[0].arms(),
                         registration.unregistered.load(), waits->waiterCount()),
              std::tuple(int64_t{KELVO_STATUS_INVALID_STATE}, true, std::vector<uint64_t>{64}, 0u, 2u));
    waits.reset();
    a.join();
    b.join();
    EXPECT_EQ(results[0].code, KELVO_STATUS_UNSUPPORTED_VALUE);
    EXPECT_EQ(results[1].code, KELVO_STATUS_UNSUPPORTED_VALUE);
}

} // namespace
