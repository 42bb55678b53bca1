#include "framework/hardware_state_checker_composite.h"

namespace kdut {

void HardwareStateCheckerComposite::checkHardwareState(nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    for (size_t i = 0; i < checkers_.size(); ++i) {
        checkers_.at(i)->checkHardwareState(status);
    }
}

} // namespace kdut
