// The level table the devices of a test program set up from: the product's
// unless a test installs another (null puts the product's back).
#pragma once

#include "core/setup_levels.h"

namespace kelvo_test {

void setSetupLevelTable(const kelvo_driver::SetupLevelTable* table);

} // namespace kelvo_test
