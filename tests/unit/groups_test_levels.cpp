// The register-map groups behind levels 3, 5 and 9 of the test-only level table.
#include "groups_test_levels.h"

#include <mutex>
#include <string>

#include "bridge/tymo_reg_maps.h"
#include "core_test_levels.h"
#include "regmaps/isolated_reg_maps.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_test::groups {

namespace {

using kelvo_driver::KelvoHelper;
using kelvo_driver::SetupInputs;
using kelvo_driver::SetupTask;
using nVOAPALS100::tStatus;

// Sets the configured failure when this level is the one to fail.
void failIfChosen(uint32_t level, tStatus& status) {
    int64_t code = 0;
    {
        std::lock_guard g(standIns().lock);
        if (standIns().failLevel == level) {
            code = standIns().failCode;
        }
    }
    if (code != 0) {
        KELVO_SET_STATUS(status, code);
    }
}

// BAR 0 of the module, mapped for the life of a task.
class MappedBar {
public:
    void map(kelvo_driver::nVOAPAL000::tPCIDevice* device, tStatus& status) {
        device_ = device;
        bar_ = device_->mapMemoryWindow(0, status, 0);
    }
    ~MappedBar() {
        if (bar_ != nullptr) {
            device_->unmapMemoryWindow(0, bar_, 0);
        }
    }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(bar_); }

private:
    kelvo_driver::nVOAPAL000::tPCIDevice* device_ = nullptr;
    void* bar_ = nullptr;
};

class NonIsolatedRegMapsTask : public kelvo_driver::NonIsolatedRegMapsTaskInterface {
public:
    NonIsolatedRegMapsTask() { standIns().record("setup 5"); }
    ~NonIsolatedRegMapsTask() override { standIns().record("free 5"); }
    void setup(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
        bar_.map(inputs.device, status);
        if (status.isNotFatal()) {
            group = new (status, false) kelvo_driver::NonIsolatedRegMaps(
                bar_.address(), helper.getARMDispatcher(), helper.getDeviceWindowDispatcher(),
                helper.getCapsTask().capsPtr, status);
        }
        failIfChosen(5, status);
    }
    void teardown() override {
        standIns().record("teardown 5");
        delete group;
        group = nullptr;
    }
    kelvo_driver::NonIsolatedRegMaps& getNonIsolatedRegMaps() override { return *group; }

    kelvo_driver::NonIsolatedRegMaps* group = nullptr;

private:
    MappedBar bar_;
};

class IsolatedRegMapsTask : public kelvo_driver::IsolatedRegMapsTaskInterface {
public:
    IsolatedRegMapsTask() { standIns().record("setup 9"); }
    ~IsolatedRegMapsTask() override { standIns().record("free 9"); }
    void setup(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
        auto& nonIsolated = static_cast<kelvo_driver::NonIsolatedRegMapsTaskInterface&>(helper.getTask(5));
        {
            group = new (status, false) kelvo_driver::IsolatedRegMaps(
                nonIsolated.getNonIsolatedRegMaps().wrapper, helper.getARMDispatcher(),
                helper.getDeviceWindowDispatcher(), inputs.checkers, helper.getCapsTask().capsPtr, status);
        }
        failIfChosen(9, status);
    }
    void teardown() override {
        standIns().record("teardown 9");
        delete group;
        group = nullptr;
    }

    kelvo_driver::IsolatedRegMaps& getIsolatedRegMaps() override { return *group; }
    kelvo_driver::IsolatedRegMaps* group = nullptr;
};

} // namespace

void TYMORegMapsPart::setup(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    device_ = inputs.device;
    bar_ = device_->mapMemoryWindow(0, status, 0);
    if (status.isNotFatal()) {
        // The real mapped size of BAR 0: the DMA channel blocks are checked against it.
        group_ = new (status, false) kelvo_driver::TYMORegMaps(reinterpret_cast<uintptr_t>(bar_),
                                                               kelvo_driver::mappedSizeOfBar0(*device_),
                                                               helper.getARMDispatcher(), status);
    }
}

void TYMORegMapsPart::teardown() {
    delete group_;
    group_ = nullptr;
    if (bar_ != nullptr) {
        device_->unmapMemoryWindow(0, bar_, 0);
        bar_ = nullptr;
    }
}

SetupTask* createNonIsolatedRegMapsTask(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    auto* task = new (status, false) NonIsolatedRegMapsTask();
    if (task != nullptr) {
        task->setup(helper, inputs, status);
    }
    return task;
}

SetupTask* createIsolatedRegMapsTask(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    auto* task = new (status, false) IsolatedRegMapsTask();
    if (task != nullptr) {
        task->setup(helper, inputs, status);
    }
    return task;
}

} // namespace kelvo_test::groups
