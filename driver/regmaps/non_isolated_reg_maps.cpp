#include "regmaps/non_isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

NonIsolatedRegMaps::NonIsolatedRegMaps(uint64_t bar, armki::ARMDispatcher& dispatcher,
                                       devicewindow::DeviceWindowDispatcher& windowDispatcher,
                                       const corran_caps::ProductCaps* const& caps, tStatus& status)
    : dispatcher_(&dispatcher), windowDispatcher_(&windowDispatcher),
      fpgaRegion_(bar + kFpgaOffset, kFpgaSize), fpgaAccessor_(&fpgaRegion_), barRegion_(bar, kBarRegionSize),
      barAccessor_(&barRegion_), wrapper(dispatcher, &fpgaAccessor_, caps, status),
      bar0RegMap(&barAccessor_, status, 0, 0, 0xFFFFFFFF),
      windowAdapter_(&fpgaRegion_, wrapper.getWindowSize()), window(windowAdapter_, status) {
    bar0Lock_.initialize(status);
    if (status.isFatal()) {
        return;
    }
    bar0RegMap.installTreeLock(&bar0Lock_);
    windowDispatcher_->add(kWindowName, window, status);
    bar0RegMap.addToDispatcher(*dispatcher_, status);
}

NonIsolatedRegMaps::~NonIsolatedRegMaps() {
    // Every name is attempted; what the removals report is dropped.
    tStatus dropped;
    tStatus local;
    bar0RegMap.removeFromDispatcher(*dispatcher_, local);
    bar0RegMap.installTreeLock(nullptr);
    dropped.merge(local);
    local.clear();
    windowDispatcher_->remove(kWindowName, local);
    dropped.merge(local);
}

} // namespace kelvo_driver
