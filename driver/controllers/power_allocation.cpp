#include "controllers/power_allocation.h"

#include "framework/mutex_holder.h"
#include "platform/vosdbg.h"

namespace corran_shared {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

PowerAllocationControllerImpl::PowerAllocationControllerImpl(uint32_t deviceLimit, uint64_t channelCount,
                                                             tStatus& status)
    : deviceLimit_(deviceLimit), devicePowerPool_(deviceLimit) {
    nVOAPAL200_createMutex(&mutex_, &status);
    if (status.isNotFatal() && channels_.resize(static_cast<size_t>(channelCount), status)) {
        for (ChannelAllocation& channel : channels_) {
            channel = ChannelAllocation{0, 0, false};
        }
    }
}

PowerAllocationControllerImpl::~PowerAllocationControllerImpl() = default;

bool PowerAllocationControllerImpl::channelIsValid(uint32_t channel) const {
    VOSDBG_ASSERT_CMP(channel, <, channels_.size());
    return channel < channels_.size();
}

int64_t PowerAllocationControllerImpl::getDevicePowerPool() {
    MutexHolder hold(mutex_);
    return devicePowerPool_;
}

bool PowerAllocationControllerImpl::isConsistent() const {
    uint64_t committed = 0;
    for (const ChannelAllocation& channel : channels_) {
        if (channel.isStaged) {
            return true;
        }
        committed += channel.current;
    }
    return static_cast<uint64_t>(deviceLimit_ - devicePowerPool_) == committed;
}

void PowerAllocationControllerImpl::checkConsistency() const {
    VOSDBG_ASSERT(devicePowerPool_ >= 0 && devicePowerPool_ <= deviceLimit_);
    VOSDBG_ASSERT_MSG(isConsistent(), " PowerAllocationController data is inconsistent! Something went wrong "
                                      "with math!");
}

void PowerAllocationControllerImpl::discardLocked(uint32_t channel) {
    ChannelAllocation& record = channels_[channel];
    if (record.isStaged) {
        const int64_t difference = static_cast<int64_t>(record.staged) - static_cast<int64_t>(record.current);
        VOSDBG_ASSERT(difference != 0);
        if (difference > 0) {
            devicePowerPool_ += difference;
        }
        record.staged = 0;
        record.isStaged = false;
    }
    checkConsistency();
}

uint32_t PowerAllocationControllerImpl::stagePowerAllocation(uint32_t channel, uint32_t newAllocation,
                                                             tStatus& status) {
    if (status.isFatal() || !channelIsValid(channel)) {
        return 0;
    }
    MutexHolder hold(mutex_);
    checkConsistency();
    ChannelAllocation& record = channels_[channel];
    if (record.isStaged) {
        discardLocked(channel);
    }
    const int64_t difference = static_cast<int64_t>(newAllocation) - static_cast<int64_t>(record.current);
    if (difference > 0) {
        if (difference > devicePowerPool_) {
            KELVO_SET_STATUS(status, kPowerBudgetExceeded);
        } else {
            devicePowerPool_ -= difference;
            record.staged = newAllocation;
            record.isStaged = true;
        }
    } else if (difference < 0) {
        record.staged = newAllocation;
        record.isStaged = true;
    }
    return static_cast<uint32_t>(devicePowerPool_);
}

void PowerAllocationControllerImpl::commitPowerAllocation(uint32_t channel, tStatus& status) {
    if (status.isFatal() || !channelIsValid(channel)) {
        return;
    }
    MutexHolder hold(mutex_);
    ChannelAllocation& record = channels_[channel];
    if (record.isStaged) {
        const int64_t difference = static_cast<int64_t>(record.staged) - static_cast<int64_t>(record.current);
        VOSDBG_ASSERT(difference != 0);
        if (difference < 0) {
            devicePowerPool_ -= difference;
        }
        record.current = record.staged;
        record.isStaged = false;
    }
    checkConsistency();
}

void PowerAllocationControllerImpl::discardPowerAllocation(uint32_t channel, tStatus& status) {
    if (status.isFatal() || !channelIsValid(channel)) {
        return;
    }
    MutexHolder hold(mutex_);
    discardLocked(channel);
}

uint32_t PowerAllocationControllerImpl::getActualPowerAllocation(uint32_t channel, tStatus& status) {
    if (status.isFatal() || !channelIsValid(channel)) {
        return 0;
    }
    MutexHolder hold(mutex_);
    return static_cast<uint32_t>(channels_[channel].current);
}

} // namespace corran_shared
