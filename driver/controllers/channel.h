// Channel numbers and channel bitmasks: clients name a physical channel by
// number or by a 64-bit bitmask (bit n: channel n), and name a DMA channel
// instead in the DMA requests (two DMA channels per physical channel).
#pragma once

#include <stdint.h>

#include "platform/vosdbg.h"

namespace voquantasharedsource {

using PhysicalChannelNumber = uint8_t;

class ChannelBitmaskBase {
public:
    // Bit (channel & 63) set.
    static constexpr uint64_t convertToBitmask(PhysicalChannelNumber channel) {
        return uint64_t{1} << (channel & 63u);
    }
    // The number of the one bit set (an invariant: exactly one bit), scanned from bit 0 up.
    static PhysicalChannelNumber convertToChannelNumber(uint64_t bitmask) {
        VOSDBG_ASSERT(bitmask != 0 && (bitmask & (bitmask - 1)) == 0);
        PhysicalChannelNumber channel = 0;
        while (channel < 63 && (bitmask & (uint64_t{1} << channel)) == 0) {
            ++channel;
        }
        return channel;
    }
};

class PhysicalChannelBitmask : public ChannelBitmaskBase {
public:
    explicit constexpr PhysicalChannelBitmask(uint64_t bits) : value(bits) {}
    uint64_t value;
};

class LogicalChannelBitmask {
public:
    explicit constexpr LogicalChannelBitmask(uint64_t bits) : value(bits) {}
    // The lowest channel set (an invariant: not empty).
    uint8_t getFirstChannel() const {
        VOSDBG_ASSERT(value != 0);
        return static_cast<uint8_t>(__builtin_ctzll(value));
    }
    // The bitmask without its lowest channel (an invariant: not empty).
    LogicalChannelBitmask removeFirstChannel() const {
        VOSDBG_ASSERT(value != 0);
        return LogicalChannelBitmask(value & (value - 1));
    }
    uint64_t value;
};

// The physical channel of a DMA channel: value >> 1. The value must fit in
// eight bits (an invariant; callers refuse larger ones first).
inline PhysicalChannelNumber toPhysicalChannelNumberChecked(uint32_t dmaChannel) {
    VOSDBG_ASSERT_CMP(dmaChannel, <=, 0xFFu);
    return static_cast<PhysicalChannelNumber>(dmaChannel >> 1);
}

// The same without the check: the low byte, shifted.
constexpr PhysicalChannelNumber toPhysicalChannelNumber(uint32_t value) {
    return static_cast<PhysicalChannelNumber>((value & 0xFFu) >> 1);
}

} // namespace voquantasharedsource
