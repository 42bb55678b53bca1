// The device template: reset to a level and its parameters, and the veto of a suspension.
#include <cstring>

#include "framework_test_device.h"

namespace {

using namespace kelvo_test;
using namespace kelvo_driver::nVOAPAL000;

using FrameworkDevice = FrameworkDeviceTest;

// A reset to level 0 tears down and sets nothing up; a reset copies the caller's parameters whole.
TEST_F(FrameworkDevice, ResetToLevelZeroOrWithTheCallersParametersCopiedWholeOrTheCopysError) {
    TestDevice& device = start();
    EXPECT_EQ(device.resetFrom(open(), 0).getCode(), kTargetReached);
    EXPECT_EQ(std::tuple(device.getSetupTracker().getCurrentLevel(), device.setups, device.teardowns),
              std::tuple(0u, 1, 1))
        << "setup is not called for level 0";
    EXPECT_EQ(device.operation(open(), 1).getCode(), kTargetReached);
    TestResetParameters parameters{
        {0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007, 0x1008, 0x1009, 0x100A, 0x100B}};
    {
        kal::usermem::Scope scope;
        const uint64_t address = scope.add(&parameters, sizeof parameters, kal::usermem::kRead);
        EXPECT_TRUE(device.resetFrom(open(), 19, address).isSuccess());
    }
    ASSERT_NE(device.lastParameters, nullptr);
    EXPECT_EQ(std::memcmp(device.lastParameters.get(), &parameters, sizeof parameters), 0);

    // Only 95 of the 96 bytes belong to the caller: the copy is refused.
    kal::usermem::Scope scope;
    const tStatus result =
        device.resetFrom(open(), 19, scope.add(&parameters, sizeof parameters - 1, kal::usermem::kRead));
    EXPECT_TRUE(result.isFatal());
    EXPECT_EQ(device.setups, 2) << "nothing is set up after a failed copy";
    EXPECT_EQ(device.teardowns, 3) << "the device was torn down all the same";
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen) << "the gate is reopened";
    EXPECT_EQ(device.operation(open(), 1).getCode(), result.getCode());
}

// A suspension also completes the device's queued asynchronous I/O.
TEST_F(FrameworkDevice, OpenFailsAtAClosedGateAndAVetoableSuspendIsVetoedWhileASessionIsOpen) {
    struct CountingIO : tAsyncIO {
        void completeCallback(void*) override { ++completions; }
        int completions = 0;
    } pausing;
    TestDevice& device = start();
    ASSERT_TRUE(device.toState(kPnPStateIOSuspended, kSuspendReasonStart));
    tStatus status;
    EXPECT_EQ(device.openSession(status), nullptr);
    EXPECT_EQ(status.getCode(), tStatus::kIOGateClosed);
    EXPECT_EQ(device.getSessionCount(), 0u);
    ASSERT_TRUE(device.toState(kPnPStateReady, kSuspendReasonStart));

    auto* session = open();
    EXPECT_FALSE(device.suspendIOProcessing(0, kSuspendReasonReset, true));
    EXPECT_EQ(device.getIOGateState(), kIOGateOpen);
    tStatus started;
    tAsyncIO::start(device, pausing, nullptr, started);
    EXPECT_TRUE(device.suspendIOProcessing(0, kSuspendReasonReset, false));
    EXPECT_EQ(pausing.completions, 1);
    device.resumeIOProcessing(0);
    close(session);
    EXPECT_TRUE(device.suspendIOProcessing(0, kSuspendReasonReset, true)) << "no session: no veto";
    device.resumeIOProcessing(0);
}

} // namespace
