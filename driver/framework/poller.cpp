#include "framework/poller.h"

#include "platform/vosdbg.h"

namespace orut::internal {

void checkTimeoutResolution(uint64_t timeoutMicroseconds, uint32_t timebaseUnit,
                            uint64_t timebaseResolution) {
    const uint64_t inTimebaseUnit =
        nVOAPAL200_convertTime(timeoutMicroseconds, nVOAPAL200_kMicroseconds, timebaseUnit);
    VOSDBG_ASSERT_MSG(
        inTimebaseUnit >= timebaseResolution,
        " ERROR: the timer type you are using has insufficient resolution for the time of interest!");
}

bool conditionHolds(uint64_t maskedValue, uint64_t mask, uint64_t expected, uint32_t condition,
                    nVOAPALS100::tStatus& status) {
    switch (condition) {
    case 0:
        return maskedValue != 0;
    case 1:
        return maskedValue == mask;
    case 2:
        return maskedValue == 0;
    case 3:
        return maskedValue == expected;
    default:
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return false;
    }
}

} // namespace orut::internal
