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
    if (status.isFatal()) {
        return;
    }
    window0_ = device.mapMemoryWindow(0, status, 0);
    if (status.isFatal()) {
        window0_ = nullptr;
        return;
    }
    // Memory window 0 is undone last: nothing above may reach the bridge afterwards.
    device_ = &device;
    undo().call<&TYMOObjects::unmapWindow0>(*this);
    const uint64_t bar = reinterpret_cast<uintptr_t>(window0_);
    const uint64_t barSize = mappedSizeOfBar0(device);
    // A dead bridge reads all ones, which also places its DMA channel blocks
    // outside the BAR. The group refuses such blocks, but the bridge's
    // signature says what is wrong: it is checked before that refusal counts.
    tStatus group;
    regMaps_ =
        undo().own(new (status, false) TYMORegMaps(bar, barSize, dispatchers.registerMapDispatcher, group));
    const bool built = group.isNotFatal() || group.getCode() == TYMORegMaps::kDMAChannelOutsideBar;
    if (regMaps_ != nullptr && built) {
        signatureVerifier_ =
            undo().own(new (status, false) tSignatureVerifier(regMaps_->brixelRegMap.Signature));
    }
    if (signatureVerifier_ != nullptr) {
        signatureVerifier_->checkHardwareState(status);
    }
    status.merge(group);
    if (status.isNotFatal()) {
        controllers_ = undo().own(new (status, false) TYMOControllers(bar, barSize, *regMaps_, status));
    }
    if (status.isNotFatal()) {
        flashWindow_ = undo().own(new (status, false)
                                      devicewindow::FlashWindow(controllers_->getFlashController(), status));
    }
    if (status.isNotFatal()) {
        storageMaps_ = undo().own(new (status, false) kelvo_storagemaps::KelvoStorageMaps(
            *flashWindow_, dispatchers.storageMapDispatcher, status));
    }
    if (status.isNotFatal()) {
        for (uint32_t i = 0; i < kNumberOfCalibrationMaps; ++i) {
            calibrationMaps_.maps[i] = &storageMaps_->getCalibrationMapFace(i);
        }
        calibrationMaps_.newestVersion = kStorageMapVersion_1_0_0_d1;
        calibrationMaps_.oldestVersion = kStorageMapVersion_1_0_0_d0;
        checksumChecker_ =
            undo().own(new (status, false) StorageMapChecksumChecker(storageMaps_, &calibrationMaps_));
    }
    if (status.isNotFatal()) {
        versionChecker_ =
            undo().own(new (status, false) StorageMapVersionChecker(storageMaps_, &calibrationMaps_));
    }
    if (status.isFatal()) {
        return;
    }
    dispatchers.deviceWindowDispatcher.add(kFlashWindowName, *flashWindow_, status);
    if (status.isNotFatal()) {
        undo().push(&removeFlashWindow, &dispatchers.deviceWindowDispatcher);
    }
    addChecker(checkers, signatureVerifier_, status);
    addChecker(checkers, checksumChecker_, status);
    addChecker(checkers, versionChecker_, status);
}

void TYMOObjects::unmapWindow0() {
    device_->unmapMemoryWindow(0, window0_, 0);
    window0_ = nullptr;
}

void TYMOObjects::removeFlashWindow(void* dispatcher, void*) {
    tStatus local;
    static_cast<devicewindow::DeviceWindowDispatcher*>(dispatcher)->remove(kFlashWindowName, local);
}

} // namespace kelvo_driver
