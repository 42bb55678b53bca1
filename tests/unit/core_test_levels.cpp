// The stand-in tasks of the test-only level table (core_test_levels.h).
#include "core_test_levels.h"

#include "core/calibration_values.h"
#include "core/dma_objects.h"
#include "core/tymo_objects.h"

#include "core/calibration_dispatcher.h"
#include "groups_test_levels.h"

namespace kelvo_test {

namespace {

using kelvo_driver::KelvoHelper;
using kelvo_driver::SetupInputs;
using kelvo_driver::SetupTask;

StandInState gState;

// Sets the configured failure when this level is the one to fail.
void maybeFail(std::uint32_t level, tStatus& status) {
    std::int64_t code = 0;
    {
        std::lock_guard g(gState.lock);
        if (gState.failLevel == level) {
            code = gState.failCode;
        }
    }
    if (code != 0) {
        KELVO_SET_STATUS(status, code);
    }
}

class StandInTask : public SetupTask {
public:
    explicit StandInTask(std::uint32_t level) : level_(level) {
        gState.record("setup " + std::to_string(level));
    }
    ~StandInTask() override { gState.record("free " + std::to_string(level_)); }
    void teardown() override { gState.record("teardown " + std::to_string(level_)); }

private:
    std::uint32_t level_;
};

template <std::uint32_t Level> SetupTask* createStandIn(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInTask(Level);
    if (task != nullptr) {
        maybeFail(Level, status);
    }
    return task;
}

// ---- level 3: fake storage maps and the real checkers ------------------------------

class FakeMap : public kelvo_storagemaps::ManufacturingStorageMapInterface {
public:
    explicit FakeMap(FakeMapState* state) : state_(state) {}
    std::uint32_t getMapVersion(tStatus& status) override { return read(status) ? state_->version : 0; }
    std::uint32_t getOldestCompatibleMapVersion(tStatus& status) override {
        return read(status) ? state_->oldestCompatible : 0;
    }
    bool isChecksumValid(tStatus& status) override { return read(status) && state_->checksumValid; }
    std::uint32_t getBoardSerialNumber(tStatus& status) override {
        return read(status) ? gState.serialNumber : 0;
    }
    std::uint8_t getBoardRevision(tStatus& status) override {
        return read(status) ? gState.boardRevision : 0;
    }
    std::uint8_t getAllowUnsafeFirmware(tStatus& status) override { return read(status) ? 1 : 0; }
    std::uint8_t getOldestCompatibleBoardRevision(tStatus& status) override { return read(status) ? 1 : 0; }

private:
    bool read(tStatus& status) {
        if (status.isFatal()) {
            return false;
        }
        if (state_->readError != 0) {
            KELVO_SET_STATUS(status, state_->readError);
            return false;
        }
        return true;
    }
    FakeMapState* state_;
};

class FakeCalibrationMap : public kelvo_storagemaps::CalibrationStorageMapInterface {
public:
    explicit FakeCalibrationMap(FakeMapState* state) : map_(state), state_(state) {}
    std::uint32_t getMapVersion(tStatus& status) override { return map_.getMapVersion(status); }
    std::uint32_t getOldestCompatibleMapVersion(tStatus& status) override {
        return map_.getOldestCompatibleMapVersion(status);
    }
    bool isChecksumValid(tStatus& status) override { return map_.isChecksumValid(status); }
    votypes::FixedPoint128<64, true> getModulatorChargeBalanceOffset(std::uint32_t index,
                                                                     tStatus& status) override {
        if (index >= 4) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            return {};
        }
        map_.getMapVersion(status); // the map's read error, if any
        return status.isFatal() ? votypes::FixedPoint128<64, true>{}
                                : votypes::FixedPoint128<64, true>(state_->offsets[index].first,
                                                                   state_->offsets[index].second);
    }

private:
    FakeMap map_;
    FakeMapState* state_;
};

class FakeStorageMaps : public kelvo_storagemaps::KelvoStorageMapsInterface {
public:
    kelvo_storagemaps::VersionedStorageMapInterface& getHeaderMap() override { return header; }
    kelvo_storagemaps::ManufacturingStorageMapInterface& getManufacturingMap() override {
        return manufacturing;
    }
    FakeMap header{&gState.header};
    FakeMap manufacturing{&gState.manufacturing};
    FakeCalibrationMap calibration[4] = {
        FakeCalibrationMap(&gState.calibration[0]), FakeCalibrationMap(&gState.calibration[1]),
        FakeCalibrationMap(&gState.calibration[2]), FakeCalibrationMap(&gState.calibration[3])};
};

class StandInTYMOObjects : public kelvo_driver::TYMOObjectsInterface {
public:
    StandInTYMOObjects(kdut::HardwareStateCheckerComposite* checkers)
        : checkers_(checkers), set_{{&maps_.calibration[0], &maps_.calibration[1], &maps_.calibration[2],
                                     &maps_.calibration[3]},
                                    kelvo_driver::kStorageMapVersion_1_0_0_d1,
                                    kelvo_driver::kStorageMapVersion_1_0_0_d0},
          checksumChecker_(&maps_, &set_), versionChecker_(&maps_, &set_) {
        gState.record("setup 3");
    }
    ~StandInTYMOObjects() override { gState.record("free 3"); }

    void setup(tStatus& status) {
        checkers_->add(&checksumChecker_, status);
        checkers_->add(&versionChecker_, status);
        maybeFail(3, status);
    }
    void teardown() override {
        gState.record("teardown 3");
        tStatus local;
        checkers_->remove(&versionChecker_, local);
        tStatus second;
        checkers_->remove(&checksumChecker_, second);
        regMaps.teardown();
    }
    kelvo_storagemaps::KelvoStorageMapsInterface& getStorageMaps() override { return maps_; }
    kelvo_driver::StorageMapChecksumChecker& getStorageMapChecksumChecker() override {
        return checksumChecker_;
    }
    kelvo_driver::StorageMapVersionChecker& getStorageMapVersionChecker() override { return versionChecker_; }
    kelvo_driver::TYMORegMaps& getTYMORegMaps() override { return regMaps.group(); }
    std::uint64_t getMappedWindow() override { return regMaps.bar(); }
    const kelvo_driver::CalibrationMapSet& getCalibrationMapSet() const override { return set_; }

private:
    kdut::HardwareStateCheckerComposite* checkers_;
    FakeStorageMaps maps_;
    kelvo_driver::CalibrationMapSet set_;
    kelvo_driver::StorageMapChecksumChecker checksumChecker_;
    kelvo_driver::StorageMapVersionChecker versionChecker_;

public:
    groups::TYMORegMapsPart regMaps;
};

SetupTask* createTYMO(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    helper.getRegiDispatchers(); // earlier levels exist
    auto* task = new (status, false) StandInTYMOObjects(inputs.checkers);
    if (task != nullptr) {
        task->regMaps.setup(helper, inputs, status);
        task->setup(status);
    }
    return task;
}

// ---- level 16: a fake routing-resources manager ---------------------------------------

class FakeRoutingManager : public voark::RoutingResourcesManagerInterface {
public:
    void setRoutingResources(voark::RoutingResourcesInterface*) override {
        std::lock_guard g(gState.lock);
        ++gState.resourcesSet;
    }
    void clearRoutingResources() override {
        std::lock_guard g(gState.lock);
        ++gState.resourcesCleared;
    }
    void registerRoutingSession(voark::RoutingSessionInterface&) override {
        std::lock_guard g(gState.lock);
        ++gState.registeredSessions;
    }
    void unregisterRoutingSession(voark::RoutingSessionInterface&) override {
        std::lock_guard g(gState.lock);
        --gState.registeredSessions;
    }
};

class StandInRoutingObjects : public kelvo_driver::RoutingObjectsInterface {
public:
    StandInRoutingObjects() { gState.record("setup 16"); }
    ~StandInRoutingObjects() override { gState.record("free 16"); }
    void teardown() override { gState.record("teardown 16"); }
    voark::RoutingResourcesManagerInterface* getRoutingResourcesManager() override { return &manager_; }
    void setRoutingResources() override { manager_.setRoutingResources(nullptr); }
    void clearRoutingResources() override { manager_.clearRoutingResources(); }

private:
    FakeRoutingManager manager_;
};

SetupTask* createRouting(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInRoutingObjects();
    if (task != nullptr) {
        maybeFail(16, status);
    }
    return task;
}

// ---- levels 6, 10, 11, 14 and 15: fake controllers behind the faces ----------------------

class FakeCooling : public kelvo_driver::PXICoolingController {
public:
    explicit FakeCooling(kelvo_driver::CoolingModeState* state) : state_(state) {}
    void setCoolingMode(std::uint32_t mode, std::uint32_t override, tStatus& status) override {
        if (status.isNotFatal()) {
            state_->mode = mode;
            state_->override = override;
        }
    }
    std::uint32_t getCoolingMode() override { return state_->override != 0 ? state_->mode : 16; }
    std::uint32_t getRequestedCoolingMode() override { return state_->mode; }

private:
    kelvo_driver::CoolingModeState* state_;
};

class FakeTemperature : public kelvo_driver::TemperatureSensorController {
public:
    std::int16_t readTemperature(tStatus&) override { return -12; }
};

class FakePower : public corran_shared::PowerAllocationController {
public:
    std::uint32_t stagePowerAllocation(std::uint32_t, std::uint32_t power, tStatus&) override {
        return staged = power;
    }
    void commitPowerAllocation(std::uint32_t, tStatus&) override { actual = staged; }
    void discardPowerAllocation(std::uint32_t, tStatus&) override { staged = 0; }
    std::uint32_t getActualPowerAllocation(std::uint32_t, tStatus&) override { return actual; }
    std::uint32_t staged = 0;
    std::uint32_t actual = 0;
};

class StandInNonIsolatedObjects : public kelvo_driver::NonIsolatedObjectsInterface {
public:
    explicit StandInNonIsolatedObjects(kelvo_driver::CoolingModeState* state) : cooling_(state) {
        gState.record("setup 6");
    }
    ~StandInNonIsolatedObjects() override { gState.record("free 6"); }
    void teardown() override { gState.record("teardown 6"); }
    kelvo_driver::PXICoolingController& getPXICoolingController() override { return cooling_; }
    kelvo_driver::TemperatureSensorController& getTemperatureSensorController() override {
        return temperature_;
    }
    corran_shared::PowerAllocationController& getPowerAllocationController() override { return power_; }

private:
    FakeCooling cooling_;
    FakeTemperature temperature_;
    FakePower power_;
};

SetupTask* createNonIsolatedObjects(KelvoHelper&, const SetupInputs& inputs, tStatus& status) {
    auto* task = new (status, false) StandInNonIsolatedObjects(inputs.coolingModeState);
    if (task != nullptr) {
        maybeFail(6, status);
    }
    return task;
}

class FakeRegistrar : public wexmoortools::SubroutineRegistrarInterface {
public:
    void getSubroutines(vohtl::Vector<std::uint32_t>& ids, vohtl::Vector<std::uint32_t>& addresses,
                        tStatus& status) override {
        std::lock_guard g(gState.lock);
        ids.clear();
        addresses.clear();
        for (std::uint32_t id : gState.subroutineIds) {
            ids.pushBack(id, status);
        }
        for (std::uint32_t address : gState.subroutineAddresses) {
            addresses.pushBack(address, status);
        }
    }
    std::uint32_t getNumSubroutines(tStatus&) override {
        std::lock_guard g(gState.lock);
        return static_cast<std::uint32_t>(gState.subroutineIds.size());
    }
    std::uint32_t getSubroutineAddress(std::uint32_t, tStatus&) override { return 0; }
};

class StandInSubroutinePackage : public kelvo_driver::SubroutinePackageRegisterInterface {
public:
    StandInSubroutinePackage() { gState.record("setup 10"); }
    ~StandInSubroutinePackage() override { gState.record("free 10"); }
    void teardown() override { gState.record("teardown 10"); }
    wexmoortools::SubroutineRegistrarInterface* getSubroutineRegistrar() override { return &registrar_; }
    wexmoortools::SubroutinePackageInterface* getSubroutinePackage() override { return nullptr; }

private:
    FakeRegistrar registrar_;
};

SetupTask* createSubroutinePackage(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInSubroutinePackage();
    if (task != nullptr) {
        maybeFail(10, status);
    }
    return task;
}

class FakeMeasureUnit : public kelvo_driver::MeasureUnitControllerInterface {
public:
    void arm(tStatus& status) override {
        if (status.isNotFatal() && gState.armError != 0) {
            KELVO_SET_STATUS(status, gState.armError);
        }
    }
    void reset(tStatus&) override {}
    void cleanup(tStatus&) override { ++gState.measureUnitCleanups; }
};

class FakeSequenceEngine : public kelvo_driver::SequenceEngineControllerInterface {
public:
    void start(std::uint32_t, tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        if (gState.startError != 0) {
            KELVO_SET_STATUS(status, gState.startError);
            return;
        }
        gState.engineRunning = true;
    }
    void reset(tStatus&) override { gState.engineRunning = false; }
    bool isRunning(tStatus&) override { return gState.engineRunning; }
    void cleanup(tStatus&) override {
        ++gState.sequenceEngineCleanups;
        gState.engineRunning = false;
    }
};

class FakeChargeBalance : public kelvo_driver::ChargeBalanceControllerInterface {
public:
    std::uint32_t calculateOffset(std::uint8_t loop, tStatus&) override { return 0x100u + loop; }
    void setOffset(std::uint8_t loop, std::uint16_t value, tStatus& status) override {
        if (status.isNotFatal()) {
            std::lock_guard g(gState.lock);
            gState.offsetsSet.emplace_back(loop, value);
        }
    }
    std::uint32_t getLoopCount() const override { return 4; }
};

class FakeCalibrationControllers : public kelvo_driver::CalibrationControllersInterface {
public:
    kelvo_driver::ChargeBalanceControllerInterface& getChargeBalanceController(std::uint32_t) override {
        return balance_;
    }

private:
    FakeChargeBalance balance_;
};

class StandInIsolatedObjects : public kelvo_driver::IsolatedObjectsInterface {
public:
    StandInIsolatedObjects() : dispatcher_(&calibration_) { gState.record("setup 11"); }
    ~StandInIsolatedObjects() override { gState.record("free 11"); }
    void teardown() override { gState.record("teardown 11"); }
    kelvo_driver::MeasureUnitControllerInterface& getMeasureUnitController() override { return measureUnit_; }
    kelvo_driver::SequenceEngineControllerInterface& getSequenceEngineController() override {
        return engine_;
    }
    kelvo_driver::CalibrationDispatcher& getCalibrationDispatcher() override { return dispatcher_; }
    kelvo_driver::CalibrationControllersInterface* getCalibrationControllers() override {
        return &calibration_;
    }

private:
    FakeMeasureUnit measureUnit_;
    FakeSequenceEngine engine_;
    FakeCalibrationControllers calibration_;
    kelvo_driver::CalibrationDispatcher dispatcher_;
};

SetupTask* createIsolatedObjects(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInIsolatedObjects();
    if (task != nullptr) {
        maybeFail(11, status);
    }
    return task;
}

class StandInDMAObjects : public kelvo_driver::DMAObjectsInterface {
public:
    StandInDMAObjects() { gState.record("setup 14"); }
    ~StandInDMAObjects() override { gState.record("free 14"); }
    void teardown() override { gState.record("teardown 14"); }
    // A dispatcher without streams: every DMA operation answers -52005.
    qeldma::DMADispatcher& getDMADispatcher() override { return dispatcher_; }
    void waitUntilBytesTransferred(std::uint32_t, std::uint64_t, std::uint64_t, std::uint32_t,
                                   std::uint32_t* timedOut, tStatus&) override {
        *timedOut = 1;
    }
    void signalWait(std::uint32_t channel, std::int32_t code) override {
        std::lock_guard g(gState.lock);
        gState.dmaSignals.emplace_back(channel, code);
    }

private:
    qeldma::DMADispatcher dispatcher_{nullptr, 0};
};

SetupTask* createDMAObjects(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInDMAObjects();
    if (task != nullptr) {
        maybeFail(14, status);
    }
    return task;
}

class StandInCalibrationValues : public kelvo_driver::LoadCalibrationValuesInterface {
public:
    StandInCalibrationValues() { gState.record("setup 15"); }
    ~StandInCalibrationValues() override { gState.record("free 15"); }
    void teardown() override { gState.record("teardown 15"); }
    void loadChannels(std::uint64_t mask, bool search, tStatus&) override {
        std::lock_guard g(gState.lock);
        gState.calibrationLoads.emplace_back(mask, search);
    }
};

SetupTask* createCalibrationValues(KelvoHelper&, const SetupInputs&, tStatus& status) {
    auto* task = new (status, false) StandInCalibrationValues();
    if (task != nullptr) {
        maybeFail(15, status);
    }
    return task;
}

const kelvo_driver::SetupLevelTable kTestTable = {{
    kelvo_driver::RegiDispatchers::create,
    kelvo_driver::Caps::create,
    createTYMO,
    createStandIn<4>,
    groups::createNonIsolatedRegMapsTask,
    createNonIsolatedObjects,
    createStandIn<7>,
    createStandIn<8>,
    groups::createIsolatedRegMapsTask,
    createSubroutinePackage,
    createIsolatedObjects,
    createStandIn<12>,
    createStandIn<13>,
    createDMAObjects,
    createCalibrationValues,
    createRouting,
    createStandIn<17>,
    createStandIn<18>,
}};

// The same over the real level 3 (flash, storage maps and their checkers).
const kelvo_driver::SetupLevelTable kTestTableOverRealLevel3 = [] {
    kelvo_driver::SetupLevelTable table = kTestTable;
    table.tasks[2] = kelvo_driver::TYMOObjects::create;
    return table;
}();

// The product's sequencer levels over the stand-ins and the groups.
const kelvo_driver::SetupLevelTable kTestTableOverRealSequencer = [] {
    kelvo_driver::SetupLevelTable table = kTestTable;
    const kelvo_driver::SetupLevelTable& product = kelvo_driver::getProductSetupLevelTable();
    for (std::uint32_t level : {10u, 11u, 12u, 13u, 17u}) {
        table.tasks[level - 1] = product.tasks[level - 1];
    }
    return table;
}();

// The same with the product's levels 14 and 15.
const kelvo_driver::SetupLevelTable kTestTableWithRealDMA = [] {
    kelvo_driver::SetupLevelTable table = kTestTable;
    table.tasks[13] = kelvo_driver::DMAObjects::create;
    table.tasks[14] = kelvo_driver::LoadCalibrationValues::create;
    return table;
}();

// The product's levels 1 to 9.
const kelvo_driver::SetupLevelTable kTestTableOverProductLevels = [] {
    kelvo_driver::SetupLevelTable table = kTestTable;
    const kelvo_driver::SetupLevelTable& product = kelvo_driver::getProductSetupLevelTable();
    for (std::uint32_t level = 1; level <= 9; ++level) {
        if (product.tasks[level - 1] != nullptr) {
            table.tasks[level - 1] = product.tasks[level - 1];
        }
    }
    return table;
}();

} // namespace

const kelvo_driver::SetupLevelTable& testSetupLevelTableOverProductLevels() {
    return kTestTableOverProductLevels;
}

const kelvo_driver::SetupLevelTable& testSetupLevelTableWithRealDMA() {
    return kTestTableWithRealDMA;
}

const kelvo_driver::SetupLevelTable& testSetupLevelTableOverRealSequencer() {
    return kTestTableOverRealSequencer;
}

const kelvo_driver::SetupLevelTable& testSetupLevelTableOverRealLevel3() {
    return kTestTableOverRealLevel3;
}

StandInState& standIns() {
    return gState;
}

const kelvo_driver::SetupLevelTable& testSetupLevelTable() {
    return kTestTable;
}

} // namespace kelvo_test
