// The dispatcher of register maps by name. It outlives every map registered
// in it; the register-map I/O controls look maps up in it (with an optional
// version suffix) and call their operations by identifier.
#pragma once

#include "framework/dispatcher.h"
#include "regs/dynamic_access.h"

namespace armki {

class ARMDispatcher : public voregitools::Dispatcher<arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>> {
public:
    ARMDispatcher() = default;
    ~ARMDispatcher() override {}
};

} // namespace armki
