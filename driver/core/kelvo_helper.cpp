#include "core/kelvo_helper.h"

#include "core/storage_map_checkers.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kLevelTYMOObjects = 3;
constexpr uint32_t kLevelRoutingObjects = 16;
} // namespace

KelvoHelper::KelvoHelper(nVOAPAL000::tPCIDevice& device, const nVOAPAL000::tEventDescriptor& event,
                         uint64_t nonIsolatedFirmwarePtr, uint64_t nonIsolatedFirmwareSize,
                         uint64_t isolatedFirmwarePtr, uint64_t isolatedFirmwareSize, uint64_t subroutineCommandsPtr,
                         uint32_t numberOfSubroutineCommands, uint64_t subroutineIdsPtr,
                         uint64_t subroutineAddressesPtr, uint32_t numberOfSubroutines, uint64_t errorsToDisablePtr,
                         uint64_t numberOfErrorsToDisable, CoolingModeState* coolingModeState,
                         bool ignoreStartupErrors, SetupTracker& tracker, const SetupLevelTable& table)
    : device_(device), cleanupComposite_(1, tracker.getStatus()), checkers_() {
    const SetupInputs inputs = {&device,
                                &checkers_,
                                event,
                                nonIsolatedFirmwarePtr,
                                nonIsolatedFirmwareSize,
                                isolatedFirmwarePtr,
                                isolatedFirmwareSize,
                                subroutineCommandsPtr,
                                numberOfSubroutineCommands,
                                subroutineIdsPtr,
                                subroutineAddressesPtr,
                                numberOfSubroutines,
                                errorsToDisablePtr,
                                numberOfErrorsToDisable,
                                coolingModeState,
                                ignoreStartupErrors};
    tStatus& status = tracker.getStatus();
    for (uint32_t level = 1; level <= kNumberOfSetupTasks; ++level) {
        if (status.isFatal()) {
            continue;
        }
        const SetupTaskFactory create = table.tasks[level - 1];
        if (create == nullptr) {
            // The task of this level is not part of the driver yet.
            KELVO_SET_STATUS(status, tStatus::kNotImplemented);
            continue;
        }
        SetupTask* task = create(*this, inputs, status);
        if (task == nullptr) {
            VOSDBG_ASSERT(status.isFatal());
            continue;
        }
        tasks_[level - 1].set(task);
        if (status.isFatal()) {
            tasks_[level - 1].reset();
            continue;
        }
        tracker.advance(level);
    }
    if (status.isNotFatal()) {
        tracker.advance(kelvo_shared::kSetupLevelComplete);
    }
}

KelvoHelper::~KelvoHelper() {
    if (device_.getRestoreFlag() != 0) {
        tStatus local;
        cleanupComposite_.cleanup(local);
    }
    for (uint32_t level = kNumberOfSetupTasks; level > 0; --level) {
        tasks_[level - 1].reset();
    }
}

bool KelvoHelper::isBuilt(uint32_t level) const {
    return level >= 1 && level <= kNumberOfSetupTasks && tasks_[level - 1].exists();
}

SetupTask& KelvoHelper::getTask(uint32_t level) const {
    VOSDBG_ASSERT(level >= 1 && level <= kNumberOfSetupTasks);
    return tasks_[level - 1].get();
}

RegiDispatchers& KelvoHelper::getRegiDispatchers() const { return static_cast<RegiDispatchers&>(getTask(1)); }

Caps& KelvoHelper::getCapsTask() const { return static_cast<Caps&>(getTask(2)); }

TYMOObjectsInterface& KelvoHelper::getTYMOObjects() const {
    return static_cast<TYMOObjectsInterface&>(getTask(kLevelTYMOObjects));
}

RoutingObjectsInterface& KelvoHelper::getRoutingObjects() const {
    return static_cast<RoutingObjectsInterface&>(getTask(kLevelRoutingObjects));
}

armki::ARMDispatcher& KelvoHelper::getARMDispatcher() const { return getRegiDispatchers().registerMapDispatcher; }

devicewindow::DeviceWindowDispatcher& KelvoHelper::getDeviceWindowDispatcher() const {
    return getRegiDispatchers().deviceWindowDispatcher;
}

storagemap::StorageMapDispatcher& KelvoHelper::getStorageMapDispatcher() const {
    return getRegiDispatchers().storageMapDispatcher;
}

const char* KelvoHelper::getModelName() const {
    const Caps& caps = getCapsTask();
    VOSDBG_ASSERT_MSG(caps.capsPtr != nullptr, " Failed - capsTask.capsPtr was not created successfully!");
    return caps.capsPtr != nullptr ? caps.capsPtr->modelName : nullptr;
}

voark::RoutingResourcesManagerInterface* KelvoHelper::getRoutingResourcesManager() const {
    return getRoutingObjects().getRoutingResourcesManager();
}

uint32_t KelvoHelper::getSerialNumber(tStatus& status) const {
    if (status.isFatal()) {
        return 0;
    }
    kelvo_storagemaps::ManufacturingStorageMapInterface& map = getTYMOObjects().getStorageMaps().getManufacturingMap();
    if (!map.isChecksumValid(status)) {
        KELVO_SET_STATUS(status, kStorageMapChecksumInvalid);
        return 0;
    }
    const uint32_t mapVersion = map.getMapVersion(status);
    const uint32_t oldestCompatible = map.getOldestCompatibleMapVersion(status);
    if (status.isFatal()) {
        return 0;
    }
    if (!storageMapVersionsOverlap(oldestCompatible, mapVersion, kOldestManufacturingMapVersion,
                                   kNewestManufacturingMapVersion)) {
        KELVO_SET_STATUS(status, kStorageMapVersionUnsupported);
        return 0;
    }
    return map.getBoardSerialNumber(status);
}

void KelvoHelper::setRoutingResources() const { getRoutingObjects().setRoutingResources(); }

void KelvoHelper::clearRoutingResources() const {
    if (isBuilt(kLevelRoutingObjects)) {
        getRoutingObjects().clearRoutingResources();
    }
}

void KelvoHelper::checkHardwareState(uint64_t, tStatus& status) { checkers_.checkHardwareState(status); }

bool KelvoHelper::areStorageMapChecksumsValid(tStatus& status) const {
    return getTYMOObjects().getStorageMapChecksumChecker().areChecksumsValid(status);
}

bool KelvoHelper::areStorageMapVersionsValid(tStatus& status) const {
    return getTYMOObjects().getStorageMapVersionChecker().areVersionsValid(status);
}

bool KelvoHelper::queryInCompliance(uint32_t, tStatus& status) const { return status.isNotFatal(); }

} // namespace kelvo_driver
