#include "core/isolated_bringup.h"

#include "bridge/firmware.h"
#include "bridge/firmware_download.h"
#include "controllers/non_isolated_controllers.h"
#include "core/kelvo_helper.h"
#include "platform/vosdbg.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kIsolatedTarget = 1;
} // namespace

SetupTask* IsolatedFirmwareDownload::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    IsolatedFirmwareDownload* task = new (status, false) IsolatedFirmwareDownload();
    if (task == nullptr) {
        return nullptr;
    }
    auto& tymo = helper.getTaskAs<TYMOObjectsInterface>();
    auto& nonIsolated = helper.getTaskAs<NonIsolatedObjectsInterface>();
    NonIsolatedControllers* controllers = nonIsolated.getNonIsolatedControllers();
    VOSDBG_ASSERT(controllers != nullptr);
    if (controllers == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return task;
    }
    task->setup(inputs.event, inputs.isolatedFirmwarePtr, inputs.isolatedFirmwareSize, tymo.getTYMORegMaps(),
                *controllers, helper.getCapsTask(), status);
    return task;
}

void IsolatedFirmwareDownload::setup(const nVOAPAL000::tEventDescriptor& event, uint64_t imageAddress,
                                     uint64_t imageSize, TYMORegMaps& tymoRegMaps,
                                     NonIsolatedControllers& controllers, const Caps& caps, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(caps.capsPtr != nullptr);
    IsolationLinkRecord& link = controllers.isolationLink;
    link.command(kLinkCommandBeforeLoad, status);
    if (caps.capsPtr != nullptr) {
        downloadFPGAFirmware(event, imageAddress, imageSize, kIsolatedTarget, *caps.capsPtr, tymoRegMaps,
                             status);
    }
    // A loading-status poll that timed out does not end the bring-up: the
    // link and the DC bus still go on, and the checks of the isolated side's
    // levels decide whether the FPGA answers.
    if (status.getCode() == brixeltools::BrixelFirmwareDownloader::kTimeout) {
        status.clear();
    }
    link.command(kLinkCommandAfterLoad, status);
    link.startDcBus(status);
}

SetupTask* IsolatedRegMapsTask::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    auto& nonIsolated = helper.getTaskAs<NonIsolatedObjectsInterface>();
    NonIsolatedRegMaps* regMaps = nonIsolated.getNonIsolatedRegMaps();
    VOSDBG_ASSERT(regMaps != nullptr);
    if (regMaps == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return nullptr;
    }
    helper.getRegiDispatchers(); // level 1 exists
    return new (status, false) IsolatedRegMapsTask(
        regMaps->wrapper, helper.getARMDispatcher(), helper.getDeviceWindowDispatcher(), inputs.checkers,
        helper.getIsolationLinkMarks(), helper.getCapsTask().capsPtr, status);
}

} // namespace kelvo_driver
