#include "controllers/power_controller.h"

#include "framework/mutex_holder.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kSettingMask = 0xFFFFu;
constexpr uint32_t kEnableBit = 1u << 31;

// One field write of the register-map model: the soft copy takes the bits,
// and the register is written when that changed it or it was dirty already.
template <typename Record> void writeField(Record& record, uint32_t mask, uint32_t bits, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    arm::insertIntoRecord(record, mask, bits);
    if (record.dirty != 0) {
        record.flush(status, false);
    }
}

} // namespace

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
    writeField(a, kEnableBit, 0, status);
    writeField(a, kSettingMask, settingA_, status);
    writeField(b, kSettingMask, settingB_, status);
    writeField(a, kEnableBit, kEnableBit, status);
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
