// Setup level 14: the bridge's DMA configuration, the DMA controller set of
// both channels (with the bridge interrupt controller, the DMA interrupt
// controller and the worker thread) and the DMA dispatcher behind the DMA
// I/O controls. The task owns the dispatcher and the controllers, which go
// with it in that order (the controllers end every wait still pending with
// -52003 and wait for it to leave).
#pragma once

#include <stdint.h>

#include "bridge/dma_controllers.h"
#include "bridge/dma_dispatcher.h"
#include "core/setup_levels.h"
#include "framework/product_caps.h"
#include "platform/owned.h"
#include "platform/pci_device.h"
#include "platform/status.h"

namespace kelvo_driver {

class DMAObjects : public DMAObjectsInterface {
public:
    static constexpr uint32_t kNumberOfStreams = 2;

    DMAObjects() = default;

    // Reads level 3 (bridge maps), level 5 (non-isolated maps) and level 2
    // (the product record) of the helper.
    static SetupTask* create(KelvoHelper& helper, const SetupInputs& inputs, nVOAPALS100::tStatus& status);

    // The bridge's DMA configuration, then the controllers, then the
    // dispatcher (its streams answer to reservations, when not null).
    void setup(nVOAPAL000::tPCIDevice& device, TYMORegMaps* tymo, NonIsolatedRegMaps* niso,
               const corran_caps::ProductCaps* caps, kdut::ResourceReservationManager* reservations,
               nVOAPALS100::tStatus& status);

    qeldma::DMADispatcher& getDMADispatcher() override;
    void signalWait(uint32_t channel, int32_t code) override;

    BrixelDMAControllers* getDMAControllers() override { return controllers_.get(); }

private:
    // Destroyed in the reverse order: the dispatcher first.
    nVOAPAL000::tOwned<BrixelDMAControllers> controllers_;
    nVOAPAL000::tOwned<qeldma::DMADispatcher> dispatcher_;
};

} // namespace kelvo_driver
