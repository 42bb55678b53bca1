// Takes the place of the driver's getDeviceSetupLevelTable, so that tests set modules up on their own table.
#include "core_test_levels.h"

namespace {
const kelvo_driver::SetupLevelTable* gTable = nullptr;
} // namespace

namespace kelvo_driver {

const SetupLevelTable& getDeviceSetupLevelTable() {
    const SetupLevelTable* table = __atomic_load_n(&gTable, __ATOMIC_ACQUIRE);
    return table != nullptr ? *table : getProductSetupLevelTable();
}

} // namespace kelvo_driver

namespace kelvo_test {

void setSetupLevelTable(const kelvo_driver::SetupLevelTable* table) {
    __atomic_store_n(&gTable, table, __ATOMIC_RELEASE);
}

} // namespace kelvo_test
