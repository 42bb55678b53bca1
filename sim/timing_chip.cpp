#include "sim/timing_chip.h"

#include <cstdio>
#include <string>

namespace sim {

TimingChip::TimingChip() : LatchBlock("timing-chip", kSize, kWidth8 | kWidth16 | kWidth32) {
    setUnmarkedReadable(false);
    for (std::uint64_t offset : {0x00, 0x34, 0x38, 0x40, 0x48}) {
        markSplit(offset, 4, 0);
    }
    markSplit(0xDC, 2, 0);
    markSplit(0xE0, 2, 0);
}

void TimingChip::onWrite(std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    const std::uint64_t end = offset + width;
    const bool inside = end <= 0x32 || (offset >= 0x34 && end <= 0x6A) || (offset >= 0x88 && end <= 0x107);
    if (!inside) {
        char text[96];
        std::snprintf(text, sizeof text, "%s: %u-bit write at +0x%llX, where no register is", name().c_str(),
                      width * 8, static_cast<unsigned long long>(offset));
        errors().report(text);
        return;
    }
    LatchBlock::onWrite(offset, width, value);
}

} // namespace sim
