// The setup tasks of levels 1 and 2: the name-keyed dispatchers and the
// product's capabilities record.
#pragma once

#include <stdint.h>

#include "core/setup_levels.h"
#include "framework/product_caps.h"
#include "regs/arm_dispatcher.h"
#include "storage/storage_map_dispatcher.h"
#include "windows/device_window_dispatcher.h"

namespace kelvo_driver {

// Level 1: the dispatchers through which user mode reaches register maps,
// device windows and storage maps by name. When they are destroyed, each removes what is left in it (storage
// maps first, then device windows, then register maps).
class RegiDispatchers : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kRegiDispatchers;
    static constexpr uint32_t kLevel = 1;

    RegiDispatchers() : SetupTask(kKind) {}
    ~RegiDispatchers() override = default;

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    armki::ARMDispatcher registerMapDispatcher;
    devicewindow::DeviceWindowDispatcher deviceWindowDispatcher;
    storagemap::StorageMapDispatcher storageMapDispatcher;
};

// Level 2: the capabilities record of the module's product.
class Caps : public SetupTask {
public:
    static constexpr SetupTaskKind kKind = SetupTaskKind::kCaps;
    static constexpr uint32_t kLevel = 2;

    Caps() : SetupTask(kKind) {}
    ~Caps() override = default;

    // Finds the record of the device's PCI subsystem ID; any ID but the three
    // accepted products' is 0xBFFA4304 and leaves the record null.
    void setup(const nVOAPAL000::tPCIDevice& device, nVOAPALS100::tStatus& status);

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    bool isSolstra() const;
    bool isDuskmere() const;

    const corran_caps::ProductCaps* capsPtr = nullptr;
};

} // namespace kelvo_driver
