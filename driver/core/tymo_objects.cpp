#include "core/tymo_objects.h"

#include "core/kelvo_helper.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

SetupTask* TYMOObjects::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    TYMOObjects* task = new (status, false) TYMOObjects();
    if (task != nullptr) {
        VOSDBG_ASSERT_MSG(inputs.device != nullptr, "ASSERT(devicePtr != nullptr)");
        VOSDBG_ASSERT_MSG(inputs.checkers != nullptr, "ASSERT(checkersPtr != nullptr)");
        task->setup(*inputs.device, *inputs.checkers, helper.getRegiDispatchers(), status);
    }
    return task;
}

void TYMOObjects::setup(nVOAPAL000::tPCIDevice& device, kdut::HardwareStateCheckerComposite& checkers,
                        RegiDispatchers& dispatchers, tStatus& status) {
    device_ = &device;
    checkers_ = &checkers;
    if (status.isFatal()) {
        return;
    }
    window0_ = device.mapMemoryWindow(0, status, 0);
    if (status.isFatal()) {
        window0_ = nullptr;
        return;
    }
    const uint64_t bar = reinterpret_cast<uintptr_t>(window0_);
    const uint64_t barSize = mappedSizeOfBar0(device);
    // A dead bridge reads all ones, which also places its DMA channel blocks
    // outside the BAR. The group refuses such blocks, but the bridge's
    // signature says what is wrong: it is checked before that refusal counts.
    tStatus group;
    regMaps_ = new (status, false) TYMORegMaps(bar, barSize, dispatchers.registerMapDispatcher, group);
    const bool built = group.isNotFatal() || group.getCode() == TYMORegMaps::kDMAChannelOutsideBar;
    if (regMaps_ != nullptr && built) {
        signatureVerifier_ = new (status, false) tSignatureVerifier(regMaps_->brixelRegMap.Signature);
    }
    if (signatureVerifier_ != nullptr) {
        signatureVerifier_->checkHardwareState(status);
    }
    status.merge(group);
    if (status.isNotFatal()) {
        controllers_ = new (status, false) TYMOControllers(bar, barSize, *regMaps_, status);
    }
    windowDispatcher_ = &dispatchers.deviceWindowDispatcher;
    if (status.isNotFatal()) {
        flashWindow_ =
            new (status, false) devicewindow::FlashWindow(controllers_->getFlashController(), status);
    }
    if (status.isNotFatal()) {
        storageMaps_ = new (status, false)
            kelvo_storagemaps::KelvoStorageMaps(*flashWindow_, dispatchers.storageMapDispatcher, status);
    }
    if (status.isNotFatal()) {
        for (uint32_t i = 0; i < kNumberOfCalibrationMaps; ++i) {
            calibrationMaps_.maps[i] = &storageMaps_->getCalibrationMapFace(i);
        }
        calibrationMaps_.newestVersion = kStorageMapVersion_1_0_0_d1;
        calibrationMaps_.oldestVersion = kStorageMapVersion_1_0_0_d0;
        checksumChecker_ = new (status, false) StorageMapChecksumChecker(storageMaps_, &calibrationMaps_);
    }
    if (status.isNotFatal()) {
        versionChecker_ = new (status, false) StorageMapVersionChecker(storageMaps_, &calibrationMaps_);
    }
    if (status.isFatal()) {
        return;
    }
    windowDispatcher_->add(kFlashWindowName, *flashWindow_, status);
    windowRegistered_ = status.isNotFatal();
    checkers.add(signatureVerifier_, status);
    checkers.add(checksumChecker_, status);
    checkers.add(versionChecker_, status);
    checkersAdded_ = true;
}

void TYMOObjects::teardown() {
    if (checkersAdded_ && checkers_ != nullptr) {
        tStatus local;
        checkers_->remove(versionChecker_, local);
        tStatus second;
        checkers_->remove(checksumChecker_, second);
        tStatus third;
        checkers_->remove(signatureVerifier_, third);
        checkersAdded_ = false;
    }
    if (windowRegistered_) {
        tStatus local;
        windowDispatcher_->remove(kFlashWindowName, local);
        windowRegistered_ = false;
    }
    delete versionChecker_;
    versionChecker_ = nullptr;
    delete checksumChecker_;
    checksumChecker_ = nullptr;
    delete storageMaps_; // unregisters the seven maps
    storageMaps_ = nullptr;
    delete flashWindow_;
    flashWindow_ = nullptr;
    delete controllers_;
    controllers_ = nullptr;
    delete signatureVerifier_;
    signatureVerifier_ = nullptr;
    delete regMaps_; // unregisters the bridge and timing-chip maps
    regMaps_ = nullptr;
    // Memory window 0 last: nothing above may reach the bridge afterwards.
    if (window0_ != nullptr) {
        device_->unmapMemoryWindow(0, window0_, 0);
        window0_ = nullptr;
    }
}

} // namespace kelvo_driver
