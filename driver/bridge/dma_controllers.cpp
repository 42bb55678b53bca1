#include "bridge/dma_controllers.h"

#include "platform/vosdbg.h"
#include "reglayouts/brixel_core.h"

namespace qeldma {

using nVOAPALS100::tStatus;

void configureDMA(brixeltools::tBrixelWithOffset<0u>& bridge, kelvo_driver::nVOAPAL000::tPCIDevice& device,
                  tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    uint32_t core = 0;
    {
        const arm::tRegMapHold tree(bridge);
        core = bridge.COREDR.readRegister(status);
    }
    if (status.isFatal()) {
        return;
    }
    using kelvo_driver::nVOAPAL000::tPCIDevice;
    const bool wide = (core & brixeltools::layout::BrixelWithOffset::COREDR::kDMA64Supported) != 0;
    device.configureDMA(wide ? tPCIDevice::kDMAType64Bit : tPCIDevice::kDMAType32Bit, status);
    if (status.isFatal()) {
        return;
    }
    const arm::tRegMapHold tree(bridge); // the read, the change and the write
    const uint32_t before = bridge.HBRCR.readRegister(status);
    if (status.isFatal()) {
        return;
    }
    const uint32_t after = ((before | kHbrcrEnable) & ~kHbrcrWide) | (wide ? kHbrcrWide : 0);
    if (after != before) {
        bridge.HBRCR.writeRegister(after, status, true);
    }
}

} // namespace qeldma

namespace kelvo_driver {

using nVOAPALS100::tStatus;

BrixelDMAControllers::BrixelDMAControllers(nVOAPAL000::tPCIDevice& device, TYMORegMaps& tymo,
                                           NonIsolatedRegMaps& niso, const corran_caps::ProductCaps* caps,
                                           tStatus& status)
    : caps_(caps) {
    if (status.isFatal()) {
        return;
    }
    uint32_t core = 0;
    {
        const arm::tRegMapHold tree(tymo.brixelRegMap);
        core = tymo.brixelRegMap.COREDR.readRegister(status);
    }
    if (status.isFatal()) {
        return;
    }
    const uint32_t linkSize = 1u << ((core >> 12) & 15);
    const nVOAPAL000::tPCIMemorySpaceAccessor& bar = tymo.getMappedBar();
    const nVOAPAL000::tBridgeWindow window = {bar.base(), bar.size()};
    for (uint32_t channel = 0; channel < kNumberOfChannels; ++channel) {
        streamCircuits_[channel].reset(new (status, false) brixeltools::StreamCircuit(
            niso.bar0RegMap.FpgaEndpoint.StreamCircuitTop.KernelCircuits[channel]));
        if (status.isFatal()) {
            return;
        }
        brixeltools::DMAChannelRegMap* channelMap = tymo.getDMAChannelRegMap(channel);
        VOSDBG_ASSERT(channelMap != nullptr);
        if (channelMap == nullptr) {
            KELVO_SET_STATUS(status, tStatus::kInvalidState);
            return;
        }
        streams_[channel].reset(new (status, false) brixeltools::BrixelDMAStreamController(
            window, *channelMap, *streamCircuits_[channel], channel, status));
        if (status.isFatal()) {
            return;
        }
        sgls_[channel].reset(new (status, false) brixeltools::SGLController(
            device.getDMAConfiguration(), linkSize, brixeltools::getDMAChannelTransferDirection(channel),
            status, streams_[channel].get()));
        fifos_[channel].reset(createFIFOController(channel, niso, status));
        credits_[channel].reset(createStreamCreditController(channel, niso, status));
        if (status.isFatal()) {
            return;
        }
    }
    interruptController_.reset(new (status, true) brixeltools::InterruptController(device, bar, status));
    if (status.isNotFatal()) {
        dmaInterruptController_.reset(
            new (status, true) brixeltools::BrixelDMAInterruptController(interruptController_.get(), status));
    }
}

BrixelDMAControllers::~BrixelDMAControllers() {
    // The interrupt path goes first; then each channel's controllers, a
    // channel at a time.
    if (interruptController_ != nullptr) {
        interruptController_->quiesce();
    }
    dmaInterruptController_.reset();
    interruptController_.reset();
    for (uint32_t channel = 0; channel < kNumberOfChannels; ++channel) {
        credits_[channel].reset();
        fifos_[channel].reset();
        sgls_[channel].reset(); // stops a stream still running
        if (streams_[channel] != nullptr) {
            streams_[channel]->disableInterrupt();
        }
        streams_[channel].reset();
        streamCircuits_[channel].reset();
    }
}

brixeltools::BrixelDMAStreamController& BrixelDMAControllers::getStreamController(uint32_t channel) {
    VOSDBG_ASSERT(channel < kNumberOfChannels && streams_[channel] != nullptr);
    return *streams_[channel];
}

brixeltools::SGLController& BrixelDMAControllers::getSGLController(uint32_t channel) {
    VOSDBG_ASSERT(channel < kNumberOfChannels && sgls_[channel] != nullptr);
    return *sgls_[channel];
}

StreamCircuitFifoControllerInterface& BrixelDMAControllers::getFIFOController(uint32_t channel) {
    VOSDBG_ASSERT(channel < kNumberOfChannels && fifos_[channel] != nullptr);
    return *fifos_[channel];
}

qeldma::StreamCreditControllerInterface* BrixelDMAControllers::getStreamCreditController(uint32_t channel,
                                                                                         tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    VOSDBG_ASSERT(channel < kNumberOfChannels);
    return channel < kNumberOfChannels ? credits_[channel].get() : nullptr;
}

brixeltools::BrixelDMAInterruptController& BrixelDMAControllers::getDMAInterruptController() {
    VOSDBG_ASSERT(dmaInterruptController_ != nullptr);
    return *dmaInterruptController_;
}

StreamCircuitFifoControllerInterface*
BrixelDMAControllers::createFIFOController(uint32_t channel, NonIsolatedRegMaps& niso, tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    kelvo_regmaps::tKelvoStreamControlRegMap* control = niso.wrapper.getStreamControlRegMap();
    if (control == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return nullptr;
    }
    if (brixeltools::getDMAChannelTransferDirection(channel) == brixeltools::kHostToDevice) {
        return new (status, false) CommandFifoController(control->CommandStreamCircuitFifoReset, status);
    }
    return new (status, false) MeasureFifoController(control->MeasureStreamCircuitFifoReset, status);
}

qeldma::StreamCreditControllerInterface*
BrixelDMAControllers::createStreamCreditController(uint32_t channel, NonIsolatedRegMaps& niso,
                                                   tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    if (caps_ == nullptr || !corran_caps::isSolstraProduct(caps_->subsystemID)) {
        return nullptr;
    }
    if (brixeltools::getDMAChannelTransferDirection(channel) == brixeltools::kDeviceToHost) {
        return nullptr;
    }
    auto* top = niso.wrapper.getSolstraRegMap();
    if (top == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return nullptr;
    }
    return nVOAPAL000::keepIfConstructed(new (status, false) qeldma::StreamCreditController(
                                             top->Channel.NisoStreamControl, status, kCreditInitialInterval,
                                             kCreditMaximumInterval, kCreditTimeoutCode),
                                         status);
}

} // namespace kelvo_driver
