// One simulated module: a PCI function with its configuration space and BAR 0
// (a register space composed of blocks), plugged into the stand-in's PCI bus.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/block.h"
#include "sim/board_blocks.h"
#include "sim/bridge.h"
#include "sim/fpga.h"
#include "sim/bridge_registers.h"
#include "sim/dma_engine.h"
#include "standin/pci_bus.h"
#include "sim/pci_config.h"
#include "sim/sequencer.h"
#include "sim/serial_flash.h"
#include "sim/switched_bim.h"
#include "sim/timing_chip.h"

namespace sim {

// The boards, by name: "solstra", "duskmere-a", "duskmere-b".
const std::vector<std::string>& boardNames();
// The identity of a board; none for an unknown name.
std::optional<Identity> boardIdentity(std::string_view board);

struct ModuleOptions {
    std::uint32_t pxiSlot = 2; // the geographic address the bridge reports
    // The serial flash's content at plugging; none: the default image (flash_images.h).
    std::optional<std::vector<std::uint8_t>> flashImage;
    // Both FPGAs as plain backing store, without the sequencer side's blocks
    // (register-map tests that sweep every register rely on it).
    bool plainFpgas = false;
    // Whether the non-isolated (target 0) and isolated (target 1) FPGAs hold
    // their images at plugging (as register-level tests want them); false:
    // as at power-up, until a download through the bridge configures them.
    bool fpgasLoaded[2] = {true, true};
};

class Module : public kal::pci::Function {
public:
    static constexpr std::uint64_t kBar0Size = 0x100000;
    // The non-isolated FPGA's register space in BAR 0, the isolated FPGA's
    // (18-bit offsets) and where the isolation link's register-access window
    // sits in the non-isolated one.
    static constexpr std::uint64_t kNisoFpgaBase = 0x20000;
    static constexpr std::uint64_t kNisoFpgaSize = 0x20000;
    static constexpr std::uint64_t kIsoFpgaSize = 0x40000;
    static constexpr std::uint64_t kSolstraLinkOffset = 0x200;
    static constexpr std::uint64_t kDuskmereLinkOffset = 0xC120;
    // The board signature registers of the non-isolated FPGA (Solstra, Duskmere)
    // and of the isolated one (both generations).
    static constexpr std::uint64_t kSolstraNisoSignature = 0x20;
    static constexpr std::uint64_t kDuskmereNisoSignature = 0x8020;
    static constexpr std::uint64_t kIsoSignature = 0x20;

    Module(std::string board, const Identity& identity, const ModuleOptions& options);
    ~Module() override;

    const std::string& board() const { return board_; } // "" for a foreign identity
    const Identity& identity() const { return identity_; }
    PciConfigSpace& config() { return *config_; }
    RegisterSpace& configSpace() { return configSpace_; }
    RegisterSpace& bar0() { return bar0_; }
    BridgeCore& bridge() { return *bridge_; }
    FpgaSpace& nisoFpga() { return *nisoFpga_; }
    FpgaSpace& isoFpga() { return *isoFpga_; }
    IsolationLink& isolationLink() { return *link_; }
    // Offset of the link's window in the non-isolated FPGA (Duskmere boards: 0xC120, else 0x200).
    std::uint64_t linkOffset() const { return linkOffset_; }
    // The non-isolated board map's blocks (board_blocks.h): the isolation
    // link's configuration and status, the transformer drive, and (Solstra)
    // the Vref temperature sensor. Until this is called those registers are plain
    // backing store (register-map tests rely on that); the host calls it for
    // every module it adds. The accessors below need it (Vref: null on Duskmere).
    void enableBoard();
    // Where the board map sits in the non-isolated FPGA.
    static constexpr std::uint64_t kSolstraBoardBase = 0x0;
    static constexpr std::uint64_t kDuskmereBoardBase = 0x8000;
    std::uint64_t boardBase() const { return boardBase_; }
    IsoCommBlock& isoComm() { return *isoComm_; }
    TransformerBlock& transformer() { return *transformer_; }
    VrefTemperatureBlock* vrefTemperature() { return vrefTemperature_; }
    // The bridge core's registers, the switched bus interface with the port
    // blocks behind it, and the timing chip.
    BridgeRegisters& bridgeRegisters() { return *bridgeRegisters_; }
    SwitchedBusInterface& switchedBim() { return *switchedBim_; }
    TimingChip& timingChip() { return *timingChip_; }
    // The DMA engine of channel 0 (device to host) or 1 (host to device),
    // and the blocks of the non-isolated FPGA around them: the kernel stream
    // circuit of each channel, the FIFO resets and (Solstra) the credits.
    static constexpr std::uint64_t kStreamCircuitBase = 0x14000;
    static constexpr std::uint64_t kStreamCircuitStride = 0x2000;
    static constexpr std::uint64_t kSolstraStreamControl = 0x80;
    static constexpr std::uint64_t kDuskmereStreamControl = 0x8080;
    static constexpr std::uint64_t kSolstraCredits = 0x2300;
    DmaEngine& dma(std::uint32_t channel) { return *dma_[channel & 1]; }
    // Until this is called the channel blocks are plain latches and the
    // non-isolated FPGA's registers plain backing store (register-map tests
    // rely on that); from then on the engines serve them.
    void enableDma();
    std::uint64_t streamControlOffset() const {
        return board_.starts_with("duskmere") ? kDuskmereStreamControl : kSolstraStreamControl;
    }
    // The serial flash behind the bridge's SPI port; its write-protect pin is
    // the timing chip's digital-output bit 7 (low: asserted).
    SerialFlash& flash() { return *flash_; }
    // The sequencer, measure unit, charge balancer and ADF4002 (sequencer.h);
    // null with plain FPGAs.
    SequencerSide* sequencerSide() { return sequencerSide_.get(); }
    bool flashWriteProtectAsserted() const;

    // Whether the thread of that tag (ModuleMutex::threadTag on it) waits
    // for the module's lock: while a tap holds a request, another request
    // that reaches the module waits there.
    bool waitsForLock(const void* threadTag) const { return mutex_.isWaiting(threadTag); }

    // Device errors: accesses of a wrong width or alignment, outside every block, ...
    ErrorLog& errors() { return errors_; }
    std::size_t deviceErrorCount() const { return errors_.count(); }
    std::vector<std::string> deviceErrors() const { return errors_.entries(); }

    // A dead bridge: every BAR read answers all ones, writes are lost.
    void setDeadBridge(bool dead) { dead_ = dead; }

    // Where it is plugged (null handle while unplugged).
    nVOKAL_tHandle pciHandle() const { return handle_; }
    kal::pci::Location location() const { return location_; }

    // kal::pci::Function
    bool configRead(std::uint32_t offset, std::uint32_t width, std::uint32_t& value) override;
    bool configWrite(std::uint32_t offset, std::uint32_t width, std::uint32_t value) override;
    std::uint64_t barSize(std::uint32_t bar) const override;
    std::uint64_t memoryRead(std::uint32_t bar, std::uint64_t offset, std::uint32_t width) override;
    void memoryWrite(std::uint32_t bar, std::uint64_t offset, std::uint32_t width,
                     std::uint64_t value) override;

private:
    friend class Bus;

    std::string board_;
    Identity identity_;
    mutable ModuleMutex mutex_;
    ErrorLog errors_;
    RegisterSpace configSpace_;
    PciConfigSpace* config_ = nullptr;
    RegisterSpace bar0_;
    std::unique_ptr<BridgeCore> bridge_;
    RegisterSpace isoSpace_;
    FpgaSpace* nisoFpga_ = nullptr;
    FpgaSpace* isoFpga_ = nullptr;
    IsolationLink* link_ = nullptr;
    std::uint64_t linkOffset_ = kSolstraLinkOffset;
    std::uint64_t boardBase_ = kSolstraBoardBase;
    IsoCommBlock* isoComm_ = nullptr;
    TransformerBlock* transformer_ = nullptr;
    VrefTemperatureBlock* vrefTemperature_ = nullptr;
    std::unique_ptr<DmaEngine> dma_[2];
    bool dmaEnabled_ = false;
    std::unique_ptr<BridgeRegisters> bridgeRegisters_;
    SwitchedBusInterface* switchedBim_ = nullptr;
    TimingChip* timingChip_ = nullptr;
    std::unique_ptr<SerialFlash> flash_;
    std::unique_ptr<SequencerSide> sequencerSide_;
    std::atomic<bool> dead_{false};
    // Set and cleared under mutex_; the DMA engines' threads read it without.
    std::atomic<nVOKAL_tHandle> handle_{nullptr};
    kal::pci::Location location_;
};

} // namespace sim
