// One DMA channel's controllers over the simulated module, as the DMA
// controller set builds them: the stream circuit, the stream controller, the
// SGL controller, the FIFO controller and (Solstra channel 1) the credits.
#pragma once

#include <cstdint>
#include <memory>

#include "bridge/dma_stream_controller.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "bridge_dma_support.h"
#include "regs/front_end_accessors.h"

namespace kelvo_test {

struct DmaChannel {
    DmaChannel(const kelvo_driver::nVOAPAL000::tBridgeWindow& window, sim::Module& module,
               const kelvo_driver::nVOAPAL000::tDMAConfiguration& config, std::uint32_t n,
               std::uint32_t linkSize, voquantasharedsource::FrontEndAccessorInterface& bar)
        : channelRegion(window.base + module.bridgeRegisters().channelBase(n), 0xA8),
          channelMap(channelRegion),
          circuitMap(&bar,
                     static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kStreamCircuitBase +
                                                n * sim::Module::kStreamCircuitStride),
                     0, 0x1000),
          controlMap(&bar,
                     static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + module.streamControlOffset()), 0,
                     0x80),
          creditMap(&bar,
                    static_cast<std::uint32_t>(sim::Module::kNisoFpgaBase + sim::Module::kSolstraCredits), 0,
                    0x20),
          circuit(&circuitMap) {
        // The driver's status-taking allocation: a failure is -52000 in the status.
        stream.reset(new (status, false)
                         brixeltools::BrixelDMAStreamController(window, channelMap, circuit, n, status));
        if (status.isFatal()) {
            return; // as the DMA controller set: nothing more is built
        }
        sgl.reset(new (status, false) brixeltools::SGLController(
            config, linkSize, brixeltools::getDMAChannelTransferDirection(n), status, stream.get()));
        if (sgl == nullptr) {
            return;
        }
        if (n == 0) {
            fifo = std::make_unique<kelvo_driver::MeasureFifoController>(
                controlMap.MeasureStreamCircuitFifoReset, status);
        } else {
            fifo = std::make_unique<kelvo_driver::CommandFifoController>(
                controlMap.CommandStreamCircuitFifoReset, status);
        }
        if (n == 1 && module.board() == "solstra") {
            credits = std::make_unique<qeldma::StreamCreditController>(creditMap);
        }
    }
    ~DmaChannel() {
        sgl.reset(); // stops the stream
        if (stream) {
            stream->disableInterrupt();
        }
    }

    nVOAPALS100::tStatus status; // of the construction

    kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false> channelRegion;
    brixeltools::DMAChannelRegMap channelMap;
    kelvo_regmaps::tStreamCircuitRegMap circuitMap;
    kelvo_regmaps::tKelvoStreamControlRegMap controlMap;
    kelvo_regmaps::tKelvoNisoStreamControlRegMap creditMap;
    brixeltools::StreamCircuit circuit;
    std::unique_ptr<brixeltools::BrixelDMAStreamController> stream;
    std::unique_ptr<brixeltools::SGLController> sgl;
    std::unique_ptr<kelvo_driver::StreamCircuitFifoControllerInterface> fifo;
    std::unique_ptr<qeldma::StreamCreditController> credits;
};

class DmaStreamTest : public DmaBoardTest {
protected:
    void SetUp() override {
        DmaBoardTest::SetUp();
        barRegion = voquantasharedsource::tPCIMemorySpace(window.base, 0x40000);
    }
    std::unique_ptr<DmaChannel> channel(std::uint32_t n, std::uint32_t linkSize = 4096) {
        auto c = std::make_unique<DmaChannel>(window, *module, config, n, linkSize, barAccessor);
        EXPECT_TRUE(c->status.isSuccess());
        return c;
    }
    std::unique_ptr<DmaChannel> channelOrFailure(std::uint32_t n, std::uint32_t linkSize) {
        return std::make_unique<DmaChannel>(window, *module, config, n, linkSize, barAccessor);
    }
    // Adds a user buffer to a channel's controller; returns the code.
    static std::int64_t add(DmaChannel& c, std::uint32_t type, std::uint64_t address, std::uint64_t size,
                            std::uint32_t repeat = 1, std::int64_t direction = -1) {
        nVOAPALS100::tStatus status;
        const kelvo_driver::nVOAPAL000::tUserBuffer buffer(0, address, size);
        c.sgl->addTransfer(type, buffer,
                           direction < 0 ? c.sgl->direction() : static_cast<std::uint32_t>(direction), repeat,
                           status);
        return status.getCode();
    }

    voquantasharedsource::tPCIMemorySpace barRegion;
    voquantasharedsource::PCIMemorySpaceAccessorAdapter barAccessor{&barRegion};
};

} // namespace kelvo_test
