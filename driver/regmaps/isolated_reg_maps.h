// The register-map group of the isolated FPGA, reached through the windowed
// accessor over one register-access map of the non-isolated side: the
// isolated top map through the isolated wrapper and the device window
// "IsoFpgaWindow". Built after the isolated FPGA is loaded, destroyed before
// the non-isolated group whose map carries every isolated access.
//
// The isolated top map's tree has a lock of its own (its wrapper's). While
// the group lives, the windowed accessor's mutex (the link's lock) replaces
// the non-isolated tree's lock as the external lock of the register-access
// map it drives, so that user access to that map instance by name (by
// identifier, whole-map operations, also through an ancestor's whole-map
// operation, which takes it for each of that map's records) waits for a
// handshake in progress instead of breaking into it; the link's lock alone
// guards that map's records then, and nothing is taken under it. The
// destructor puts the tree's lock back.
#pragma once

#include <stdint.h>

#include "framework/hardware_state_checker_composite.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "regmaps/isolated_reg_maps_wrapper.h"
#include "regmaps/non_isolated_reg_maps_wrapper.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs/arm_dispatcher.h"
#include "regs/front_end_accessors.h"
#include "regs/register_map.h"
#include "windows/device_window_dispatcher.h"
#include "windows/memory_window.h"

namespace kelvo_driver {

class IsolatedRegMaps : public nVOAPAL000::tObject {
public:
    static constexpr const char* kWindowName = "IsoFpgaWindow";

    // nonIsolatedWrapper: the wrapper inside the non-isolated group, whose
    // register-access map carries the link (Solstra: the board's window 0;
    // otherwise channel 0's window 1); without one the group reports -52020
    // and builds nothing over it. checks: the device's checker composite,
    // and marks: the count of the link's marks not taken yet, both handed
    // to the windowed accessor (not owned). caps as for the non-isolated
    // group. Everything is registered only when the whole construction
    // succeeded.
    IsolatedRegMaps(NonIsolatedRegMapsWrapper& nonIsolatedWrapper, armki::ARMDispatcher& dispatcher,
                    devicewindow::DeviceWindowDispatcher& windowDispatcher,
                    kdut::HardwareStateCheckerComposite* checks, uint32_t* marks,
                    const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status);
    // Removes the window, destroys it and the wrapper (which removes the top
    // map's names), takes the lock out of the register-access map, and
    // destroys the windowed accessor. Reports nothing.
    virtual ~IsolatedRegMaps();
    IsolatedRegMaps(const IsolatedRegMaps&) = delete;
    IsolatedRegMaps& operator=(const IsolatedRegMaps&) = delete;

    // The windowed accessor, or null when there was no register-access map to build it over.
    WindowedFrontEndAccessor* getWindowedAccessor() const { return link_.accessor; }
    // The register-access map the accessor drives (null as above).
    kelvo_regmaps::tKelvoRegAccessRegMap* getRegAccessRegMap() const { return link_.map; }

private:
    // The windowed accessor over the link's register-access map, kept inside
    // the group, and its recursive mutex installed as that map's external
    // lock in place of the tree's. Destroyed after the wrapper: it puts the
    // tree's lock back first, then destroys the accessor.
    class tLink : public arm::tRegMapLockInterface {
    public:
        tLink(kelvo_regmaps::tKelvoRegAccessRegMap* linkMap, kdut::HardwareStateCheckerComposite* checks,
              uint32_t* marks, nVOAPALS100::tStatus& status);
        ~tLink() override;
        tLink(const tLink&) = delete;
        tLink& operator=(const tLink&) = delete;

        void acquire() override { accessor->lock(); }
        void release() override { accessor->unlock(); }

        kelvo_regmaps::tKelvoRegAccessRegMap* map;
        WindowedFrontEndAccessor* accessor = nullptr;

    private:
        alignas(WindowedFrontEndAccessor) unsigned char storage_[sizeof(WindowedFrontEndAccessor)];
        bool installed_ = false;
        arm::tRegMapLockInterface* previous_ = nullptr; // the tree's lock
    };

    static kelvo_regmaps::tKelvoRegAccessRegMap* linkMapOf(NonIsolatedRegMapsWrapper& wrapper);

    devicewindow::DeviceWindowDispatcher* windowDispatcher_;
    tLink link_;

public:
    IsolatedRegMapsWrapper wrapper;

private:
    voquantasharedsource::FrontEndAccessorToDeviceWindowAdapter windowAdapter_;

public:
    devicewindow::MemoryWindow window;
};

} // namespace kelvo_driver
