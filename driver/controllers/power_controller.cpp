#include "controllers/power_controller.h"

#include "framework/mutex_holder.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

PowerController::PowerController(corran_shared::PowerAllocationController* powerAllocationController,
                                 const corran_caps::PowerAllocationLimitInMicroWatts* limitObject,
                                 kelvo_regmaps::tKelvoTransformerControlRegMap* transformerControlMap,
                                 uint16_t settingA, uint16_t settingB)
    : powerAllocationController_(powerAllocationController), limitObject_(limitObject),
      transformerControlMap_(transformerControlMap), settingA_(settingA), settingB_(settingB) {}

void PowerController::setCoolingMode(uint8_t, tStatus&) {}

void PowerController::enableTransformer(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (transformerControlMap_ == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    auto& a = transformerControlMap_->TransformerControlA;
    auto& b = transformerControlMap_->TransformerControlB;
    // Each a field write: the register is written when the field changed
    // its soft copy or it was dirty already. Only setup runs it (level 7),
    // under the device mutex with no request inside the gate: no tree lock.
    a.writeEnable(false, status, false);
    a.writeSettingA(settingA_, status, false);
    b.writeSettingB(settingB_, status, false);
    a.writeEnable(true, status, false);
}

PXICoolingControllerImpl::PXICoolingControllerImpl(uint32_t requestedCoolingMode, CoolingModeState* state,
                                                   PowerController* powerController, tStatus& status)
    : requestedCoolingMode_(requestedCoolingMode), powerController_(powerController), state_(state) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

void PXICoolingControllerImpl::setCoolingMode(uint32_t mode, uint32_t overrideState, tStatus& status) {
    kdut::internal::MutexHolder hold(mutex_);
    if (status.isFatal()) {
        return;
    }
    if (overrideState != kOverride && state_->override == kOverride) {
        return; // the override in force stays
    }
    const uint8_t newMode = static_cast<uint8_t>(mode);
    if (newMode != state_->mode) {
        powerController_->setCoolingMode(newMode, status);
        if (status.isNotFatal()) {
            state_->mode = newMode;
            state_->override = overrideState;
        }
    } else {
        state_->override = overrideState;
    }
}

uint32_t PXICoolingControllerImpl::getCoolingMode() {
    kdut::internal::MutexHolder hold(mutex_);
    return state_->mode;
}

} // namespace kelvo_driver
