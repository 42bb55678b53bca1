// The level table a device builds its setup from: the product's. This file
// holds nothing else, so that a test program can link a definition of its
// own in its place (tests/support/level_table.cpp).
#include "core/setup_levels.h"

namespace kelvo_driver {

const SetupLevelTable& getDeviceSetupLevelTable() {
    return getProductSetupLevelTable();
}

} // namespace kelvo_driver
