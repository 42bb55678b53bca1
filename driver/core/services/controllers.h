// What the driver core uses of the instrument controllers. The controllers
// subsystem implements these interfaces.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver {

// The charge-balance controller of one physical channel. Its register work is
// serialised by its own recursive mutex.
class ChargeBalanceController : public nVOAPAL000::tObject {
public:
    virtual ~ChargeBalanceController() = default;
    // Strobes the loop's balance, polls for the result and returns the loop's
    // 14-bit offset. A loop at or above getLoopCount is -52005.
    virtual uint32_t calculateOffset(uint8_t loop, nVOAPALS100::tStatus& status) = 0;
    // Writes the low 14 bits of value into the loop's offset register. A loop
    // at or above getLoopCount is -52005.
    virtual void setOffset(uint8_t loop, uint16_t value, nVOAPALS100::tStatus& status) = 0;
    virtual uint32_t getLoopCount() const = 0;
};

// The calibration controllers of the isolated side.
class CalibrationControllers : public nVOAPAL000::tObject {
public:
    static constexpr uint32_t kNumberOfPhysicalChannels = 1;

    virtual ~CalibrationControllers() = default;
    // The controller of a physical channel below kNumberOfPhysicalChannels (an invariant).
    virtual ChargeBalanceController& getChargeBalanceController(uint32_t physicalChannel) = 0;
};

} // namespace kelvo_driver
