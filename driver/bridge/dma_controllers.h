// The DMA controller set of the bridge's two channels and the DMA
// configuration that precedes it.
//
// For each channel the set builds the stream circuit controller, the DMA
// stream controller, the SGL controller, the FIFO controller and (Solstra
// channel 1 only) the stream credit controller; once for both, the bridge
// interrupt controller and the DMA interrupt controller. It is the stream
// provider of the DMA dispatcher. Channel 0 runs device to host (measure
// FIFO), channel 1 host to device (command FIFO).
#pragma once

#include <stdint.h>

#include "bridge/dma_interrupt_controller.h"
#include "bridge/dma_stream_controller.h"
#include "bridge/interrupt_controller.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "bridge/tymo_reg_maps.h"
#include "framework/product_caps.h"
#include "platform/memory.h"
#include "platform/owned.h"
#include "platform/pci_device.h"
#include "platform/status.h"
#include "regmaps/non_isolated_reg_maps.h"

namespace qeldma {

// The bridge's DMA configuration register: bit 31 always set, bits 15 and 14
// set only on a bridge with 64-bit addressing.
constexpr uint32_t kHbrcrEnable = 1u << 31;
constexpr uint32_t kHbrcrWide = (1u << 15) | (1u << 14);

// Reads the bridge's core description and hands the device the DMA type it
// gives: 2 (64-bit addressing) when the bridge reaches 64-bit addresses, else
// 1 (32-bit addressing: the DMA maps made afterwards stay below 4 GB). Then
// sets bit 31 of the bridge's DMA configuration register and bits 15 and 14
// to the width bit, writing the register only when one of the three changed.
void configureDMA(brixeltools::tBrixelWithOffset<0u>& bridge, kelvo_driver::nVOAPAL000::tPCIDevice& device,
                  nVOAPALS100::tStatus& status);

} // namespace qeldma

namespace kelvo_driver {

class BrixelDMAControllers : public nVOAPAL000::tObject {
public:
    static constexpr uint32_t kNumberOfChannels = 2;
    // The Solstra credit controller's poller.
    static constexpr uint64_t kCreditInitialInterval = 1;
    static constexpr uint64_t kCreditMaximumInterval = 128;
    static constexpr int32_t kCreditTimeoutCode = KELVO_STATUS_TIMED_OUT;

    // tymo: the bridge maps and the mapped BAR; niso: the non-isolated maps;
    // caps: the product's record (its subsystem ID picks the generation).
    // Allocation failures -52000; the members' errors stay; the steps after
    // an error are skipped. The set can always be destroyed.
    BrixelDMAControllers(nVOAPAL000::tPCIDevice& device, TYMORegMaps& tymo, NonIsolatedRegMaps& niso,
                         const corran_caps::ProductCaps* caps, nVOAPALS100::tStatus& status);
    // Quiesces the bridge interrupt controller (no DPC, no queued or running
    // work), destroys the DMA interrupt controller (waking every waiter and
    // waiting until all have left), then the bridge interrupt controller, then
    // each channel's controllers.
    virtual ~BrixelDMAControllers();
    BrixelDMAControllers(const BrixelDMAControllers&) = delete;
    BrixelDMAControllers& operator=(const BrixelDMAControllers&) = delete;

    // The controllers of a channel below 2 (invariants).
    virtual brixeltools::BrixelDMAStreamController& getStreamController(uint32_t channel);
    virtual brixeltools::SGLController& getSGLController(uint32_t channel);
    virtual StreamCircuitFifoControllerInterface& getFIFOController(uint32_t channel);
    // Null on a fatal status or for a channel without credits.
    virtual qeldma::StreamCreditControllerInterface* getStreamCreditController(uint32_t channel,
                                                                               nVOAPALS100::tStatus& status);
    brixeltools::BrixelDMAInterruptController& getDMAInterruptController();
    brixeltools::InterruptController* getInterruptController() const { return interruptController_.get(); }

    StreamCircuitFifoControllerInterface* createFIFOController(uint32_t channel, NonIsolatedRegMaps& niso,
                                                               nVOAPALS100::tStatus& status);
    qeldma::StreamCreditControllerInterface*
    createStreamCreditController(uint32_t channel, NonIsolatedRegMaps& niso, nVOAPALS100::tStatus& status);

private:
    nVOAPAL000::tOwned<brixeltools::StreamCircuit> streamCircuits_[kNumberOfChannels];
    nVOAPAL000::tOwned<brixeltools::BrixelDMAStreamController> streams_[kNumberOfChannels];
    nVOAPAL000::tOwned<brixeltools::SGLController> sgls_[kNumberOfChannels];
    nVOAPAL000::tOwned<StreamCircuitFifoControllerInterface> fifos_[kNumberOfChannels];
    nVOAPAL000::tOwned<qeldma::StreamCreditControllerInterface> credits_[kNumberOfChannels];
    nVOAPAL000::tOwned<brixeltools::InterruptController> interruptController_;
    nVOAPAL000::tOwned<brixeltools::BrixelDMAInterruptController> dmaInterruptController_;
    const corran_caps::ProductCaps* caps_;
};

} // namespace kelvo_driver
