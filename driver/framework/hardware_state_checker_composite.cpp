#include "framework/hardware_state_checker_composite.h"

namespace kdut {

void HardwareStateCheckerComposite::checkHardwareState(nVOAPALS100::tStatus& status) {
    checkHardwareStateWithout(nullptr, false, status);
}

void HardwareStateCheckerComposite::checkHardwareStateWithout(const HardwareStateCheckerInterface* left,
                                                              bool stopAtLeft, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    for (size_t i = 0; i < checkers_.size(); ++i) {
        HardwareStateCheckerInterface* checker = checkers_.at(i);
        if (checker != left) {
            checker->checkHardwareState(status);
        } else if (stopAtLeft) {
            return;
        }
    }
}

} // namespace kdut
