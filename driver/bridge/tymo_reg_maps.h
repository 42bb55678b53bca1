// The register-map group of the bridge chip and the timing chip: every map of
// both inside BAR 0 of the module, built before any FPGA is loaded and
// registered by name in the register-map dispatcher.
//
// Registered names: "BrixelDMAChannel0", "BrixelDMAChannel1" (the DMA channel
// blocks, placed from the DMA base and the channel stride the bridge
// reports), then "SwitchedBrixelBimRegMap", "Brixel", "IOPort2RegMap",
// "IsolationPortRegMap", "BrixelConfigPortSPI", "BrixelConfigPortWindow",
// "Triggers" and "DO" (whose output-timer sub-map is reached only through it).
// The destructor removes them in the other order given below and destroys
// everything; it never stops part-way and reports nothing.
//
// Each map (with its sub-maps) is a tree of its own with its own lock. The
// switched bus-interface map's lock also guards the port transactions of the
// IO-port and isolation-port maps, which go through its registers: a port
// transaction holds it from its command until its data register was read.
#pragma once

#include <stdint.h>

#include "bridge/port_accessor.h"
#include "platform/memory.h"
#include "platform/owned.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "regmaps/brixel_config_port_spi.h"
#include "regmaps/brixel_config_port_window.h"
#include "regmaps/brixel_core.h"
#include "regmaps/brixel_dma_channel.h"
#include "regmaps/brixel_io_port2.h"
#include "regmaps/brixel_isolation_port.h"
#include "regmaps/brixel_switched_bim.h"
#include "regmaps/brixel_triggers.h"
#include "regmaps/tymo_do.h"
#include "regs/arm_dispatcher.h"
#include "regs/register_map.h"

namespace kelvo_driver {

// The bytes of BAR 0 that the device maps (mapMemoryWindow maps the whole of
// memory window 0): the size TYMORegMaps takes.
uint64_t mappedSizeOfBar0(const nVOAPAL000::tPCIDevice& device);

class TYMORegMaps : public nVOAPAL000::tObject {
public:
    using tRegion = nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

    static constexpr uint32_t kDMAChannelCount = 2;
    // The bytes of a DMA channel block that its map reaches.
    static constexpr uint64_t kDMAChannelRegionSize = 0xA8;
    // A DMA channel block that would not lie inside the mapped BAR.
    static constexpr int64_t kDMAChannelOutsideBar = nVOAPALS100::tStatus::kNotAccessible;

    // bar: the kernel address at which BAR 0 is mapped; barMappedSize: the
    // mapped size of BAR 0 (mappedSizeOfBar0). Reads the DMA base and the
    // channel stride from the bridge core; a channel whose block (DMA base +
    // n x stride, 0xA8 bytes) would not lie inside the mapped BAR is -52006,
    // and it and every later channel get no map and no name. Nothing of the
    // second registration step is added after any error. Allocation failures
    // -52000; failed register reads keep their code.
    TYMORegMaps(uint64_t bar, uint64_t barMappedSize, armki::ARMDispatcher& dispatcher,
                nVOAPALS100::tStatus& status);
    virtual ~TYMORegMaps();
    TYMORegMaps(const TYMORegMaps&) = delete;
    TYMORegMaps& operator=(const TYMORegMaps&) = delete;

    // The DMA channel map of a channel, or null (no such channel, or not built).
    brixeltools::tBrixelDMAChannelWithOffset<0u>* getDMAChannelRegMap(uint32_t channel) const {
        return channel < kDMAChannelCount ? dmaChannelMaps_[channel].get() : nullptr;
    }
    // The whole mapped BAR (the bridge's register window).
    const tRegion& getMappedBar() const { return regionG_; }

private:
    // An allocated region of one DMA channel block.
    struct tDMARegion : public nVOAPAL000::tObject {
        explicit tDMARegion(uint64_t base) : region(base, kDMAChannelRegionSize) {}
        tRegion region;
    };

    void buildDMAChannels(uint64_t bar, nVOAPALS100::tStatus& status);

    armki::ARMDispatcher* dispatcher_;
    tRegion regionA_; // switched bus-interface map
    tRegion regionB_; // bridge core map
    brixeltools::TYMOPortAccessor portAccessor_;
    tRegion regionC_; // configuration-port window map
    tRegion regionD_; // SPI configuration-port map
    tRegion regionE_; // trigger map
    tRegion regionF_; // digital-output map with its output timer
    tRegion regionG_; // the whole mapped BAR
    // The trees' locks, in the order of the maps below, then the DMA
    // channels'; they outlive the maps.
    static constexpr uint32_t kFixedMapCount = 8;
    arm::tRegMapTreeLock locks_[kFixedMapCount + kDMAChannelCount];

public:
    brixeltools::tSwitchedBrixelBimRegMapWithOffset<0u> switchedBimRegMap;
    brixeltools::tBrixelWithOffset<0u> brixelRegMap;
    brixeltools::tIsolationPortRegMapWithOffset<0u> isolationPortRegMap;
    brixeltools::tIOPort2RegMapWithOffset<0u> ioPort2RegMap;
    brixeltools::tBrixelConfigPortWindowWithOffset<0u> configPortWindowRegMap;
    brixeltools::tBrixelConfigPortSPIWithOffset<0u> configPortSPIRegMap;
    brixeltools::tTriggersWithOffset<0u> triggersRegMap;
    tymo_regmaps::tDO doRegMap;

private:
    armki::ARMDispatcher* dmaDispatcher_;
    // Destroyed after the destructor's removals, the maps before their regions.
    nVOAPAL000::tOwned<tDMARegion> dmaRegions_[kDMAChannelCount];
    nVOAPAL000::tOwned<brixeltools::tBrixelDMAChannelWithOffset<0u>> dmaChannelMaps_[kDMAChannelCount];
};

} // namespace kelvo_driver
