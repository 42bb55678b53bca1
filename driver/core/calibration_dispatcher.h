// The calibration dispatcher: how the charge-balance offset operations of
// user mode reach the charge-balance controller of the module's one channel.
// It owns nothing.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver {

class CalibrationDispatcher : public nVOAPAL000::tObject {
public:
    // controllers must outlive the dispatcher.
    explicit CalibrationDispatcher(CalibrationControllersInterface* controllers)
        : controllers_(controllers) {}

    // The computed charge-balance offset of one loop of the channel; channel
    // other than 0: -52005 and 0, nothing touched.
    uint32_t read(uint8_t channel, uint8_t loop, nVOAPALS100::tStatus& status);
    // Sets the charge-balance offset of one loop of the channel; channel other
    // than 0: -52005, nothing touched.
    void write(uint8_t channel, uint8_t loop, uint16_t value, nVOAPALS100::tStatus& status);

private:
    CalibrationControllersInterface* controllers_;
};

} // namespace kelvo_driver
