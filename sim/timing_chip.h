// The timing chip's register block at BAR 0 + 0x10000 ("timing-chip",
// 0x108 bytes): the digital-output registers (0x00-0x31), the output timer
// (0x34-0x69) and the trigger registers (0x88-0x106). Writes of 8, 16 or 32
// bits land in write latches; the few readable registers answer read values
// of their own, set by knobs, also where they share an offset with a written
// register:
//   0x00 (32 bits) digital-output status    0x34 (32) output-timer status
//   0x38, 0x40, 0x48 (32) UI, UC, BC save   0xDC (16) DC status
//   0xE0 (16) PFI digital input
// Reads anywhere else, and writes between the three groups, are device errors.
#pragma once

#include <cstdint>

#include "sim/latch_block.h"

namespace sim {

class TimingChip : public LatchBlock {
public:
    static constexpr std::uint64_t kBase = 0x10000;
    static constexpr std::uint64_t kSize = 0x108;

    TimingChip();

protected:
    void onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) override;
};

} // namespace sim
