// The channel checks that the operation bodies share: this product has one
// physical channel (0, mask bit 0), and an operation on a channel also needs
// it reserved by the request's session.
#pragma once

#include <stdint.h>

#include "core/ioctl/context.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl::channels {

inline constexpr int64_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
inline constexpr uint64_t kValidChannelMask = 1;

// Channel 0 only (0xBFFA4303).
inline bool channelIsZero(uint32_t channel, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (channel != 0) {
        KELVO_SET_STATUS(status, kInvalidChannel);
        return false;
    }
    return true;
}

// No bits beyond the product's channels and, unless allowEmpty, not empty (0xBFFA4303).
inline bool maskIsValid(uint64_t mask, bool allowEmpty, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if ((mask & ~kValidChannelMask) != 0 || (!allowEmpty && mask == 0)) {
        KELVO_SET_STATUS(status, kInvalidChannel);
        return false;
    }
    return true;
}

// The channels of mask are reserved by the request's session (0xBFFA431A);
// -52020 for a request without a session.
template <class Access>
bool sessionReserved(const nVOAPAL000::tEventDescriptor& event, uint64_t mask, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    if (session == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        return false;
    }
    Access::checkReserved(*session, mask, status);
    return status.isNotFatal();
}

} // namespace kelvo_driver::ioctl::channels
