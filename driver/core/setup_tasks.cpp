#include "core/setup_tasks.h"

#include "controllers/isolated_controllers.h"
#include "core/board_startup.h"
#include "core/calibration_values.h"
#include "core/dma_objects.h"
#include "core/firmware_download_task.h"
#include "core/isolated_bringup.h"
#include "core/non_isolated_objects.h"
#include "core/reg_maps_task.h"
#include "core/routing_objects.h"
#include "core/sequencer_tasks.h"
#include "core/tymo_objects.h"
#include "core/utilities.h"
#include "framework/hardware_state_checker_composite.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

const SetupLevelTable kProductSetupLevelTable = {{
    RegiDispatchers::create,             // 1
    Caps::create,                        // 2
    TYMOObjects::create,                 // 3
    NonIsolatedFirmwareDownload::create, // 4
    NonIsolatedRegMapsTask::create,      // 5
    NonIsolatedObjects::create,          // 6
    PowerMonitorsTask::create,           // 7
    IsolatedFirmwareDownload::create,    // 8
    IsolatedRegMapsTask::create,         // 9
    SubroutinePackageRegister::create,   // 10
    IsolatedObjects::create,             // 11
    BoardRevisionProgrammer::create,     // 12
    ExternalPLLAndSensorsTask::create,   // 13
    DMAObjects::create,                  // 14
    LoadCalibrationValues::create,       // 15
    RoutingObjects::create,              // 16
    LocalRAMConfigure::create,           // 17
    BoardStartup::create,                // 18
}};

} // namespace

void SetupTask::addChecker(kdut::HardwareStateCheckerComposite& checkers,
                           kdut::HardwareStateCheckerInterface* checker, tStatus& status) {
    if (checker == nullptr || status.isFatal()) {
        return;
    }
    checkers.add(checker, status);
    if (status.isNotFatal()) {
        undo_.push(
            [](void* list, void* entry) {
                tStatus local;
                static_cast<kdut::HardwareStateCheckerComposite*>(list)->remove(
                    static_cast<kdut::HardwareStateCheckerInterface*>(entry), local);
            },
            &checkers, checker);
    }
}

CalibrationControllersInterface* IsolatedObjectsInterface::getCalibrationControllers() {
    IsolatedControllers* controllers = getIsolatedControllers();
    return controllers != nullptr ? controllers->getCalibrationControllers() : nullptr;
}

const SetupLevelTable& getProductSetupLevelTable() {
    return kProductSetupLevelTable;
}

SetupTask* RegiDispatchers::create(KelvoHelper&, const SetupInputs&, tStatus& status) {
    return new (status, false) RegiDispatchers();
}

SetupTask* Caps::create(KelvoHelper&, const SetupInputs& inputs, tStatus& status) {
    Caps* task = new (status, false) Caps();
    if (task != nullptr) {
        VOSDBG_ASSERT_MSG(inputs.device != nullptr, "ASSERT(devicePtr != nullptr)");
        task->setup(*inputs.device, status);
    }
    return task;
}

void Caps::setup(const nVOAPAL000::tPCIDevice& device, tStatus& status) {
    capsPtr = nullptr;
    if (status.isFatal()) {
        return;
    }
    const uint32_t subsystemID = device.deviceInfo().subsystemID;
    if (!corran_caps::isAcceptedProduct(subsystemID)) {
        KELVO_SET_STATUS(status, kUnsupportedProduct);
        return;
    }
    capsPtr = corran_caps::CapsManager::getInstance().find(subsystemID);
}

bool Caps::isSolstra() const {
    return capsPtr != nullptr && corran_caps::isSolstraProduct(capsPtr->subsystemID);
}

bool Caps::isDuskmere() const {
    return capsPtr != nullptr && corran_caps::isDuskmereProduct(capsPtr->subsystemID);
}

} // namespace kelvo_driver
