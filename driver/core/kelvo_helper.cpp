#include "core/kelvo_helper.h"

#include "bridge/dma_dispatcher.h"
#include "core/sequencer_tasks.h"
#include "core/storage_map_checkers.h"
#include "core/utilities.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/vector.h"
#include "platform/vosdbg.h"
#include "regmaps/isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

constexpr int64_t kNullSubroutineBuffer = KELVO_STATUS_NULL_SUBROUTINE_BUFFER;
constexpr int64_t kSubroutineCountMismatch = KELVO_STATUS_SUBROUTINE_COUNT_MISMATCH;
constexpr uint32_t kOverridableTrigger = 0x40C;
constexpr uint16_t kFirstEngineEvent = 0x129;
constexpr uint16_t kLastEngineEvent = 0x12B;
constexpr uint16_t kMeasureUnitEvent = 0x135;
constexpr int32_t kWaitCancelled = KELVO_STATUS_WAIT_CANCELLED;
constexpr int32_t kWaitInvalidated = KELVO_STATUS_SESSION_INVALIDATED;
} // namespace

KelvoHelper::KelvoHelper(nVOAPAL000::tPCIDevice& device, const nVOAPAL000::tEventDescriptor& event,
                         uint64_t nonIsolatedFirmwarePtr, uint64_t nonIsolatedFirmwareSize,
                         uint64_t isolatedFirmwarePtr, uint64_t isolatedFirmwareSize,
                         uint64_t subroutineCommandsPtr, uint32_t numberOfSubroutineCommands,
                         uint64_t subroutineIdsPtr, uint64_t subroutineAddressesPtr,
                         uint32_t numberOfSubroutines, uint64_t errorsToDisablePtr,
                         uint64_t numberOfErrorsToDisable, CoolingModeState* coolingModeState,
                         bool ignoreStartupErrors, kdut::ResourceReservationManager* reservations,
                         SetupTracker& tracker, const SetupLevelTable& table)
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
                                ignoreStartupErrors,
                                reservations};
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

RegiDispatchers& KelvoHelper::getRegiDispatchers() const {
    return getTaskAs<RegiDispatchers>();
}

Caps& KelvoHelper::getCapsTask() const {
    return getTaskAs<Caps>();
}

TYMOObjectsInterface& KelvoHelper::getTYMOObjects() const {
    return getTaskAs<TYMOObjectsInterface>();
}

RoutingObjectsInterface& KelvoHelper::getRoutingObjects() const {
    return getTaskAs<RoutingObjectsInterface>();
}

armki::ARMDispatcher& KelvoHelper::getARMDispatcher() const {
    return getRegiDispatchers().registerMapDispatcher;
}

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
    kelvo_storagemaps::ManufacturingStorageMapInterface& map =
        getTYMOObjects().getStorageMaps().getManufacturingMap();
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

void KelvoHelper::setRoutingResources() const {
    getRoutingObjects().setRoutingResources();
}

void KelvoHelper::clearRoutingResources() const {
    if (isBuilt(RoutingObjectsInterface::kLevel)) {
        getRoutingObjects().clearRoutingResources();
    }
}

void KelvoHelper::checkHardwareState(uint64_t, tStatus& status) {
    checkers_.checkHardwareState(status);
}

WindowedFrontEndAccessor* KelvoHelper::getIsolationLink() const {
    auto* task = setupTaskCast<IsolatedRegMapsTaskInterface>(
        isBuilt(IsolatedRegMapsTaskInterface::kLevel) ? &getTask(IsolatedRegMapsTaskInterface::kLevel)
                                                      : nullptr);
    return task != nullptr ? task->getIsolatedRegMaps().getWindowedAccessor() : nullptr;
}

void KelvoHelper::forgetMarkedIsolationLinkError() const {
    if (WindowedFrontEndAccessor* link = getIsolationLink()) {
        link->forgetLinkError();
    }
}

void KelvoHelper::explainMarkedIsolationLinkError(tStatus& status) const {
    if (WindowedFrontEndAccessor* link = getIsolationLink()) {
        link->explainLinkError(status);
    }
}

bool KelvoHelper::areStorageMapChecksumsValid(tStatus& status) const {
    return getTYMOObjects().getStorageMapChecksumChecker().areChecksumsValid(status);
}

bool KelvoHelper::areStorageMapVersionsValid(tStatus& status) const {
    return getTYMOObjects().getStorageMapVersionChecker().areVersionsValid(status);
}

bool KelvoHelper::queryInCompliance(uint32_t, tStatus& status) const {
    return status.isNotFatal();
}

// ---- levels 5 to 15 -------------------------------------------------------------

NonIsolatedObjectsInterface& KelvoHelper::getNonIsolatedObjects() const {
    return getTaskAs<NonIsolatedObjectsInterface>();
}

IsolatedObjectsInterface& KelvoHelper::getIsolatedObjects() const {
    return getTaskAs<IsolatedObjectsInterface>();
}

DMAObjectsInterface& KelvoHelper::getDMAObjects() const {
    return getTaskAs<DMAObjectsInterface>();
}

wexmoortools::SubroutineRegistrarInterface& KelvoHelper::getSubroutineRegistrar() const {
    wexmoortools::SubroutineRegistrarInterface* registrar =
        getTaskAs<SubroutinePackageRegisterInterface>().getSubroutineRegistrar();
    VOSDBG_ASSERT_MSG(registrar != nullptr, " Subroutine Registrar Pointer is null!");
    return *registrar;
}

int16_t KelvoHelper::readTemperatureSensor(tStatus& status) const {
    if (status.isFatal()) {
        return 0;
    }
    return getNonIsolatedObjects().getTemperatureSensorController().readTemperature(status);
}

void KelvoHelper::setCoolingMode(uint32_t mode, uint32_t override, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    getNonIsolatedObjects().getPXICoolingController().setCoolingMode(mode, override, status);
}

uint32_t KelvoHelper::getCoolingMode() const {
    return getNonIsolatedObjects().getPXICoolingController().getCoolingMode();
}

uint32_t KelvoHelper::getRequestedCoolingMode() const {
    return getNonIsolatedObjects().getPXICoolingController().getRequestedCoolingMode();
}

uint32_t KelvoHelper::stagePowerAllocation(uint32_t channel, uint32_t power, tStatus& status) const {
    if (status.isFatal()) {
        return 0;
    }
    return getNonIsolatedObjects().getPowerAllocationController().stagePowerAllocation(channel, power,
                                                                                       status);
}

void KelvoHelper::commitPowerAllocation(uint32_t channel, tStatus& status) const {
    if (status.isNotFatal()) {
        getNonIsolatedObjects().getPowerAllocationController().commitPowerAllocation(channel, status);
    }
}

void KelvoHelper::discardPowerAllocation(uint32_t channel, tStatus& status) const {
    if (status.isNotFatal()) {
        getNonIsolatedObjects().getPowerAllocationController().discardPowerAllocation(channel, status);
    }
}

uint32_t KelvoHelper::getActualPowerAllocation(uint32_t channel, tStatus& status) const {
    if (status.isFatal()) {
        return 0;
    }
    return getNonIsolatedObjects().getPowerAllocationController().getActualPowerAllocation(channel, status);
}

uint32_t KelvoHelper::getNumSubroutines(tStatus& status) const {
    return getSubroutineRegistrar().getNumSubroutines(status);
}

void KelvoHelper::getSubroutines(const nVOAPAL000::tEventDescriptor& event, uint64_t idsAddress,
                                 uint64_t addressesAddress, uint32_t count, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    if (idsAddress == 0 || addressesAddress == 0) {
        KELVO_SET_STATUS(status, kNullSubroutineBuffer);
        return;
    }
    if (count != getNumSubroutines(status)) {
        KELVO_SET_STATUS(status, kSubroutineCountMismatch);
        return;
    }
    vohtl::Vector<uint32_t> ids;
    vohtl::Vector<uint32_t> addresses;
    getSubroutineRegistrar().getSubroutines(ids, addresses, status);
    if (status.isFatal()) {
        return;
    }
    // The registrar answers as many entries as it counts.
    VOSDBG_ASSERT(ids.size() >= count && addresses.size() >= count);
    if (ids.size() < count || addresses.size() < count) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    const uint64_t size = static_cast<uint64_t>(count) * sizeof(uint32_t);
    const nVOAPAL000::tUserBuffer idBuffer(event, idsAddress, size);
    const nVOAPAL000::tUserBuffer addressBuffer(event, addressesAddress, size);
    idBuffer.write(0, ids.data(), size, status);
    addressBuffer.write(0, addresses.data(), size, status);
}

void KelvoHelper::armMeasureUnit(kdut::CleanupOperationSessionInterface& session, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    MeasureUnitControllerInterface& unit = getIsolatedObjects().getMeasureUnitController();
    unit.arm(status);
    session.getCleanupOperationComposite().add(&unit, status);
}

void KelvoHelper::resetMeasureUnit(kdut::CleanupOperationSessionInterface& session, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    MeasureUnitControllerInterface& unit = getIsolatedObjects().getMeasureUnitController();
    unit.reset(status);
    session.getCleanupOperationComposite().remove(&unit, status);
}

void KelvoHelper::startSequenceEngine(kdut::CleanupOperationSessionInterface& session, uint64_t,
                                      uint32_t commandCount, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    SequenceEngineControllerInterface& engine = getIsolatedObjects().getSequenceEngineController();
    engine.start(commandCount, status);
    session.getCleanupOperationComposite().add(&engine, status);
}

void KelvoHelper::resetSequenceEngine(kdut::CleanupOperationSessionInterface& session, uint64_t,
                                      tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    SequenceEngineControllerInterface& engine = getIsolatedObjects().getSequenceEngineController();
    engine.reset(status);
    session.getCleanupOperationComposite().remove(&engine, status);
}

bool KelvoHelper::isSequenceEngineRunning(kdut::CleanupOperationSessionInterface&, uint64_t,
                                          tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    return getIsolatedObjects().getSequenceEngineController().isRunning(status);
}

CalibrationDispatcher& KelvoHelper::getCalibrationDispatcher() const {
    return getIsolatedObjects().getCalibrationDispatcher();
}

qeldma::DMADispatcher& KelvoHelper::getDMADispatcher() const {
    return getDMAObjects().getDMADispatcher();
}

void KelvoHelper::waitUntilBytesTransferred(kdut::CleanupOperationComposite& list, uint32_t channel,
                                            uint64_t startCount, uint64_t byteCount, uint32_t timeout,
                                            uint32_t* timedOut, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_CMP(channel, <, kNumberOfDMAChannels);
    bool flag = false;
    getDMADispatcher().waitUntilBytesTransferred(channel, startCount, byteCount, timeout, list, &flag,
                                                 status);
    *timedOut = flag ? 1 : 0;
}

void KelvoHelper::cancelWaitUntilBytesTransferred(uint32_t channel) const {
    VOSDBG_ASSERT_CMP(channel, <, kNumberOfDMAChannels);
    getDMAObjects().signalWait(channel, kWaitCancelled);
}

void KelvoHelper::cancelAllWaitsUntilBytesTransferred() const {
    if (!isBuilt(DMAObjectsInterface::kLevel)) {
        return;
    }
    for (uint32_t channel = 0; channel < kNumberOfDMAChannels; ++channel) {
        getDMAObjects().signalWait(channel, kWaitInvalidated);
    }
}

void KelvoHelper::loadCalibrationToFirmwareFromStorageMapSoftcopy(uint64_t channelMask,
                                                                  tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    getTaskAs<LoadCalibrationValuesInterface>().loadChannels(channelMask, false, status);
}

// ---- triggers and event latches -------------------------------------------------------

bool KelvoHelper::overrideTrigger(uint64_t, uint32_t trigger, tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (trigger != kOverridableTrigger) {
        KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        return false;
    }
    // Under the measure unit's lock, as its arm and reset.
    return getIsolatedObjects().getMeasureUnitController().overrideTrigger(status);
}

bool KelvoHelper::checkEventLatch(uint64_t, uint16_t event, tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (event >= kFirstEngineEvent && event <= kLastEngineEvent) {
        return !getIsolatedObjects().getSequenceEngineController().isRunning(status);
    }
    if (event != kMeasureUnitEvent) {
        KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        return false;
    }
    return getIsolatedObjects().getMeasureUnitController().isEventLatched(status);
}

} // namespace kelvo_driver
