#include "core/non_isolated_objects.h"

#include "core/board_signature.h"
#include "core/kelvo_helper.h"
#include "platform/time.h"
#include "platform/vosdbg.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

SetupTask* NonIsolatedObjects::create(KelvoHelper& helper, const SetupInputs& inputs, tStatus& status) {
    NonIsolatedObjects* task = new (status, false) NonIsolatedObjects();
    if (task != nullptr) {
        auto& regMaps = helper.getTaskAs<NonIsolatedRegMapsTaskInterface>();
        VOSDBG_ASSERT(inputs.checkers != nullptr);
        task->setup(*inputs.checkers, regMaps.getNonIsolatedRegMaps(), inputs.coolingModeState,
                    helper.getCapsTask(), status);
    }
    return task;
}

void NonIsolatedObjects::setup(kdut::HardwareStateCheckerComposite& checkers, NonIsolatedRegMaps& regMaps,
                               CoolingModeState* coolingState, const Caps& caps, tStatus& status) {
    regMaps_ = &regMaps;
    isSolstra_ = caps.isSolstra();
    isDuskmere_ = caps.isDuskmere();
    VOSDBG_ASSERT(caps.capsPtr != nullptr);
    if (status.isFatal() || caps.capsPtr == nullptr) {
        return;
    }
    controllers_ = undo().own(new (status, false) NonIsolatedControllers(
        regMaps.wrapper, checkers, coolingState, *caps.capsPtr, status));
    if (status.isNotFatal()) {
        signatureVerifier_ = makeBoardSignatureVerifier<static_cast<int32_t>(kNonIsolatedSignatureWrong)>(
            regMaps.wrapper, isSolstra_, isDuskmere_, status);
    }
    if (status.isNotFatal()) {
        VOSDBG_ASSERT(signatureVerifier_);
        addChecker(checkers, signatureVerifier_.get(), status);
    }
}

SetupTask* PowerMonitorsTask::create(KelvoHelper& helper, const SetupInputs&, tStatus& status) {
    PowerMonitorsTask* task = new (status, false) PowerMonitorsTask();
    if (task != nullptr) {
        task->setup(helper.getTaskAs<NonIsolatedObjectsInterface>(), status);
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
