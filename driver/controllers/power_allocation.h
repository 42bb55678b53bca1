// The module's power budget, shared by its channels, in microwatts. A client
// changes a channel's allocation in two phases: a stage (an increase is
// reserved from the pool at once and can fail), then a commit or a discard.
#pragma once

#include <stdint.h>

#include "controllers/controllers.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/vector.h"

namespace corran_shared {

// The staged increase is larger than what is left of the budget.
constexpr int64_t kPowerBudgetExceeded = KELVO_STATUS_POWER_BUDGET_EXCEEDED;

struct ChannelAllocation {
    uint64_t current; // committed, microwatts
    uint64_t staged;  // staged, microwatts
    bool isStaged;
};

class PowerAllocationControllerImpl final : public PowerAllocationController {
public:
    // Creates the mutex and channelCount zeroed channel records; -52000 when
    // either cannot be had. The pool starts at the whole budget.
    PowerAllocationControllerImpl(uint32_t deviceLimit, uint64_t channelCount, nVOAPALS100::tStatus& status);
    ~PowerAllocationControllerImpl() override;

    // Each does nothing and answers 0 when the status already holds an error.
    // The channel must be below the channel count (the callers admit channel 0 only).
    //
    // A stage on a staged channel discards that stage first. An increase
    // larger than the pool is 0xBFFA40A9 and reserves nothing; an increase
    // is reserved at once, a decrease only at the commit. Answers the pool
    // left after the call.
    uint32_t stagePowerAllocation(uint32_t channel, uint32_t newAllocation,
                                  nVOAPALS100::tStatus& status) override;
    void commitPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) override;
    void discardPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) override;
    // The channel's committed allocation.
    uint32_t getActualPowerAllocation(uint32_t channel, nVOAPALS100::tStatus& status) override;

    int64_t getDeviceLimit() const { return deviceLimit_; }
    // The part of the budget neither committed nor reserved (under the lock).
    int64_t getDevicePowerPool();

private:
    bool channelIsValid(uint32_t channel) const;
    // Under the lock.
    void discardLocked(uint32_t channel);
    bool isConsistent() const;
    void checkConsistency() const;

    int64_t deviceLimit_;
    int64_t devicePowerPool_;
    vohtl::Vector<ChannelAllocation> channels_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
};

} // namespace corran_shared
