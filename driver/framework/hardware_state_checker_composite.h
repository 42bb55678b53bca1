// The device's list of hardware-state checkers: run in insertion order with
// one status, so the first failure is reported and the later checkers do
// nothing. Checkers are not owned. No lock: filled during setup, used after.
#pragma once

#include "framework/hardware_state_checker.h"
#include "framework/status_chained_composite.h"

namespace kdut {

class HardwareStateCheckerComposite : public HardwareStateCheckerInterface {
public:
    HardwareStateCheckerComposite() = default;
    // Reserves room for capacity checkers (-52000 when it cannot).
    HardwareStateCheckerComposite(uint64_t capacity, nVOAPALS100::tStatus& status)
        : checkers_(capacity, status) {}
    ~HardwareStateCheckerComposite() override = default;

    void checkHardwareState(nVOAPALS100::tStatus& status) override;
    // The same without one checker: `left` is not run, nor, with
    // `stopAtLeft`, any checker after it. A `left` that is null or not in the
    // list leaves the whole list to run.
    void checkHardwareStateWithout(const HardwareStateCheckerInterface* left, bool stopAtLeft,
                                   nVOAPALS100::tStatus& status);
    // Appends (no duplicate check; -52000 when the list cannot grow).
    virtual void add(HardwareStateCheckerInterface* checker, nVOAPALS100::tStatus& status) {
        checkers_.add(checker, status);
    }
    // Removes the first occurrence; -52006 when absent.
    virtual void remove(HardwareStateCheckerInterface* checker, nVOAPALS100::tStatus& status) {
        checkers_.remove(checker, status);
    }
    virtual void clear() { checkers_.clear(); }
    bool contains(const HardwareStateCheckerInterface* checker) const { return checkers_.contains(checker); }
    size_t size() const { return checkers_.size(); }

private:
    internal::StatusChainedCompositeKernel<HardwareStateCheckerInterface> checkers_;
};

} // namespace kdut
