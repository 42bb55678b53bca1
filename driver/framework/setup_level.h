// How far a device has been set up: each level is the completion of one
// setup task, from 0 (nothing set up) to 19 (fully set up).
#pragma once

#include <stdint.h>

namespace kelvo_shared {

enum SetupLevel : uint32_t {
    kSetupLevelNone = 0,
    kSetupLevelComplete = 19,
    // Levels there are (0 to 19); a level of this value or more is no level.
    kSetupLevelCount = 20,
};

} // namespace kelvo_shared
