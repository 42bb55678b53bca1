#include "core/calibration_dispatcher.h"

#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

uint32_t CalibrationDispatcher::read(uint8_t channel, uint8_t loop, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    if (channel != 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return 0;
    }
    VOSDBG_ASSERT(controllers_ != nullptr);
    return controllers_->getChargeBalanceController(0).calculateOffset(loop, status);
}

void CalibrationDispatcher::write(uint8_t channel, uint8_t loop, uint16_t value, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (channel != 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    VOSDBG_ASSERT(controllers_ != nullptr);
    controllers_->getChargeBalanceController(0).setOffset(loop, value, status);
}

} // namespace kelvo_driver
