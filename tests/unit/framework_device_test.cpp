// The device template on a test device over the simulated PCI function:
// setup tracking, start, reset to a level, stop and power, the veto of a
// suspension, and what sessions see of each.
#include <gtest/gtest.h>

#include "framework_test_device.h"
#include "test_support.h"

namespace {

using namespace kelvo_test;
using kelvo_driver::nVOAPAL000::kIOGateClosed;
using kelvo_driver::nVOAPAL000::kIOGateOpen;
using kelvo_driver::nVOAPAL000::kPnPStateIOSuspended;
using kelvo_driver::nVOAPAL000::kPnPStateNotStarted;
using kelvo_driver::nVOAPAL000::kPnPStateReady;
using kelvo_driver::nVOAPAL000::kPnPStateSleep;
using kelvo_driver::nVOAPAL000::kSuspendReasonReset;
using kelvo_driver::nVOAPAL000::kSuspendReasonStart;

constexpr int64_t kTargetReached = tStatus::kSetupTargetReached;

using FrameworkDevice = FrameworkDeviceTest;

TEST_F(FrameworkDevice, StartSetsUpFullyPublishesThePropertiesAndOpensTheGate) {
    TestDevice& device = start();
    EXPECT_EQ(device.getPnPState(), kPnPStateReady);
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen);
    EXPECT_EQ(device.getSetupTracker().getCurrentLevel(), 19u);
    EXPECT_TRUE(device.getSetupTracker().getStatus().isSuccess());
    EXPECT_EQ(device.starts, 1);
    EXPECT_EQ(device.lastParameters, nullptr) << "start hands no reset parameters to setup";
    auto* const* properties = device.getDeviceProperties();
    ASSERT_NE(properties[0], nullptr);
    EXPECT_STREQ(properties[0]->name, "modelName");
    EXPECT_EQ(properties[1], nullptr);
    auto* const* interfaces = device.getDeviceInterfaces();
    ASSERT_NE(interfaces[0], nullptr);
    EXPECT_STREQ(interfaces[0]->getName(), "framework_test");
    EXPECT_EQ(interfaces[1], nullptr);
}

TEST_F(FrameworkDevice, ResetToLevelZeroTearsDownAndSetsNothingUp) {
    TestDevice& device = start();
    auto* requester = open();
    EXPECT_EQ(device.resetFrom(requester, 0).getCode(), kTargetReached);
    EXPECT_EQ(device.getSetupTracker().getCurrentLevel(), 0u);
    EXPECT_EQ(device.setups, 1) << "setup is not called for level 0";
    EXPECT_EQ(device.teardowns, 1);
    EXPECT_EQ(device.operation(requester, 0).getCode(), kInvalidated);
    auto* fresh = open();
    EXPECT_EQ(device.operation(fresh, 1).getCode(), kTargetReached);
}

TEST_F(FrameworkDevice, ResetCopiesTheCallersParametersWholeOrLeavesTheCopysError) {
    TestDevice& device = start();
    TestResetParameters parameters;
    for (uint64_t i = 0; i < 12; ++i) {
        parameters.words[i] = 0x1000 + i;
    }
    {
        kal::usermem::Scope scope;
        const uint64_t address = scope.add(&parameters, sizeof parameters, kal::usermem::kRead);
        EXPECT_TRUE(device.resetFrom(open(), 19, address).isSuccess());
    }
    ASSERT_NE(device.lastParameters, nullptr);
    EXPECT_EQ(std::memcmp(device.lastParameters.get(), &parameters, sizeof parameters), 0);

    // Only 95 of the 96 bytes belong to the caller: the copy is refused.
    kal::usermem::Scope scope;
    const uint64_t address = scope.add(&parameters, sizeof parameters - 1, kal::usermem::kRead);
    const int setupsBefore = device.setups;
    const tStatus result = device.resetFrom(open(), 19, address);
    EXPECT_TRUE(result.isFatal());
    EXPECT_EQ(device.setups, setupsBefore) << "nothing is set up after a failed copy";
    EXPECT_EQ(device.teardowns, 2) << "the device was torn down all the same";
    EXPECT_EQ(device.getSetupTracker().getStatus().getCode(), result.getCode());
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen) << "the gate is reopened";
    auto* fresh = open();
    EXPECT_EQ(device.operation(fresh, 1).getCode(), result.getCode());
}

TEST_F(FrameworkDevice, ResetWithoutParametersHandsNullToSetupAndAnErrorStatusDoesNothing) {
    TestDevice& device = start();
    auto* session = open();
    EXPECT_EQ(device.resetFrom(session, 3).getCode(), kTargetReached);
    EXPECT_EQ(device.lastParameters, nullptr);
    tStatus failed;
    KELVO_SET_STATUS(failed, -1);
    device.reset(kelvo_driver::nVOAPAL000::descriptorOf(open()), 19, 0, failed);
    EXPECT_EQ(failed.getCode(), -1);
    EXPECT_EQ(device.getResetCount(), 1u);
}

TEST_F(FrameworkDevice, OpenWaitsAtAPausedGateAndFailsAtAClosedOneWithoutASession) {
    TestDevice& device = start();
    ASSERT_TRUE(device.toState(kPnPStateIOSuspended, kSuspendReasonStart));
    EXPECT_EQ(device.getIOGateState(), kIOGateClosed);
    tStatus status;
    EXPECT_EQ(device.openSession(status), nullptr);
    EXPECT_EQ(status.getCode(), tStatus::kIOGateClosed);
    EXPECT_EQ(device.getSessionCount(), 0u);
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonStart));

    ASSERT_TRUE(device.toState(kPnPStateIOSuspended, kSuspendReasonReset));
    kelvo_driver::nVOAPAL000::tSession* opened = nullptr;
    Worker opener([&] {
        tStatus local;
        opened = device.openSession(local);
    });
    EXPECT_TRUE(opener.waitUntilBlocked());
    EXPECT_EQ(device.getSessionCount(), 0u);
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonStart));
    opener.join();
    ASSERT_NE(opened, nullptr);
    open_.push_back(opened);
}

TEST_F(FrameworkDevice, AVetoableSuspendIsVetoedWhileASessionIsOpen) {
    TestDevice& device = start();
    auto* session = open();
    EXPECT_FALSE(device.suspendIOProcessing(0, kSuspendReasonReset, true));
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen);
    EXPECT_TRUE(device.operation(session, 19).isSuccess());
    EXPECT_TRUE(device.suspendIOProcessing(0, kSuspendReasonReset, false));
    device.resumeIOProcessing(0);
    close(session);
    EXPECT_TRUE(device.suspendIOProcessing(0, kSuspendReasonReset, true)) << "no session: no veto";
    device.resumeIOProcessing(0);
}

TEST_F(FrameworkDevice, StopAndPowerDownInvalidateSessionsAndPowerUpStartsANewRun) {
    TestDevice& device = start();
    auto* before = open();
    ASSERT_TRUE(device.toState(kPnPStateSleep, kSuspendReasonReset));
    EXPECT_EQ(device.getResetCount(), 1u);
    EXPECT_EQ(device.teardowns, 1);
    EXPECT_EQ(device.getSetupTracker().getCurrentLevel(), 19u) << "power-down leaves the tracker";
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonReset));
    EXPECT_EQ(device.setups, 2);
    EXPECT_EQ(device.operation(before, 0).getCode(), kInvalidated);

    // A refused restore leaves every level above 0 closed with -52020.
    ASSERT_TRUE(device.toState(kPnPStateSleep, kSuspendReasonReset));
    device.setRestoreFlag(0);
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonReset));
    EXPECT_EQ(device.setups, 2);
    auto* after = open();
    ASSERT_NE(after, nullptr) << "open needs level 0 only";
    EXPECT_EQ(device.operation(after, 1).getCode(), tStatus::kInvalidState);
    EXPECT_TRUE(device.operation(after, 0).isSuccess());

    ASSERT_TRUE(device.toState(kPnPStateNotStarted, kSuspendReasonStart));
    EXPECT_EQ(device.getResetCount(), 3u);
    EXPECT_EQ(device.teardowns, 3);
}

TEST_F(FrameworkDevice, AStoppedDeviceStartsAgainWithAFullSetup) {
    TestDevice& device = start();
    auto* before = open();
    ASSERT_TRUE(device.toState(kPnPStateNotStarted, kSuspendReasonStart));
    EXPECT_EQ(device.getIOGateState(), kIOGateClosed);
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonStart));
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen);
    EXPECT_EQ(device.starts, 2);
    EXPECT_EQ(device.setups, 2);
    EXPECT_EQ(device.teardowns, 1);
    EXPECT_EQ(device.getSetupTracker().getCurrentLevel(), 19u);
    EXPECT_EQ(device.operation(before, 0).getCode(), kInvalidated);
    EXPECT_TRUE(device.operation(open(), 19).isSuccess());
    ASSERT_NE(device.getDeviceProperties()[0], nullptr);
    EXPECT_EQ(device.getDeviceProperties()[1], nullptr) << "the properties are published once";
}

TEST_F(FrameworkDevice, AFailedConstructionReportsOutOfMemoryAndTheObjectStillGoesAway) {
    for (uint64_t nth = 1; nth <= 8; ++nth) {
        kal::memory::failNth(nth);
        tStatus status;
        auto* device = new TestDevice(deviceInfoOf(*module_), status);
        kal::memory::clearFaults();
        if (device == nullptr) {
            continue;
        }
        if (status.isFatal()) {
            EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory) << nth;
        }
        delete device;
    }
    kal::faults::failNth(kal::faults::kMutex, 1);
    tStatus status;
    auto* device = new TestDevice(deviceInfoOf(*module_), status);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory) << "the device mutex";
    delete device;
}

} // namespace
