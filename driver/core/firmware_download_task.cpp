#include "core/firmware_download_task.h"

#include "bridge/firmware_download.h"
#include "core/kelvo_helper.h"
#include "core/utilities.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

SetupTask* NonIsolatedFirmwareDownload::create(KelvoHelper& helper, const SetupInputs& inputs,
                                               tStatus& status) {
    auto* task = new (status, false) NonIsolatedFirmwareDownload();
    if (task != nullptr) {
        auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
        task->setup(inputs.event, inputs.nonIsolatedFirmwarePtr, inputs.nonIsolatedFirmwareSize,
                    kFirmwareTargetNonIsolatedFPGA, tymo, helper.getCapsTask(), status);
    }
    return task;
}

void NonIsolatedFirmwareDownload::setup(const nVOAPAL000::tEventDescriptor& event, uint64_t imageAddress,
                                        uint64_t imageSize, uint32_t target, TYMOObjectsInterface& tymo,
                                        const Caps& caps, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(caps.capsPtr != nullptr, "ASSERT(capsPtr != nullptr)");
    const uint32_t subsystemID = caps.capsPtr->subsystemID;
    auto& manufacturing = tymo.getStorageMaps().getManufacturingMap();
    const bool allowUnsafe = manufacturing.getAllowUnsafeFirmware(status) != 0;
    // The image is marked compatible with neither generation: only a board
    // that allows unsafe firmware runs it.
    validateFirmwareCompatibility(subsystemID, false, false, allowUnsafe, status);
    const uint8_t oldest = status.isFatal() ? 0 : manufacturing.getOldestCompatibleBoardRevision(status);
    validateBoardRevision(subsystemID, oldest, status);
    if (status.isNotFatal()) {
        downloadFPGAFirmware(event, imageAddress, imageSize, target, *caps.capsPtr, tymo.getTYMORegMaps(),
                             status);
    }
}

} // namespace kelvo_driver
