#include "bridge/tymo_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

namespace {

// The names of the DMA channel maps; the module has two channels.
constexpr const char* kDMAChannelNames[] = {"BrixelDMAChannel0", "BrixelDMAChannel1", "BrixelDMAChannel2",
                                            "BrixelDMAChannel3", "BrixelDMAChannel4", "BrixelDMAChannel5",
                                            "BrixelDMAChannel6", "BrixelDMAChannel7"};
static_assert(TYMORegMaps::kDMAChannelCount <= sizeof(kDMAChannelNames) / sizeof(kDMAChannelNames[0]));

} // namespace

uint64_t mappedSizeOfBar0(const nVOAPAL000::tPCIDevice& device) {
    const nVOAPAL200_tDeviceInfo& info = device.deviceInfo();
    return info.numberOfMemoryWindows > 0 ? info.memoryWindows[0].size : 0;
}

TYMORegMaps::TYMORegMaps(uint64_t bar, uint64_t barMappedSize, armki::ARMDispatcher& dispatcher,
                         tStatus& status)
    : dispatcher_(&dispatcher), regionA_(bar, 0x704), regionB_(bar, 0x518),
      portAccessor_(switchedBimRegMap, 0, 2, status), regionC_(bar, 0xE4), regionD_(bar + 0x580, 0x10),
      regionE_(bar + 0x10000, 0x107), regionF_(bar + 0x10000, 0x6A), regionG_(bar, barMappedSize),
      switchedBimRegMap(regionA_), brixelRegMap(regionB_), isolationPortRegMap(portAccessor_),
      ioPort2RegMap(portAccessor_), configPortWindowRegMap(regionC_), configPortSPIRegMap(regionD_),
      triggersRegMap(regionE_), doRegMap(&regionF_, 0, 0, 0xFFFFFFFF), dmaDispatcher_(&dispatcher) {
    if (status.isFatal()) {
        return;
    }
    for (arm::tRegMapTreeLock& lock : locks_) {
        lock.initialize(status);
    }
    if (status.isFatal()) {
        return;
    }
    switchedBimRegMap.installTreeLock(&locks_[0]);
    brixelRegMap.installTreeLock(&locks_[1]);
    isolationPortRegMap.installTreeLock(&locks_[2]);
    ioPort2RegMap.installTreeLock(&locks_[3]);
    configPortWindowRegMap.installTreeLock(&locks_[4]);
    configPortSPIRegMap.installTreeLock(&locks_[5]);
    triggersRegMap.installTreeLock(&locks_[6]);
    doRegMap.installTreeLock(&locks_[7]);
    buildDMAChannels(bar, status);
    if (status.isFatal()) {
        return;
    }
    switchedBimRegMap.addToDispatcher(*dispatcher_, status);
    brixelRegMap.addToDispatcher(*dispatcher_, status);
    ioPort2RegMap.addToDispatcher(*dispatcher_, status);
    isolationPortRegMap.addToDispatcher(*dispatcher_, status);
    configPortSPIRegMap.addToDispatcher(*dispatcher_, status);
    configPortWindowRegMap.addToDispatcher(*dispatcher_, status);
    triggersRegMap.addToDispatcher(*dispatcher_, status);
    doRegMap.addToDispatcher(*dispatcher_, status);
}

void TYMORegMaps::buildDMAChannels(uint64_t bar, tStatus& status) {
    {
        const arm::tRegMapHold hold(brixelRegMap);
        brixelRegMap.DMABASE.refresh(status);
        brixelRegMap.COREDR.refresh(status);
    }
    if (status.isFatal()) {
        return;
    }
    const uint64_t dmaBase = brixelRegMap.DMABASE.softCopy;
    const uint64_t stride = uint64_t{1} << brixelRegMap.COREDR.getChannelStrideLog2(status);
    for (uint32_t n = 0; n < kDMAChannelCount && status.isNotFatal(); ++n) {
        // A dead bridge reads all ones: no access may leave the mapped BAR.
        const uint64_t offset = dmaBase + n * stride;
        if (offset + kDMAChannelRegionSize > regionG_.size()) {
            KELVO_SET_STATUS(status, kDMAChannelOutsideBar);
            return;
        }
        dmaRegions_[n].reset(new (status, false) tDMARegion(bar + offset));
        if (dmaRegions_[n] == nullptr) {
            return;
        }
        dmaChannelMaps_[n].reset(new (status, false)
                                     brixeltools::tBrixelDMAChannelWithOffset<0u>(dmaRegions_[n]->region));
        if (dmaChannelMaps_[n] == nullptr) {
            return;
        }
        dmaChannelMaps_[n]->installTreeLock(&locks_[kFixedMapCount + n]);
        dmaDispatcher_->add(kDMAChannelNames[n], *dmaChannelMaps_[n], status);
    }
}

TYMORegMaps::~TYMORegMaps() {
    // Each removal with a status of its own: every name is attempted.
    const char* const names[] = {"DO",
                                 "Triggers",
                                 "BrixelConfigPortWindow",
                                 "BrixelConfigPortSPI",
                                 "IsolationPortRegMap",
                                 "IOPort2RegMap",
                                 "Brixel",
                                 "SwitchedBrixelBimRegMap"};
    for (const char* name : names) {
        tStatus local;
        dispatcher_->remove(name, local);
    }
    for (uint32_t n = 0; n < kDMAChannelCount; ++n) {
        tStatus local;
        dmaDispatcher_->remove(kDMAChannelNames[n], local);
    }
}

} // namespace kelvo_driver
