// The level table devices set up from: the product's unless a test installs another (null: the product's).
#pragma once

#include "core/setup_levels.h"

namespace kelvo_test {

void setSetupLevelTable(const kelvo_driver::SetupLevelTable* table);

} // namespace kelvo_test
