#include "framework/hardware_state_checker_collection.h"

#include "platform/vosdbg.h"

namespace orut {

void HardwareStateCheckerCollection::checkHardwareState(nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    for (uint32_t i = 0; i < count_; ++i) {
        checkers_[i]->checkHardwareState(status);
    }
}

void HardwareStateCheckerCollection::add(kdut::HardwareStateCheckerInterface* checker) {
    if (count_ >= kCapacity) {
        VOSDBG_ASSERT_MSG(count_ < kCapacity, " Failed - No more space to add!");
        return;
    }
    checkers_[count_++] = checker;
}

void HardwareStateCheckerCollection::remove(kdut::HardwareStateCheckerInterface* checker) {
    for (uint32_t i = 0; i < count_; ++i) {
        if (checkers_[i] == checker) {
            for (uint32_t k = i + 1; k < count_; ++k) {
                checkers_[k - 1] = checkers_[k];
            }
            --count_;
            checkers_[count_] = nullptr;
            return;
        }
    }
    VOSDBG_ASSERT_MSG(false, " Failed - item was not found and therefore could not be erased");
}

} // namespace orut
