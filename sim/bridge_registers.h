// The bridge core's own registers in BAR 0, beside the configuration-port
// window of BridgeCore (bridge.h) and the interrupt registers (0x5C to 0x6F,
// not placed here):
//   0x000 "bridge-id"            signature (0x00), core description (0x0C),
//                                DMA channel base (0x1C); read-only
//   0x058 "bridge-core-control"  core control and status (latch)
//   0x0A4 "bridge-hbrcr"         tHBRCR (latch)
//   0x440 "fpga-loading"         the FPGA-loading engine (fpga_loader.h)
//   0x510 "config-ports"         active port and ports mode (latches)
//   0x580 "config-port-spi"      the configuration port's SPI master (latches)
//   DMA base + n * 2^s "dma-channel-n" (n = 0, 1; s = core description bits
//                                16-19): the channel's register block, 2^s
//                                bytes, served by its DMA engine (dma_engine.h);
//                                absent when it would not lie inside the BAR
// The others are latches for now: what is written is read back.
#pragma once

#include <cstdint>
#include <mutex>

#include "sim/block.h"
#include "kelvo/product_ids.h"
#include "sim/dma_engine.h"
#include "sim/fpga_loader.h"
#include "sim/latch_block.h"

namespace sim {

class BridgeRegisters {
public:
    static constexpr std::uint64_t kIdOffset = 0x000;
    static constexpr std::uint64_t kCoreControlOffset = 0x058;
    static constexpr std::uint64_t kHbrcrOffset = 0x0A4;
    static constexpr std::uint64_t kFpgaLoadingOffset = 0x440;
    static constexpr std::uint64_t kConfigPortsOffset = 0x510;
    static constexpr std::uint64_t kSpiOffset = 0x580;
    static constexpr std::uint32_t kSignature = KELVO_BRIDGE_SIGNATURE;
    // 64-bit DMA (bit 5), link memory of 2^12 bytes (bits 12-15), channel
    // blocks of 2^8 bytes (bits 16-19).
    static constexpr std::uint32_t kDefaultCoreDescription = (8u << 16) | (12u << 12) | (1u << 5);
    static constexpr std::uint32_t kDefaultDmaBase = 0x1000;
    static constexpr std::uint32_t kChannelCount = 2;

    // engines: the DMA engine of each channel (not owned); generation:
    // FpgaLoader::kSolstra or kDuskmere (the images the FPGAs take).
    BridgeRegisters(RegisterSpace& bar0, ModuleMutex& mutex, DmaEngine* const (&engines)[2],
                    std::uint32_t generation);

    // ---- knobs ----
    // Replace the core description or the DMA base; the channel blocks move along.
    void setCoreDescription(std::uint32_t value);
    void setDmaBase(std::uint32_t value);
    void setSignature(std::uint32_t value);
    void setFpgaLoadStatus(std::uint32_t value);

    // ---- state ----
    std::uint32_t coreDescription() const;
    std::uint32_t dmaBase() const;
    // BAR offset and size of channel n's block.
    std::uint64_t channelBase(std::uint32_t channel) const;
    std::uint64_t channelSize() const;
    LatchBlock& id() const { return *id_; }
    LatchBlock& coreControl() const { return *coreControl_; }
    LatchBlock& hbrcr() const { return *hbrcr_; }
    FpgaLoader& fpgaLoading() const { return *fpgaLoading_; }
    LatchBlock& configPorts() const { return *configPorts_; }
    LatchBlock& spi() const { return *spi_; }
    LatchBlock& channel(std::uint32_t n) const;

private:
    void placeChannels(); // under the lock

    RegisterSpace& bar0_;
    ModuleMutex& mutex_;
    std::uint32_t coreDescription_ = kDefaultCoreDescription;
    std::uint32_t dmaBase_ = kDefaultDmaBase;
    LatchBlock* id_ = nullptr;
    LatchBlock* coreControl_ = nullptr;
    LatchBlock* hbrcr_ = nullptr;
    FpgaLoader* fpgaLoading_ = nullptr;
    LatchBlock* configPorts_ = nullptr;
    LatchBlock* spi_ = nullptr;
    LatchBlock* channels_[kChannelCount] = {};
    DmaEngine* engines_[kChannelCount] = {};
};

} // namespace sim
