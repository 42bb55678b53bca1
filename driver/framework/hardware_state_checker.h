// A hardware-state checker answers whether the hardware is still in a state
// the driver can work with.
#pragma once

#include "platform/memory.h"
#include "platform/status.h"

namespace kdut {

class HardwareStateCheckerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~HardwareStateCheckerInterface() = default;
    // Nothing when the status is already fatal; otherwise leaves it unchanged
    // or sets one error that says what is wrong with the hardware.
    virtual void checkHardwareState(nVOAPALS100::tStatus& status) = 0;
};

} // namespace kdut
