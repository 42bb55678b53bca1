// The stand-in tasks of the test-only level table (core_test_levels.h).
#include "core_test_levels.h"

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
    explicit StandInTask(std::uint32_t level) : level_(level) { gState.record("setup " + std::to_string(level)); }
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
    std::uint32_t getBoardSerialNumber(tStatus& status) override { return read(status) ? gState.serialNumber : 0; }

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

class FakeStorageMaps : public kelvo_storagemaps::KelvoStorageMapsInterface {
public:
    kelvo_storagemaps::VersionedStorageMapInterface& getHeaderMap() override { return header; }
    kelvo_storagemaps::ManufacturingStorageMapInterface& getManufacturingMap() override { return manufacturing; }
    FakeMap header{&gState.header};
    FakeMap manufacturing{&gState.manufacturing};
    FakeMap calibration[4] = {FakeMap(&gState.calibration[0]), FakeMap(&gState.calibration[1]),
                              FakeMap(&gState.calibration[2]), FakeMap(&gState.calibration[3])};
};

class StandInTYMOObjects : public kelvo_driver::TYMOObjectsInterface {
public:
    StandInTYMOObjects(kdut::HardwareStateCheckerComposite* checkers)
        : checkers_(checkers),
          set_{{&maps_.calibration[0], &maps_.calibration[1], &maps_.calibration[2], &maps_.calibration[3]},
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
    }
    kelvo_storagemaps::KelvoStorageMapsInterface& getStorageMaps() override { return maps_; }
    kelvo_driver::StorageMapChecksumChecker& getStorageMapChecksumChecker() override { return checksumChecker_; }
    kelvo_driver::StorageMapVersionChecker& getStorageMapVersionChecker() override { return versionChecker_; }

private:
    kdut::HardwareStateCheckerComposite* checkers_;
    FakeStorageMaps maps_;
    kelvo_driver::CalibrationMapSet set_;
    kelvo_driver::StorageMapChecksumChecker checksumChecker_;
    kelvo_driver::StorageMapVersionChecker versionChecker_;
};

SetupTask* createTYMO(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    helper.getRegiDispatchers(); // earlier levels exist
    auto* task = new (status, false) StandInTYMOObjects(inputs.checkers);
    if (task != nullptr) {
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

const kelvo_driver::SetupLevelTable kTestTable = {{
    kelvo_driver::RegiDispatchers::create,
    kelvo_driver::Caps::create,
    createTYMO,
    createStandIn<4>,
    createStandIn<5>,
    createStandIn<6>,
    createStandIn<7>,
    createStandIn<8>,
    createStandIn<9>,
    createStandIn<10>,
    createStandIn<11>,
    createStandIn<12>,
    createStandIn<13>,
    createStandIn<14>,
    createStandIn<15>,
    createRouting,
    createStandIn<17>,
    createStandIn<18>,
}};

} // namespace

StandInState& standIns() { return gState; }

const kelvo_driver::SetupLevelTable& testSetupLevelTable() { return kTestTable; }

} // namespace kelvo_test
