// The setup sequence and teardown over the test-only level table (stand-in
// tasks behind levels 3 to 18): level 19, a failure at any level, resets to
// any level, the serial number and storage-map checks, the routing session's
// notifier, and the order of teardown.
#include <algorithm>
#include <string>
#include <vector>

#include "core/calibration_dispatcher.h"
#include "core/kelvo_helper.h"
#include "core/storage_map_checkers.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "platform/kal_status.h"

namespace {

using kelvo_driver::KelvoDevice;
using kelvo_test::standIns;
using nVOAPALS100::tStatus;

int kal(int64_t code) {
    return nVOAPAL200_statusToKALStatus(code);
}

class SetupSequence : public kelvo_test::HostedTest {
protected:
    void TearDown() override {
        HostedTest::TearDown();
        EXPECT_EQ(standIns().registeredSessions, 0) << "every routing session unregistered";
    }
    kelvo_test::ScopedTestLevels levels_;
};

std::vector<std::string> fromLevel(const std::vector<std::string>& log, const std::string& first) {
    auto it = std::find(log.begin(), log.end(), first);
    return std::vector<std::string>(it, log.end());
}

// A cleanup operation of a session that logs when it runs.
class LoggingCleanup : public kdut::CleanupOperationInterface {
public:
    void cleanup(tStatus&) override { standIns().record("session cleanup"); }
};

// What a reset or a removal does while requests are still inside: every DMA
// channel's wait ends invalidated, once the DMA objects (level 14) exist.
TEST_F(SetupSequence, CancellingPendingWaitsEndsEachChannelsWaitFromTheDMALevelOn) {
    const int32_t invalidated = static_cast<int32_t>(0xBFFA9179u);
    const struct {
        uint32_t failLevel; // 0: every level built
        std::vector<std::pair<uint32_t, int32_t>> signals;
    } cases[] = {
        {0, {{0, invalidated}, {1, invalidated}}},
        {15, {{0, invalidated}, {1, invalidated}}},
        {14, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failLevel);
        standIns().reset();
        standIns().failLevel = c.failLevel;
        const int index = add("solstra");
        deviceOf(index)->cancelPendingWaits();
        EXPECT_EQ(standIns().dmaSignals, c.signals);
        remove(index);
    }
}

TEST_F(SetupSequence, AFailingLevelLeavesTheLevelsBelowItAndIsTornDownAtOnce) {
    for (const auto& board : kelvo_test::boards()) {
        for (uint32_t failing = 3; failing <= 18; ++failing) {
            SCOPED_TRACE(board + " level " + std::to_string(failing));
            standIns().reset();
            standIns().failLevel = failing;
            standIns().failCode = kelvoDriverCode(0xBFFA1234);
            const int index = kelvo_host::addModule(board);
            ASSERT_GE(index, 0) << "a failed setup still adds the device";
            KelvoDevice* device = deviceOf(index);
            EXPECT_EQ(device->getSetupTracker().getCurrentLevel(), failing - 1);
            EXPECT_EQ(device->getSetupTracker().getStatus().getCode(), kelvoDriverCode(0xBFFA1234));
            for (uint32_t level = 1; level <= 18; ++level) {
                EXPECT_EQ(device->getKelvoHelper()->isBuilt(level), level < failing) << level;
            }
            const std::string n = std::to_string(failing);
            EXPECT_EQ(fromLevel(standIns().events(), "setup " + n),
                      (std::vector<std::string>{"setup " + n, "teardown " + n, "free " + n}));
            // Below level 3 the serial number is not read; from level 4 on it is.
            EXPECT_EQ(textProperty(index, "serialNumber"), failing > 3 ? "1234ABCD" : "0");

            const int handle = open(index);
            kelvo_notifier_payload payload{1, kelvo_destination(handle), 0x80000000};
            EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload),
                      kal(kelvoDriverCode(0xBFFA1234)));
            remove(index);
            EXPECT_EQ(kelvo_close(handle), 0);
        }
    }
}

TEST_F(SetupSequence, TeardownRunsSessionCleanupsFirstThenTheLevelsDownward) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    LoggingCleanup cleanup;
    tStatus status;
    sessionOf(handle)->getCleanupOperationComposite().add(&cleanup, status);
    ASSERT_TRUE(status.isSuccess());
    standIns().clearLog();

    ASSERT_EQ(kelvo_host_remove_module(index), 0);
    std::vector<std::string> expected = {"session cleanup"};
    for (uint32_t level = 18; level >= 3; --level) {
        expected.push_back("teardown " + std::to_string(level));
        expected.push_back("free " + std::to_string(level));
    }
    EXPECT_EQ(standIns().events(), expected) << "the session's cleanup runs once, before level 18 goes";
    EXPECT_EQ(kelvo_close(handle), 0);
}

TEST_F(SetupSequence, TheSerialNumberNeedsAGoodManufacturingMap) {
    standIns().serialNumber = 0xFFFFFFFF;
    int index = add("solstra");
    EXPECT_EQ(textProperty(index, "serialNumber"), "FFFFFFFF");
    ASSERT_EQ(kelvo_host_remove_module(index), 0);

    // A bad checksum: 0xBFFA4088, published as 0 while the rest is built.
    standIns().manufacturing.checksumValid = false;
    index = add("solstra");
    EXPECT_EQ(textProperty(index, "serialNumber"), "0");
    EXPECT_EQ(textProperty(index, "manufacturerName"), "Quillon");
    tStatus serial;
    EXPECT_EQ(deviceOf(index)->getKelvoHelper()->getSerialNumber(serial), 0u);
    EXPECT_EQ(serial.getCode(), kelvoDriverCode(0xBFFA4088));
    ASSERT_EQ(kelvo_host_remove_module(index), 0);
    standIns().manufacturing.checksumValid = true;
    standIns().serialNumber = 0x1234ABCD;

    struct Case {
        uint32_t version, oldest;
        bool accepted;
    };
    const Case cases[] = {
        {0x01000002, 0x01000001, true},  // the ranges share 1.0.0 build 1
        {0x01000003, 0x01000002, false}, // oldest above the newest accepted
        {0x01000000, 0x01000001, false}, // oldest above the map's own version
        {0x00FFFFFF, 0x00000000, false}, // too old
    };
    for (const Case& c : cases) {
        standIns().manufacturing.version = c.version;
        standIns().manufacturing.oldestCompatible = c.oldest;
        index = add("duskmere-b");
        tStatus status;
        const uint32_t value = deviceOf(index)->getKelvoHelper()->getSerialNumber(status);
        if (c.accepted) {
            EXPECT_EQ(value, 0x1234ABCDu);
            EXPECT_TRUE(status.isSuccess());
        } else {
            EXPECT_EQ(value, 0u);
            EXPECT_EQ(status.getCode(), kelvoDriverCode(0xBFFA4082))
                << std::hex << c.version << " " << c.oldest;
        }
        ASSERT_EQ(kelvo_host_remove_module(index), 0);
    }
}

TEST_F(SetupSequence, TheStorageMapCheckersReportChecksumsBeforeVersions) {
    const int index = add("solstra");
    kelvo_driver::KelvoHelper* helper = deviceOf(index)->getKelvoHelper();

    standIns().calibration[2].checksumValid = false;
    standIns().header.oldestCompatible = 0x01000001; // the header map accepts only 1.0.0 build 0
    standIns().header.version = 0x01000001;
    tStatus both;
    helper->checkHardwareState(0, both);
    EXPECT_EQ(both.getCode(), kelvoDriverCode(0xBFFA4088));
    tStatus versions;
    EXPECT_FALSE(helper->areStorageMapVersionsValid(versions));
    EXPECT_TRUE(versions.isSuccess()) << "the test alone only answers false";

    standIns().calibration[2].checksumValid = true;
    tStatus onlyVersions;
    helper->checkHardwareState(0, onlyVersions);
    EXPECT_EQ(onlyVersions.getCode(), kelvoDriverCode(0xBFFA4082));

    standIns().header = kelvo_test::FakeMapState{};
    standIns().calibration[3].version = 0x01000002; // above the newest, its oldest 1.0.0 build 0
    tStatus fine;
    EXPECT_TRUE(helper->areStorageMapVersionsValid(fine));
    EXPECT_TRUE(helper->areStorageMapChecksumsValid(fine));

    standIns().calibration[0].readError = tStatus::kNotAccessible;
    tStatus readError;
    helper->checkHardwareState(0, readError);
    EXPECT_EQ(readError.getCode(), tStatus::kNotAccessible) << "a map's own error stays";
    // A status that already failed: both checkers answer false and keep it.
    standIns().calibration[0].readError = 0;
    tStatus failed;
    KELVO_SET_STATUS(failed, tStatus::kTimedOut);
    EXPECT_FALSE(helper->areStorageMapVersionsValid(failed));
    EXPECT_FALSE(helper->areStorageMapChecksumsValid(failed));
    helper->checkHardwareState(0, failed);
    EXPECT_EQ(failed.getCode(), tStatus::kTimedOut);
}

TEST_F(SetupSequence, TheRoutingNotifierOpensOnceAndCloses) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    ASSERT_NE(sessionOf(handle)->getRoutingSession(), nullptr) << "a handle opened at level 19 has routing";
    EXPECT_EQ(standIns().registeredSessions, 1);

    const unsigned destination = kelvo_destination(handle);
    kelvo_notifier_payload other{5, destination, 7};
    EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &other), 0);
    EXPECT_FALSE(sessionOf(handle)->getRoutingSession()->getIONotifier().isOpen());

    kelvo_notifier_payload payload{0xC0FFEE, destination, 0x80000000};
    EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload), 0);
    EXPECT_TRUE(sessionOf(handle)->getRoutingSession()->getIONotifier().isOpen());
    EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload), kal(tStatus::kInvalidState))
        << "a second open of an open notifier is refused";
    EXPECT_EQ(
        kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER, reinterpret_cast<void*>(uintptr_t{0x80000000})), 0);
    kelvo_message message;
    ASSERT_EQ(kelvo_read_message(destination, &message), 1);
    EXPECT_EQ(message.type, KELVO_MESSAGE_CLOSE);
    EXPECT_EQ(message.cookie, 0xC0FFEEu);

    // Once its cleanup has run, the session has no routing session left.
    tStatus status;
    sessionOf(handle)->cleanup(status);
    EXPECT_EQ(sessionOf(handle)->getRoutingSession(), nullptr);
    EXPECT_EQ(standIns().registeredSessions, 0);
    EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload), kal(tStatus::kInvalidState));
    EXPECT_EQ(
        kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER, reinterpret_cast<void*>(uintptr_t{0x80000000})), 0);
    EXPECT_EQ(kelvo_close(handle), 0);
}

TEST_F(SetupSequence, SuspensionWithdrawsTheRoutingResourcesWithoutVeto) {
    const int index = add("solstra");
    const int handle = open(index);
    KelvoDevice* device = deviceOf(index);
    EXPECT_TRUE(device->suspendIOProcessing(0, kelvo_driver::nVOAPAL000::kSuspendReasonReset, true));
    EXPECT_EQ(standIns().resourcesCleared, 1);
    device->resumeIOProcessing(0);
    EXPECT_EQ(standIns().resourcesSet, 2);
    EXPECT_EQ(kelvo_close(handle), 0);
}

// An open whose allocations fail anywhere leaves nothing behind: no session,
// no routing registration, no leak. The last allocation is the growth of the
// KelvoHelper's cleanup composite: a session that cannot be added there is
// destroyed and the open fails.
TEST_F(SetupSequence, AnAllocationFailureInOpenLeavesNothing) {
    const int index = add("duskmere-b");
    KelvoDevice* device = deviceOf(index);
    // A fresh KelvoHelper whose cleanup composite has room for one session, taken by first.
    auto prepare = [&] {
        const int requester = kelvo_open("smu_kelvo", index);
        tStatus status;
        device->kdut_reset(descriptorOf(requester), 19, 0, status);
        EXPECT_TRUE(status.isSuccess());
        EXPECT_EQ(kelvo_close(requester), 0);
        const int first = kelvo_open("smu_kelvo", index);
        EXPECT_GE(first, 0);
        return first;
    };
    int first = prepare();
    kal::memory::resetCounters();
    const int clean = open(index);
    const uint64_t calls = kal::memory::allocationCalls();
    ASSERT_EQ(kelvo_close(clean), 0);
    ASSERT_EQ(kelvo_close(first), 0);
    for (uint64_t n = 1; n <= calls; ++n) {
        first = prepare();
        const kal::live::Counts live = kal::live::now();
        kal::memory::failNth(n);
        const int handle = kelvo_open("smu_kelvo", index);
        kal::memory::clearFaults();
        EXPECT_EQ(handle, kal(tStatus::kOutOfMemory)) << n;
        EXPECT_EQ(standIns().registeredSessions, 1) << n;
        EXPECT_EQ(kal::live::now(), live) << n;
        EXPECT_EQ(kelvo_close(first), 0);
    }
}

TEST_F(SetupSequence, TheKelvoHelperForwardsToTheTasksItBuilt) {
    const int index = add("solstra");
    KelvoDevice* device = deviceOf(index);
    kelvo_driver::KelvoHelper* helper = device->getKelvoHelper();

    tStatus status;
    helper->setCoolingMode(5, 1, status);
    EXPECT_EQ(helper->getRequestedCoolingMode(), 5u);
    EXPECT_EQ(helper->readTemperatureSensor(status), -12);
    EXPECT_EQ(helper->stagePowerAllocation(0, 7, status), 7u);
    helper->commitPowerAllocation(0, status);
    EXPECT_EQ(helper->getActualPowerAllocation(0, status), 7u);
    EXPECT_EQ(helper->getCalibrationDispatcher().read(0, 2, status), 0x102u);
    helper->loadCalibrationToFirmwareFromStorageMapSoftcopy(1, status);
    uint32_t timedOut = 0;
    helper->waitUntilBytesTransferred(1, 0, 64, 10, &timedOut, status);
    EXPECT_EQ(timedOut, 1u);
    helper->cancelWaitUntilBytesTransferred(1);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(standIns().calibrationLoads, (std::vector<std::pair<uint64_t, bool>>{{1, false}}));
    EXPECT_EQ(standIns().dmaSignals,
              (std::vector<std::pair<uint32_t, int32_t>>{{1, static_cast<int32_t>(0xBFFA40E4u)}}));
    tStatus streams;
    helper->getDMADispatcher().getTransferCount(0, streams);
    EXPECT_EQ(streams.getCode(), tStatus::kInvalidParameter) << "the stand-in's dispatcher has no stream";

    tStatus failed;
    KELVO_SET_STATUS(failed, tStatus::kTimedOut);
    EXPECT_EQ(helper->readTemperatureSensor(failed), 0);
    EXPECT_EQ(helper->stagePowerAllocation(0, 9, failed), 0u);
    EXPECT_FALSE(helper->queryInCompliance(0, failed));

    // The cooling mode lives in the device: a reset keeps it.
    const int requester = kelvo_open("smu_kelvo", index);
    tStatus reset;
    device->kdut_reset(descriptorOf(requester), 19, 0, reset);
    EXPECT_TRUE(reset.isSuccess());
    EXPECT_NE(device->getKelvoHelper(), nullptr);
    EXPECT_EQ(device->getKelvoHelper()->getRequestedCoolingMode(), 5u);
    EXPECT_EQ(kelvo_close(requester), 0);
}

TEST_F(SetupSequence, SubroutinesAreCopiedOnlyWithBothBuffersAndTheRightCount) {
    const int index = add("duskmere-a");
    const int handle = open(index);
    kelvo_driver::KelvoHelper* helper = deviceOf(index)->getKelvoHelper();
    uint32_t ids[3] = {};
    uint32_t addresses[3] = {};
    kal::usermem::Scope scope;
    const uint64_t idsAddress = scope.add(ids, sizeof(ids), kal::usermem::kWrite);
    const uint64_t addressesAddress = scope.add(addresses, sizeof(addresses), kal::usermem::kWrite);

    tStatus none;
    helper->getSubroutines(descriptorOf(handle), idsAddress, addressesAddress, 0, none);
    EXPECT_TRUE(none.isSuccess()) << "no subroutines, count 0: nothing to copy";
    tStatus nullBuffer;
    helper->getSubroutines(descriptorOf(handle), 0, addressesAddress, 0, nullBuffer);
    EXPECT_EQ(nullBuffer.getCode(), kelvoDriverCode(0xBFFA4311));

    standIns().subroutineIds = {7, 8, 9};
    standIns().subroutineAddresses = {0x100, 0x200, 0x300};
    tStatus wrongCount;
    helper->getSubroutines(descriptorOf(handle), idsAddress, addressesAddress, 2, wrongCount);
    EXPECT_EQ(wrongCount.getCode(), kelvoDriverCode(0xBFFA4312));
    EXPECT_EQ(ids[0], 0u);
    tStatus status;
    EXPECT_EQ(helper->getNumSubroutines(status), 3u);
    helper->getSubroutines(descriptorOf(handle), idsAddress, addressesAddress, 3, status);
    EXPECT_TRUE(status.isSuccess());
    EXPECT_EQ(ids[2], 9u);
    EXPECT_EQ(addresses[1], 0x200u);

    // A buffer the caller does not own stops the copy with the copy's error.
    uint32_t notRegistered[3] = {};
    tStatus refused;
    helper->getSubroutines(descriptorOf(handle), kal::usermem::address(notRegistered), addressesAddress, 3,
                           refused);
    EXPECT_TRUE(refused.isFatal());
    EXPECT_EQ(kelvo_close(handle), 0);
}

TEST_F(SetupSequence, ArmAndStartRegisterTheirCleanupOnlyWhenTheySucceed) {
    const int index = add("solstra");
    kelvo_driver::KelvoHelper* helper = deviceOf(index)->getKelvoHelper();
    const int handle = open(index);
    fenwicksharedsource::KernelSession& session = *sessionOf(handle);
    kdut::CleanupOperationComposite& composite = session.getCleanupOperationComposite();
    const size_t initial = composite.size();

    standIns().armError = kelvoDriverCode(0xBFFA4555);
    standIns().startError = kelvoDriverCode(0xBFFA4315);
    tStatus armFailed;
    helper->armMeasureUnit(session, armFailed);
    tStatus startFailed;
    helper->startSequenceEngine(session, 1, 10, startFailed);
    EXPECT_EQ(armFailed.getCode(), kelvoDriverCode(0xBFFA4555));
    EXPECT_EQ(startFailed.getCode(), kelvoDriverCode(0xBFFA4315));
    EXPECT_EQ(composite.size(), initial);

    standIns().armError = 0;
    standIns().startError = 0;
    tStatus status;
    helper->armMeasureUnit(session, status);
    helper->startSequenceEngine(session, 1, 10, status);
    EXPECT_TRUE(helper->isSequenceEngineRunning(session, 1, status));
    EXPECT_EQ(composite.size(), initial + 2);
    helper->resetMeasureUnit(session, status);
    EXPECT_EQ(composite.size(), initial + 1);
    EXPECT_TRUE(status.isSuccess());

    // Closing the handle runs what is still registered: the engine is reset.
    EXPECT_EQ(kelvo_close(handle), 0);
    EXPECT_EQ(standIns().sequenceEngineCleanups, 1);
    EXPECT_EQ(standIns().measureUnitCleanups, 0);
    EXPECT_FALSE(standIns().engineRunning);
}

TEST_F(SetupSequence, BelowTheRoutingLevelRoutingIsLeftAlone) {
    const int index = add("duskmere-b");
    KelvoDevice* device = deviceOf(index);
    const int requester = kelvo_open("smu_kelvo", index);
    tStatus status;
    device->kdut_reset(descriptorOf(requester), 15, 0, status);
    EXPECT_EQ(status.getCode(), tStatus::kSetupTargetReached);
    EXPECT_EQ(kelvo_close(requester), 0);
    const int cleared = standIns().resourcesCleared;
    device->getKelvoHelper()->clearRoutingResources();
    EXPECT_TRUE(device->suspendIOProcessing(0, kelvo_driver::nVOAPAL000::kSuspendReasonReset, true));
    device->resumeIOProcessing(0);
    EXPECT_EQ(standIns().resourcesCleared, cleared);
    const int handle = open(index);
    EXPECT_EQ(sessionOf(handle)->getRoutingSession(), nullptr) << "no routing below level 16";
    EXPECT_EQ(kelvo_close(handle), 0);
}

} // namespace
