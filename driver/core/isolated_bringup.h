// Setup levels 8 and 9: the isolated side's bring-up. Level 8 commands the
// isolation link to state 1, loads the isolated FPGA through the bridge,
// commands the link to state 2 and starts the isolated DC bus; level 9 builds
// the isolated register maps over the link's register-access window.
#pragma once

#include <stdint.h>

#include "core/setup_levels.h"
#include "core/setup_tasks.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"
#include "regmaps/isolated_reg_maps.h"

namespace kelvo_driver {

// Level 8. The task holds nothing and has no teardown step.
class IsolatedFirmwareDownload : public SetupTask {
public:
    static constexpr uint8_t kLinkCommandBeforeLoad = 1;
    static constexpr uint8_t kLinkCommandAfterLoad = 2;

    IsolatedFirmwareDownload() = default;
    ~IsolatedFirmwareDownload() override = default;

    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // Link command 1 and its state; the download (custom image when address
    // and size are both non-zero), made even after a link failure (it then
    // does nothing); a download whose loading-status poll timed out
    // (0xBFFA807F) is cleared and the bring-up goes on; link command 2 and
    // its state; the DC bus's start-up.
    void setup(const nVOAPAL000::tEventDescriptor& event, uint64_t imageAddress, uint64_t imageSize,
               TYMORegMaps& tymoRegMaps, NonIsolatedControllers& controllers, const Caps& caps,
               nVOAPALS100::tStatus& status);
};

// Level 9: the isolated register-map group itself (its destructor removes
// every name it registered).
class IsolatedRegMapsTask : public IsolatedRegMapsTaskInterface {
public:
    IsolatedRegMapsTask(NonIsolatedRegMapsWrapper& nonIsolatedWrapper, armki::ARMDispatcher& dispatcher,
                        devicewindow::DeviceWindowDispatcher& windowDispatcher,
                        kdut::HardwareStateCheckerComposite* checks, uint32_t* marks,
                        const corran_caps::ProductCaps* const& caps, nVOAPALS100::tStatus& status)
        : group_(nonIsolatedWrapper, dispatcher, windowDispatcher, checks, marks, caps, status) {}
    ~IsolatedRegMapsTask() override = default;

    // Reaches the level-5 group through the level-6 task; hands the
    // device's checks to the link's accessor, which explains its errors,
    // and the helper's count of the link's marks.
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    IsolatedRegMaps& getIsolatedRegMaps() override { return group_; }

private:
    IsolatedRegMaps group_;
};

} // namespace kelvo_driver
