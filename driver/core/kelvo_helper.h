// The KelvoHelper owns everything the driver builds on a module between
// start and stop: one setup task per level. Its constructor is the setup
// sequence, its destructor the teardown. The device's operations reach the
// built objects only through its accessors, each of which requires the level
// that built its task (the I/O gates guarantee it).
#pragma once

#include <stdint.h>

#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "framework/cleanup_operation.h"
#include "framework/hardware_state_checker_composite.h"
#include "framework/setup_level.h"
#include "framework/setup_tracker.h"
#include "platform/memory.h"
#include "platform/owned.h"
#include "platform/status.h"
#include "regmaps/kelvo_seq_flex_loop_reg_map.h"

namespace kelvo_driver {

class WindowedFrontEndAccessor;

using SetupTracker = kdut::SetupTracker<kelvo_shared::SetupLevel>;

// Accepted versions of the manufacturing map, for the serial number.
constexpr uint32_t kOldestManufacturingMapVersion = kStorageMapVersion_1_0_0_d0;
constexpr uint32_t kNewestManufacturingMapVersion = kStorageMapVersion_1_0_0_d1;

// Owning pointer to one task; reading through it asserts the task exists.
class SetupTaskWrapper {
public:
    SetupTaskWrapper() = default;
    ~SetupTaskWrapper() { reset(); }
    SetupTaskWrapper(const SetupTaskWrapper&) = delete;
    SetupTaskWrapper& operator=(const SetupTaskWrapper&) = delete;

    SetupTask& get() const {
        VOSDBG_ASSERT_MSG(task_ != nullptr, "ASSERT(ptr != nullptr)");
        return *task_;
    }
    bool exists() const { return task_ != nullptr; }
    void set(SetupTask* task) { task_.reset(task); }
    // Runs the task's teardown step and frees it; the level no longer
    // counts as built while its teardown runs.
    void reset() {
        nVOAPAL000::tOwned<SetupTask> task(task_.release());
        if (task != nullptr) {
            task->teardown();
        }
    }

private:
    nVOAPAL000::tOwned<SetupTask> task_;
};

class KelvoHelper : public nVOAPAL000::tObject {
public:
    // The setup sequence: builds the levels of table in order up to the
    // tracker's target and advances the tracker after each. A level that
    // fails is torn down at once and keeps its error in the tracker; the
    // levels below it stay built. Reports only through the tracker.
    KelvoHelper(nVOAPAL000::tPCIDevice& device, const nVOAPAL000::tEventDescriptor& event,
                uint64_t nonIsolatedFirmwarePtr, uint64_t nonIsolatedFirmwareSize,
                uint64_t isolatedFirmwarePtr, uint64_t isolatedFirmwareSize, uint64_t subroutineCommandsPtr,
                uint32_t numberOfSubroutineCommands, uint64_t subroutineIdsPtr,
                uint64_t subroutineAddressesPtr, uint32_t numberOfSubroutines, uint64_t errorsToDisablePtr,
                uint64_t numberOfErrorsToDisable, CoolingModeState* coolingModeState,
                bool ignoreStartupErrors, kdut::ResourceReservationManager* reservations,
                SetupTracker& tracker, const SetupLevelTable& table = getProductSetupLevelTable());
    // The teardown: the open sessions' cleanup operations first (when the
    // device's restore flag is set), then the levels from the highest down.
    // Never fails.
    virtual ~KelvoHelper();
    KelvoHelper(const KelvoHelper&) = delete;
    KelvoHelper& operator=(const KelvoHelper&) = delete;

    // ---- the tasks ----------------------------------------------------------
    // Whether level (1 to 18) is built.
    bool isBuilt(uint32_t level) const;
    // The task of a built level (an assertion otherwise).
    SetupTask& getTask(uint32_t level) const;
    // The task of Face's level as Face: an assertion unless that level is
    // built and its task is of Face's kind.
    template <typename Face> Face& getTaskAs() const {
        Face* face = setupTaskCast<Face>(&getTask(Face::kLevel));
        VOSDBG_ASSERT_MSG(face != nullptr, "setup task of another kind");
        return *face;
    }
    RegiDispatchers& getRegiDispatchers() const;
    Caps& getCapsTask() const;

    // ---- plain accessors ----------------------------------------------------
    armki::ARMDispatcher& getARMDispatcher() const;                          // level 1
    devicewindow::DeviceWindowDispatcher& getDeviceWindowDispatcher() const; // level 1
    storagemap::StorageMapDispatcher& getStorageMapDispatcher() const;       // level 1
    const char* getModelName() const;                                        // level 2
    kdut::CleanupOperationComposite& getCleanupOperationComposite() { return cleanupComposite_; }
    kdut::HardwareStateCheckerComposite& getHardwareStateCheckerComposite() { return checkers_; }
    voark::RoutingResourcesManagerInterface* getRoutingResourcesManager() const; // level 16

    // ---- forwarders ---------------------------------------------------------
    // The board serial number of the "Manufacturing" map (level 3): 0xBFFA4088
    // when its checksum is wrong, 0xBFFA4082 when its versions do not overlap
    // the accepted ones.
    uint32_t getSerialNumber(nVOAPALS100::tStatus& status) const;
    void setRoutingResources() const; // level 16
    // Nothing (and no assertion) before level 16.
    void clearRoutingResources() const;
    // Level 6: the non-isolated controllers.
    int16_t readTemperatureSensor(nVOAPALS100::tStatus& status) const;
    void setCoolingMode(uint32_t mode, uint32_t override, nVOAPALS100::tStatus& status) const;
    uint32_t getCoolingMode() const;
    uint32_t getRequestedCoolingMode() const;
    uint32_t stagePowerAllocation(uint32_t channel, uint32_t power, nVOAPALS100::tStatus& status) const;
    void commitPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) const;
    void discardPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) const;
    uint32_t getActualPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) const;
    // Level 10: the registered subroutines. getNumSubroutines passes the
    // status to the registrar as it is.
    uint32_t getNumSubroutines(nVOAPALS100::tStatus& status) const;
    // Copies the identifiers and the local-RAM addresses (count u32 each) to
    // the two user buffers: a null address is 0xBFFA4311, a count other than
    // the number registered 0xBFFA4312.
    void getSubroutines(const nVOAPAL000::tEventDescriptor& event, uint64_t idsAddress,
                        uint64_t addressesAddress, uint32_t count, nVOAPALS100::tStatus& status) const;
    // Level 11: the measure unit and the sequence engine. A successful arm or
    // start registers the controller as a cleanup operation of the session; a
    // successful reset removes it again.
    void armMeasureUnit(kdut::CleanupOperationSessionInterface& session, nVOAPALS100::tStatus& status) const;
    void resetMeasureUnit(kdut::CleanupOperationSessionInterface& session,
                          nVOAPALS100::tStatus& status) const;
    void startSequenceEngine(kdut::CleanupOperationSessionInterface& session, uint64_t channelMask,
                             uint32_t commandCount, nVOAPALS100::tStatus& status) const;
    void resetSequenceEngine(kdut::CleanupOperationSessionInterface& session, uint64_t channelMask,
                             nVOAPALS100::tStatus& status) const;
    bool isSequenceEngineRunning(kdut::CleanupOperationSessionInterface& session, uint64_t channelMask,
                                 nVOAPALS100::tStatus& status) const;
    CalibrationDispatcher& getCalibrationDispatcher() const;
    // Level 14: DMA.
    qeldma::DMADispatcher& getDMADispatcher() const;
    // The dispatcher's wait of the session whose cleanup list is list.
    void waitUntilBytesTransferred(kdut::CleanupOperationComposite& list, uint32_t channel,
                                   uint64_t startCount, uint64_t byteCount, uint32_t timeout,
                                   uint32_t* timedOut, nVOAPALS100::tStatus& status) const;
    // Ends the channel's pending wait with 0xBFFA40E4.
    void cancelWaitUntilBytesTransferred(uint32_t channel) const;
    // Ends the pending wait of every DMA channel with 0xBFFA9179; nothing below level 14.
    void cancelAllWaitsUntilBytesTransferred() const;
    // Level 15: the calibration values already read are loaded again.
    void loadCalibrationToFirmwareFromStorageMapSoftcopy(uint64_t channelMask,
                                                         nVOAPALS100::tStatus& status) const;

    // Every checker that the levels added, in insertion order.
    void checkHardwareState(uint64_t word, nVOAPALS100::tStatus& status);
    // The isolation link's error bit (level 9 on; nothing below), for the
    // I/O-control dispatcher with no lock held: before a request's body (and
    // as a handle's close ends), a mark that an access outside a request left
    // for the calling thread is dropped; after it, when an access of the request saw the bit, the
    // checks that the composite would have asked then are asked, and one
    // that fails replaces the status (WindowedFrontEndAccessor). While the
    // link holds no mark of any thread, both read one word and return: a
    // thread's own marks are in its program order, so a 0 read before the
    // body means it has none, and a 0 read after means the body left none.
    void forgetIsolationLinkError() const {
        if (__atomic_load_n(&linkMarks_, __ATOMIC_RELAXED) != 0) {
            forgetMarkedIsolationLinkError();
        }
    }
    void explainIsolationLinkError(nVOAPALS100::tStatus& status) const {
        if (__atomic_load_n(&linkMarks_, __ATOMIC_RELAXED) != 0) {
            explainMarkedIsolationLinkError(status);
        }
    }
    // The count of the link's marks not taken yet, which the link's accessor
    // keeps (level 9 hands it over).
    uint32_t* getIsolationLinkMarks() { return &linkMarks_; }
    bool areStorageMapChecksumsValid(nVOAPALS100::tStatus& status) const; // level 3
    bool areStorageMapVersionsValid(nVOAPALS100::tStatus& status) const;  // level 3
    // True while the status holds no error; no hardware is read.
    bool queryInCompliance(uint32_t channel, nVOAPALS100::tStatus& status) const;
    // Pulses trigger 0x40C (bit 0 of the main measure unit's control
    // register) while the unit generates packets (else 0xBFFA4019); any
    // other trigger is -52002. Levels 5 and 9.
    bool overrideTrigger(uint64_t word, uint32_t trigger, nVOAPALS100::tStatus& status) const;
    // Events 0x129 to 0x12B: the sequence engine has stopped (level 11);
    // 0x135: bit 0 of the main measure unit's status is clear; any other
    // event is -52002.
    bool checkEventLatch(uint64_t word, uint16_t event, nVOAPALS100::tStatus& status) const;
    // These leave the status as it is.
    void checkBoardAndChannelBasedHardwareErrors(nVOAPALS100::tStatus&) const {}
    void clearChannelBasedHardwareErrors(nVOAPALS100::tStatus&) const {}
    void clearEventLatch(nVOAPALS100::tStatus&) const {}
    void getHardwareErrors(nVOAPALS100::tStatus&) const {}

private:
    WindowedFrontEndAccessor* getIsolationLink() const;
    void forgetMarkedIsolationLinkError() const;
    void explainMarkedIsolationLinkError(nVOAPALS100::tStatus& status) const;
    TYMOObjectsInterface& getTYMOObjects() const;
    NonIsolatedObjectsInterface& getNonIsolatedObjects() const;
    wexmoortools::SubroutineRegistrarInterface& getSubroutineRegistrar() const;
    IsolatedObjectsInterface& getIsolatedObjects() const;
    DMAObjectsInterface& getDMAObjects() const;
    RoutingObjectsInterface& getRoutingObjects() const;

    nVOAPAL000::tPCIDevice& device_;
    kdut::CleanupOperationComposite cleanupComposite_;
    kdut::HardwareStateCheckerComposite checkers_;
    uint32_t linkMarks_ = 0; // atomic; outlives the link, which a task holds
    SetupTaskWrapper tasks_[kNumberOfSetupTasks];
};

} // namespace kelvo_driver
