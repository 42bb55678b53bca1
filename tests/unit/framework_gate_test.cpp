// I/O gates and sentries, and resets that meet requests inside the gate and at it.
#include "framework/io_gate.h"
#include "framework_test_device.h"

namespace {

using namespace kelvo_test;
using namespace kelvo_driver::nVOAPAL000;

using FrameworkGate = FrameworkDeviceTest;

struct CountingSentry : kdut::IOGateSentryInterface {
    explicit CountingSentry(int64_t failure = 0) : failure_(failure) {}
    void onEnterIOGate(tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        ++runs;
        if (failure_ != 0) {
            KELVO_SET_STATUS(status, failure_);
        }
    }
    int runs = 0;
    int64_t failure_;
};

TEST_F(FrameworkGate, SentriesRunInOrderAfterAdmissionAndTheFirstRefusalDecides) {
    TestDevice& device = start();
    kdut::IOGate gate(device, nullptr);
    CountingSentry first(KELVO_STATUS_INVALID_PARAMETER), second;
    tStatus status;
    gate.addSentry(&first, status);
    gate.addSentry(&second, status);
    gate.enter(status);
    EXPECT_EQ(status.getCode(), tStatus::kInvalidParameter);
    EXPECT_EQ(std::pair(first.runs, second.runs), std::pair(1, 0));
    EXPECT_EQ(device.getIOCount(), 1u) << "a refused request stays counted until it leaves";
    gate.exit();
    gate.exit();
    EXPECT_EQ(device.getIOCount(), 0u) << "leaving twice releases once";

    auto* session = open();
    tStatus entered;
    {
        TestDevice::Gate counted(device, kernel(session), device.getSetupTracker(), 19, entered);
        EXPECT_EQ(session->getIOCount(), 1u);
    }
    EXPECT_EQ(session->getIOCount(), 0u);
}

TEST_F(FrameworkGate, AResetWaitsForTheRequestInsideEndsItsWaitsHoldsNewOnesAndLetsThemInAfterward) {
    kal::clock::clearSleepLog();
    kal::clock::ScopedStepped stepped; // the reset's looks at the count move the clock by their sleeps
    TestDevice& device = start();
    auto* inside = open();
    auto* requester = open();

    // Admitted before the reset, it waits cancellably only after the first cancel: a later look ends it.
    Latch proceed;
    tStatus insideResult;
    Worker insideWorker([&] {
        insideResult = device.operation(inside, 19, [&](tStatus& s) {
            proceed.wait();
            device.waitCancellable(s);
        });
    });
    EXPECT_TRUE(insideWorker.waitUntilBlocked());
    EXPECT_EQ(device.getIOCount(), 1u);

    tStatus resetResult;
    Worker resetter([&] { resetResult = device.resetFrom(requester, 5); });
    EXPECT_TRUE(eventually([&] { return device.getIOGateState() == kIOGatePaused; }));
    EXPECT_TRUE(eventually([&] { return device.cancelCalls.load() > 0; }))
        << "the reset looks at the count while the request is inside";

    tStatus lateOld, lateOpen;
    tSession* opened = nullptr;
    Worker oldSessionWorker([&] { lateOld = device.operation(inside, 0); });
    Worker openWorker([&] { opened = device.openSession(lateOpen); });
    EXPECT_TRUE(oldSessionWorker.waitUntilBlocked());
    EXPECT_TRUE(openWorker.waitUntilBlocked());
    EXPECT_EQ(device.teardowns, 0) << "no teardown while a request is inside";
    EXPECT_FALSE(resetter.done());

    const int callsBefore = device.cancelCalls.load();
    proceed.open();
    insideWorker.join();
    EXPECT_EQ(insideResult.getCode(), kInvalidated);
    EXPECT_GT(device.cancelCalls.load(), callsBefore);
    resetter.join();
    EXPECT_EQ(resetResult.getCode(), kTargetReached);
    // Its looks sleep on the precise clock: 1000 us, then the 1 ns of resolution, then 2000 us.
    const std::vector<uint32_t> sleeps = sleepsOf(resetter.id());
    ASSERT_GE(sleeps.size(), 3u);
    EXPECT_EQ(std::vector<uint32_t>(sleeps.begin(), sleeps.begin() + 3),
              (std::vector<uint32_t>{1000, 0, 2000}));
    oldSessionWorker.join();
    openWorker.join();
    EXPECT_EQ(lateOld.getCode(), kInvalidated) << "admitted after the resume, then refused as invalid";
    ASSERT_TRUE(lateOpen.isSuccess());
    ASSERT_NE(opened, nullptr);
    open_.push_back(opened);
    EXPECT_EQ(device.operation(opened, 19).getCode(), kTargetReached) << "the new level applies";
    EXPECT_TRUE(device.operation(opened, 5).isSuccess());
    EXPECT_FALSE(device.cancelledWhileOpen.load()) << "waits are cancelled only while the gate admits none";
    EXPECT_EQ(device.getIOCount(), 0u);
}

// A start or a removal closes a held gate and wakes every request waiting there, which then fails.
TEST_F(FrameworkGate, AStartOrRemovalWakesTheRequestsWaitingAtTheHeldGateAndTheyFail) {
    TestDevice& device = start();
    auto* session = open();
    for (const tSuspendReason reason : {kSuspendReasonStart, kSuspendReasonRemove}) {
        SCOPED_TRACE(reason);
        ASSERT_TRUE(device.toState(kPnPStateIOSuspended, kSuspendReasonReset));
        ASSERT_EQ(device.getIOGateState(), kIOGatePaused);
        tStatus request, opening;
        tSession* opened = nullptr;
        {
            Worker requester([&] { request = device.operation(session, 0); });
            Worker opener([&] { opened = device.openSession(opening); });
            ASSERT_TRUE(requester.waitUntilBlocked());
            ASSERT_TRUE(opener.waitUntilBlocked());
            EXPECT_TRUE(device.suspendIOProcessing(0, reason, false));
            if (!eventually([&] { return requester.done() && opener.done(); })) {
                ADD_FAILURE() << "the waiters still wait";
                device.resumeIOProcessing(0); // lets them in, to end the test
            }
        }
        if (opened != nullptr) {
            open_.push_back(opened); // let in by a broken wake-up: closed at the end
        }
        ASSERT_EQ(std::tuple(request.getCode(), opening.getCode(), opened, device.getIOGateState()),
                  std::tuple(tStatus::kIOGateClosed, tStatus::kIOGateClosed, nullptr, kIOGateClosed));
        ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonReset));
    }
}

TEST_F(FrameworkGate, TwoResetsAtOnceRunOneAfterTheOtherAndTheSecondFindsItsSessionInvalid) {
    kal::clock::ScopedScale fast(1000);
    TestDevice& device = start();
    auto* first = open();
    auto* second = open();
    tStatus a, b;
    {
        Worker one([&] { a = device.resetFrom(first, 19); });
        Worker two([&] { b = device.resetFrom(second, 19); });
    }
    EXPECT_EQ(device.getResetCount(), 1u);
    EXPECT_EQ(device.teardowns, 1);
    EXPECT_TRUE((a.isSuccess() && b.getCode() == kInvalidated) ||
                (b.isSuccess() && a.getCode() == kInvalidated))
        << a.getCode() << " " << b.getCode();
    EXPECT_EQ(device.getIOCount(), 0u);
}

TEST_F(FrameworkGate, AResetArrivingWhileAPowerDownHoldsTheGateWaitsWithoutBlockingIt) {
    kal::clock::ScopedScale fast(1000);
    TestDevice& device = start();
    auto* requester = open();
    ASSERT_TRUE(device.toState(kPnPStateIOSuspended, kSuspendReasonReset));
    ASSERT_EQ(device.getIOGateState(), kIOGatePaused);

    tStatus resetResult;
    Worker resetter([&] { resetResult = device.resetFrom(requester, 19); });
    EXPECT_TRUE(resetter.waitUntilBlocked());
    // The power-down needs the device mutex: the waiting reset must not hold it.
    EXPECT_TRUE(device.toState(kPnPStateSleep, kSuspendReasonReset));
    EXPECT_EQ(device.teardowns, 1);
    EXPECT_TRUE(device.toState(kPnPStateReady, kSuspendReasonReset));
    resetter.join();
    EXPECT_EQ(resetResult.getCode(), kInvalidated) << "the power-down invalidated the requester";
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen);
    EXPECT_EQ(device.getIOCount(), 0u);
}

} // namespace
