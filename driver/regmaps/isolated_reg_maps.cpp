#include "regmaps/isolated_reg_maps.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

// ---- the link ------------------------------------------------------------------

IsolatedRegMaps::tLink::tLink(kelvo_regmaps::tKelvoRegAccessRegMap* linkMap,
                              kdut::HardwareStateCheckerComposite* checks, uint32_t* marks, tStatus& status)
    : map(linkMap) {
    if (map == nullptr) {
        // The non-isolated side has no top map: nothing to reach the isolated FPGA through.
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    accessor = new (storage_) WindowedFrontEndAccessor(*map, checks, marks, status);
    if (accessor->mutex.mutex != nullptr) {
        // Replaced under the tree's lock: whatever took it (an operation, a
        // record of a whole-map one) has ended, and one waiting for it takes
        // the link's lock instead.
        previous_ = map->externalLock();
        const arm::tRegMapHold hold(*map);
        map->setExternalLock(this);
        installed_ = true;
    }
}

IsolatedRegMaps::tLink::~tLink() {
    if (installed_) {
        const arm::tRegMapHold hold(*map);
        map->setExternalLock(previous_);
    }
    if (accessor != nullptr) {
        accessor->~WindowedFrontEndAccessor();
    }
}

// ---- the group -----------------------------------------------------------------

kelvo_regmaps::tKelvoRegAccessRegMap* IsolatedRegMaps::linkMapOf(NonIsolatedRegMapsWrapper& wrapper) {
    if (wrapper.isSolstra) {
        return wrapper.getRegAccessRegMap(0, 0);
    }
    if (wrapper.isDuskmere) {
        return wrapper.getRegAccessRegMap(0, 1);
    }
    return nullptr;
}

IsolatedRegMaps::IsolatedRegMaps(NonIsolatedRegMapsWrapper& nonIsolatedWrapper,
                                 armki::ARMDispatcher& dispatcher,
                                 devicewindow::DeviceWindowDispatcher& windowDispatcher,
                                 kdut::HardwareStateCheckerComposite* checks, uint32_t* marks,
                                 const corran_caps::ProductCaps* const& caps, tStatus& status)
    : windowDispatcher_(&windowDispatcher), link_(linkMapOf(nonIsolatedWrapper), checks, marks, status),
      wrapper(dispatcher, link_.accessor, caps, status),
      windowAdapter_(link_.accessor, wrapper.getWindowSize()), window(windowAdapter_, status) {
    if (status.isFatal()) {
        return;
    }
    windowDispatcher_->add(kWindowName, window, status);
}

IsolatedRegMaps::~IsolatedRegMaps() {
    tStatus dropped;
    windowDispatcher_->remove(kWindowName, dropped);
}

} // namespace kelvo_driver
