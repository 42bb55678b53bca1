#include "core/non_isolated_objects.h"

#include "core/board_signature.h"
#include "core/kelvo_helper.h"
#include "platform/time.h"
#include "platform/vosdbg.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {
constexpr uint32_t kLevelNonIsolatedRegMaps = 5;
constexpr uint32_t kLevelNonIsolatedObjects = 6;
} // namespace

SetupTask* NonIsolatedObjects::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    NonIsolatedObjects* task = new (status, false) NonIsolatedObjects();
    if (task != nullptr) {
        auto& regMaps =
            static_cast<NonIsolatedRegMapsTaskInterface&>(helper.getTask(kLevelNonIsolatedRegMaps));
        VOSDBG_ASSERT(inputs.checkers != nullptr);
        task->setup(*inputs.checkers, regMaps.getNonIsolatedRegMaps(), inputs.coolingModeState,
                    helper.getCapsTask(), status);
    }
    return task;
}

void NonIsolatedObjects::setup(kdut::HardwareStateCheckerComposite& checkers, NonIsolatedRegMaps& regMaps,
                               CoolingModeState* coolingState, const Caps& caps, tStatus& status) {
    checkers_ = &checkers;
    regMaps_ = &regMaps;
    isSolstra_ = caps.isSolstra();
    isDuskmere_ = caps.isDuskmere();
    signatureVerifier_.reset();
    VOSDBG_ASSERT(caps.capsPtr != nullptr);
    if (status.isFatal() || caps.capsPtr == nullptr) {
        return;
    }
    controllers_ = new (status, false)
        NonIsolatedControllers(regMaps.wrapper, checkers, coolingState, *caps.capsPtr, status);
    if (status.isNotFatal()) {
        signatureVerifier_ = makeBoardSignatureVerifier<static_cast<int32_t>(kNonIsolatedSignatureWrong)>(
            regMaps.wrapper, isSolstra_, isDuskmere_, status);
    }
    if (status.isNotFatal()) {
        VOSDBG_ASSERT(signatureVerifier_);
        checkers_->add(signatureVerifier_.get(), status);
        verifierAdded_ = status.isNotFatal();
    }
}

void NonIsolatedObjects::teardown() {
    if (verifierAdded_) {
        tStatus local;
        checkers_->remove(signatureVerifier_.get(), local);
        verifierAdded_ = false;
    }
    delete controllers_;
    controllers_ = nullptr;
    signatureVerifier_.reset();
}

SetupTask* PowerMonitorsTask::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    PowerMonitorsTask* task = new (status, false) PowerMonitorsTask();
    if (task != nullptr) {
        task->setup(static_cast<NonIsolatedObjectsInterface&>(helper.getTask(kLevelNonIsolatedObjects)),
                    status);
    }
    return task;
}

void PowerMonitorsTask::setup(NonIsolatedObjectsInterface& nonIsolatedObjects, tStatus& status) {
    NonIsolatedControllers* controllers = nonIsolatedObjects.getNonIsolatedControllers();
    VOSDBG_ASSERT(controllers != nullptr);
    if (controllers == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    powerController_ = &controllers->powerController;
    powerController_->enableTransformer(status);
    if (status.isNotFatal()) {
        nVOAPAL000::sleepMicroseconds(kSettleMicroseconds);
    }
}

} // namespace kelvo_driver
