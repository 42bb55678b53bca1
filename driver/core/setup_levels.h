// The setup levels of the product device: one setup task per level, built in
// level order by the KelvoHelper from a level table.
//
// A level table says which task each level builds. The product's table
// (getProductSetupLevelTable) names the tasks built so far; a level whose
// entry is null fails with -52002 (not implemented), so setup stops at the
// level below it. Adding a level is setting its entry in the product table.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "core/custom_reset_parameters.h"
#include "framework/routing_session.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/pci_device.h"
#include "platform/status.h"
#include "platform/undo_list.h"
#include "storage/kelvo_storage_maps.h"

namespace kdut {
class HardwareStateCheckerComposite;
class HardwareStateCheckerInterface;
class ResourceReservationManager;
} // namespace kdut

namespace qeldma {
// The DMA dispatcher of the bridge's DMA streams (the bridge subsystem's).
class DMADispatcher;
} // namespace qeldma

namespace wexmoortools {
class SubroutinePackageInterface;
}

namespace kelvo_driver {

class BrixelDMAControllers;
class CalibrationDispatcher;
class IsolatedControllers;
class IsolatedRegMaps;
class NonIsolatedRegMaps;
class KelvoHelper;
class NonIsolatedControllers;
class NonIsolatedRegMaps;
class TYMORegMaps;
class StorageMapChecksumChecker;
class StorageMapVersionChecker;

constexpr uint32_t kNumberOfSetupTasks = 18;

// What a setup task is: the face through which the KelvoHelper and later
// tasks read it. One product class answers to each kind but kPlain, which
// nothing reads; a task is cast to a face only after its kind is checked
// (setupTaskCast, KelvoHelper::getTaskAs).
enum class SetupTaskKind : uint32_t {
    kPlain = 0,
    kRegiDispatchers,
    kCaps,
    kTYMOObjects,
    kNonIsolatedRegMaps,
    kNonIsolatedObjects,
    kIsolatedRegMaps,
    kSubroutinePackage,
    kIsolatedObjects,
    kDMAObjects,
    kCalibrationValues,
    kRoutingObjects,
    kBoardStartup,
};

// A setup task: a plain object whose setup step runs right after it is
// allocated (the task's factory does both) and takes the objects of earlier
// tasks through the KelvoHelper. Every object the setup step makes and every
// registration it makes pushes its own undoing onto the task's undo list as
// soon as it succeeded; the teardown runs that list backwards, so it undoes
// exactly what the setup got to, never fails and needs no record of how far
// setup came. The KelvoHelper runs the teardown and then frees the task.
class SetupTask : public nVOAPAL000::tObject {
public:
    explicit SetupTask(SetupTaskKind kind = SetupTaskKind::kPlain) : kind_(kind) {}
    // The undo list runs here too, after the task's own members are gone:
    // the owner runs the teardown first.
    virtual ~SetupTask() = default;
    SetupTask(const SetupTask&) = delete;
    SetupTask& operator=(const SetupTask&) = delete;

    SetupTaskKind kind() const { return kind_; }
    // Undoes the setup step, the latest step first. A second call does nothing.
    void teardown() { undo_.run(); }

protected:
    nVOAPAL000::tUndoList& undo() { return undo_; }
    // Adds checker (null: nothing) to the hardware-state checks; its removal
    // joins the undo list once the addition succeeded.
    void addChecker(kdut::HardwareStateCheckerComposite& checkers,
                    kdut::HardwareStateCheckerInterface* checker, nVOAPALS100::tStatus& status);

private:
    const SetupTaskKind kind_;
    nVOAPAL000::tUndoList undo_;
};

// task as Face when it is of Face's kind; null otherwise (and for null).
template <typename Face> Face* setupTaskCast(SetupTask* task) {
    return task != nullptr && task->kind() == Face::kKind ? static_cast<Face*>(task) : nullptr;
}

// What the setup tasks take besides the objects of earlier tasks: the
// custom reset words as the device passes them (words 5 and 8 narrowed to
// u32, word 11 as a bool; all 0 without a parameter block).
struct SetupInputs {
    nVOAPAL000::tPCIDevice* device;
    kdut::HardwareStateCheckerComposite* checkers;
    nVOAPAL000::tEventDescriptor event;
    uint64_t nonIsolatedFirmwarePtr;
    uint64_t nonIsolatedFirmwareSize;
    uint64_t isolatedFirmwarePtr;
    uint64_t isolatedFirmwareSize;
    uint64_t subroutineCommandsPtr;
    uint32_t numberOfSubroutineCommands;
    uint64_t subroutineIdsPtr;
    uint64_t subroutineAddressesPtr;
    uint32_t numberOfSubroutines;
    uint64_t errorsToDisablePtr;
    uint64_t numberOfErrorsToDisable;
    CoolingModeState* coolingModeState;
    bool ignoreStartupErrors;
    // The device's reservations, which the DMA streams answer to (may be null).
    kdut::ResourceReservationManager* reservations;
};

// Allocates the task of one level with the status (null and -52000 when it
// cannot) and runs its setup step, which leaves its first error in the
// status. The task is returned also when its setup step failed: the
// KelvoHelper tears it down at once.
using SetupTaskFactory = SetupTask* (*)(KelvoHelper& helper, const SetupInputs& inputs,
                                        nVOAPALS100::tStatus& status);

// tasks[k - 1] builds level k; null: the level is not built yet (-52002).
// The KelvoHelper and later tasks read some tasks through a face each, which
// names its kind and the level whose task implements it (kKind, kLevel).
struct SetupLevelTable {
    SetupTaskFactory tasks[kNumberOfSetupTasks];
};

// The product's levels.
const SetupLevelTable& getProductSetupLevelTable();
// The table a device builds its setup from: the product's
// (core/device_level_table.cpp).
const SetupLevelTable& getDeviceSetupLevelTable();

// What the KelvoHelper reads of the level-3 task (bridge and timing-chip
// objects, flash, storage maps and their checkers).
class TYMOObjectsInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kTYMOObjects;
    static constexpr uint32_t kLevel = 3;
    TYMOObjectsInterface() : SetupTask(kKind) {}

    virtual kelvo_storagemaps::KelvoStorageMapsInterface& getStorageMaps() = 0;
    virtual StorageMapChecksumChecker& getStorageMapChecksumChecker() = 0;
    virtual StorageMapVersionChecker& getStorageMapVersionChecker() = 0;
    // The bridge and timing-chip register maps (the FPGA downloads use them).
    virtual TYMORegMaps& getTYMORegMaps() = 0;
    // The kernel address of the device's mapped memory window 0 (BAR 0).
    virtual uint64_t getMappedWindow() = 0;
    // The four calibration maps and the versions the driver reads.
    virtual const CalibrationMapSet& getCalibrationMapSet() const = 0;
};

// What later tasks read of the level-5 task: the non-isolated FPGA's
// register-map group (its wrapper carries the isolated side's link).
class NonIsolatedRegMapsTaskInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kNonIsolatedRegMaps;
    static constexpr uint32_t kLevel = 5;
    NonIsolatedRegMapsTaskInterface() : SetupTask(kKind) {}

    virtual NonIsolatedRegMaps& getNonIsolatedRegMaps() = 0;
};

// What the KelvoHelper reads of the level-16 task (routing objects).
class RoutingObjectsInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kRoutingObjects;
    static constexpr uint32_t kLevel = 16;
    RoutingObjectsInterface() : SetupTask(kKind) {}

    virtual voark::RoutingResourcesManagerInterface* getRoutingResourcesManager() = 0;
    // Hands the board's routing resources to the manager and its sessions.
    virtual void setRoutingResources() = 0;
    // Withdraws them from the manager and its sessions.
    virtual void clearRoutingResources() = 0;
};

// What the KelvoHelper reads of the level-6 task (non-isolated controllers).
class NonIsolatedObjectsInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kNonIsolatedObjects;
    static constexpr uint32_t kLevel = 6;
    NonIsolatedObjectsInterface() : SetupTask(kKind) {}

    virtual PXICoolingController& getPXICoolingController() = 0;
    virtual TemperatureSensorController& getTemperatureSensorController() = 0;
    virtual corran_shared::PowerAllocationController& getPowerAllocationController() = 0;
    // The level-5 group that the task was built over; null in stand-ins.
    virtual NonIsolatedRegMaps* getNonIsolatedRegMaps() { return nullptr; }
    // The controller set itself; null in stand-ins.
    virtual NonIsolatedControllers* getNonIsolatedControllers() { return nullptr; }
};

// What later tasks read of the level-9 task: the isolated FPGA's register-map group.
class IsolatedRegMapsTaskInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kIsolatedRegMaps;
    static constexpr uint32_t kLevel = 9;
    IsolatedRegMapsTaskInterface() : SetupTask(kKind) {}

    virtual IsolatedRegMaps& getIsolatedRegMaps() = 0;
};

// What the KelvoHelper reads of the level-10 task (subroutine package).
class SubroutinePackageRegisterInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kSubroutinePackage;
    static constexpr uint32_t kLevel = 10;
    SubroutinePackageRegisterInterface() : SetupTask(kKind) {}

    // Null only when the task failed to make it.
    virtual wexmoortools::SubroutineRegistrarInterface* getSubroutineRegistrar() = 0;
    virtual wexmoortools::SubroutinePackageInterface* getSubroutinePackage() = 0;
};

// What the KelvoHelper reads of the level-11 task (isolated controllers).
class IsolatedObjectsInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kIsolatedObjects;
    static constexpr uint32_t kLevel = 11;
    IsolatedObjectsInterface() : SetupTask(kKind) {}

    virtual MeasureUnitControllerInterface& getMeasureUnitController() = 0;
    virtual SequenceEngineControllerInterface& getSequenceEngineController() = 0;
    virtual CalibrationDispatcher& getCalibrationDispatcher() = 0;
    // The controllers themselves (local RAM, sequence engine, ...); null where
    // a task offers only the faces above.
    virtual IsolatedControllers* getIsolatedControllers() { return nullptr; }
    // The calibration controllers whose offsets level 15 loads (null when
    // none); by default those of getIsolatedControllers.
    virtual CalibrationControllersInterface* getCalibrationControllers();
};

// What the KelvoHelper reads of the level-14 task (DMA objects).
class DMAObjectsInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kDMAObjects;
    static constexpr uint32_t kLevel = 14;
    DMAObjectsInterface() : SetupTask(kKind) {}

    // The DMA dispatcher, the streams' requests and waits.
    virtual qeldma::DMADispatcher& getDMADispatcher() = 0;
    // Ends the channel's pending wait with code.
    virtual void signalWait(uint32_t channel, int32_t code) = 0;
    // The controller set of both channels; null in stand-ins.
    virtual BrixelDMAControllers* getDMAControllers() { return nullptr; }
};

// What the KelvoHelper reads of the level-15 task (calibration values).
class LoadCalibrationValuesInterface : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kCalibrationValues;
    static constexpr uint32_t kLevel = 15;
    LoadCalibrationValuesInterface() : SetupTask(kKind) {}

    // Loads the calibration values of the channels of mask into the
    // controllers; search false loads again what was read before.
    virtual void loadChannels(uint64_t channelMask, bool search, nVOAPALS100::tStatus& status) = 0;
};

} // namespace kelvo_driver
