// The register-map group of the non-isolated FPGA behind BAR 0: the
// BAR-wide endpoint map ("KelvoBar0RegMap" and its sub-map names), the board
// generation's top map through the non-isolated wrapper, and the device window
// "NisoFpgaWindow" over the FPGA's register space. Built after the
// non-isolated FPGA is loaded; the isolated group uses its wrapper's
// register-access map and is destroyed before it. The top map's tree and the
// endpoint map's tree each have their own lock.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/kelvo_bar0_reg_map.h"
#include "regmaps/non_isolated_reg_maps_wrapper.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessors.h"
#include "windows/device_window_dispatcher.h"
#include "windows/memory_window.h"

namespace kelvo_driver {

class NonIsolatedRegMaps : public nVOAPAL000::tObject {
public:
    using tRegion = nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

    // Where the non-isolated FPGA sits in BAR 0, and the part of BAR 0 the endpoint map covers.
    static constexpr uint64_t kFpgaOffset = 0x20000;
    static constexpr uint64_t kFpgaSize = 0x20000;
    static constexpr uint64_t kBarRegionSize = 0x40000;
    static constexpr const char* kWindowName = "NisoFpgaWindow";

    // bar: the kernel address of BAR 0. caps: the pointer holding the
    // module's capability record (its PCI subsystem ID picks the board
    // generation; an unknown one is 0xBFFA4304). Everything is registered
    // only when the whole construction succeeded; -52000 when memory is short.
    NonIsolatedRegMaps(uint64_t bar, armki::ARMDispatcher& dispatcher,
                       devicewindow::DeviceWindowDispatcher& windowDispatcher,
                       const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status);
    // Removes the endpoint map's names and the window, then destroys
    // everything (the wrapper removes the top map's names). Reports nothing.
    virtual ~NonIsolatedRegMaps();
    NonIsolatedRegMaps(const NonIsolatedRegMaps&) = delete;
    NonIsolatedRegMaps& operator=(const NonIsolatedRegMaps&) = delete;

private:
    armki::ARMDispatcher* dispatcher_;
    devicewindow::DeviceWindowDispatcher* windowDispatcher_;
    tRegion fpgaRegion_;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter fpgaAccessor_;
    tRegion barRegion_;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor_;

public:
    NonIsolatedRegMapsWrapper wrapper;

private:
    arm::tRegMapTreeLock bar0Lock_; // the endpoint map's tree lock; outlives the map

public:
    kelvo_regmaps::tKelvoBar0RegMap bar0RegMap;

private:
    voquantasharedsource::MemorySpaceAccessorToMemoryWindowAdapter windowAdapter_;

public:
    devicewindow::MemoryWindow window;
};

} // namespace kelvo_driver
