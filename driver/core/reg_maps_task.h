// Setup level 5: the non-isolated FPGA's register maps and the device window
// "NisoFpgaWindow", over the level-3 mapped memory window. The task is the
// register-map group: its destructor removes every name the group registered.
#pragma once

#include <stdint.h>

#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

class NonIsolatedRegMapsTask : public NonIsolatedRegMapsTaskInterface {
public:
    // Builds the group of the board generation that caps names; the group
    // registers its maps and window only when all of it was built.
    NonIsolatedRegMapsTask(uint64_t bar, RegiDispatchers& dispatchers, const Caps& caps,
                           nVOAPALS100::tStatus& status)
        : group_(bar, dispatchers.registerMapDispatcher, dispatchers.deviceWindowDispatcher, caps.capsPtr,
                 status) {}
    ~NonIsolatedRegMapsTask() override = default;

    NonIsolatedRegMaps& getNonIsolatedRegMaps() override { return group_; }

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

private:
    NonIsolatedRegMaps group_;
};

} // namespace kelvo_driver
