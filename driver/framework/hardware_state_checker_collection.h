// A fixed-size collection of hardware-state checkers (at most 64, not owned),
// run in insertion order with one status.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker.h"

namespace orut {

class HardwareStateCheckerCollection : public kdut::HardwareStateCheckerInterface {
public:
    static constexpr uint32_t kCapacity = 64;

    HardwareStateCheckerCollection() = default;
    ~HardwareStateCheckerCollection() override { clear(); }

    // When the status holds no error, every member in insertion order with the same status.
    void checkHardwareState(nVOAPALS100::tStatus& status) override;
    // Appends; a full collection is an invariant failure.
    virtual void add(kdut::HardwareStateCheckerInterface* checker);
    // Removes the first occurrence and closes the gap; a checker that is not a
    // member is an invariant failure.
    virtual void remove(kdut::HardwareStateCheckerInterface* checker);
    virtual void clear() { count_ = 0; }

    uint32_t size() const { return count_; }

private:
    kdut::HardwareStateCheckerInterface* checkers_[kCapacity] = {};
    uint32_t count_ = 0;
};

} // namespace orut
