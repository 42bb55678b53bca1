// The host of the two sweeps: the fuzzing engine's (one module of each board,
// their handles), over the product's own setup levels, every board set up as
// far as the product reaches.
#pragma once

#include <cstdint>

#include "core/setup_levels.h"
#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"

namespace kelvo_sweep {

// Starts the engine's host, puts the product's level table in place and
// resets every board to the complete level: the lowest level they reached.
inline std::uint32_t startOnProductLevels(const kelvo_fuzz::Options& options) {
    kelvo_fuzz::start(options);
    kelvo_driver::setSetupLevelTableForTests(nullptr);
    std::uint32_t top = KELVO_SETUP_LEVEL_COMPLETE;
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
        const std::int64_t level = kelvo_fuzz::setupLevel(board);
        if (level < static_cast<std::int64_t>(top)) {
            top = level < 0 ? 0 : static_cast<std::uint32_t>(level);
        }
    }
    return top;
}

} // namespace kelvo_sweep
