#include "sim/module.h"

#include "sim/flash_images.h"
#include "kelvo/product_ids.h"

namespace sim {

namespace {

// The measure FIFO between the measure unit and DMA channel 0.
constexpr std::size_t kMeasureFifoBytes = 64 * 1024;

struct Board {
    const char* name;
    Identity identity;
};

const Board kBoards[] = {
    {"solstra",
     {KELVO_PCI_VENDOR_ID, KELVO_PCI_DEVICE_ID, KELVO_PCI_SUBSYSTEM_VENDOR_ID, KELVO_SUBSYSTEM_ID_SOLSTRA,
      0x01}},
    {"duskmere-a",
     {KELVO_PCI_VENDOR_ID, KELVO_PCI_DEVICE_ID, KELVO_PCI_SUBSYSTEM_VENDOR_ID, KELVO_SUBSYSTEM_ID_DUSKMERE_A,
      0x02}},
    {"duskmere-b",
     {KELVO_PCI_VENDOR_ID, KELVO_PCI_DEVICE_ID, KELVO_PCI_SUBSYSTEM_VENDOR_ID, KELVO_SUBSYSTEM_ID_DUSKMERE_B,
      0x02}},
};

} // namespace

const std::vector<std::string>& boardNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const Board& b : kBoards) {
            list.emplace_back(b.name);
        }
        return list;
    }();
    return names;
}

std::optional<Identity> boardIdentity(std::string_view board) {
    for (const Board& b : kBoards) {
        if (board == b.name) {
            return b.identity;
        }
    }
    return std::nullopt;
}

Module::Module(std::string board, const Identity& identity, const ModuleOptions& options)
    : board_(std::move(board)), identity_(identity),
      configSpace_("config", PciConfigSpace::kSize, mutex_, errors_),
      bar0_("bar0", kBar0Size, mutex_, errors_), isoSpace_("iso", kIsoFpgaSize, mutex_, errors_) {
    config_ = &configSpace_.add<PciConfigSpace>(0, identity, kBar0Size);
    bridge_ = std::make_unique<BridgeCore>(bar0_, mutex_, options.pxiSlot);
    // The bridge's interrupt goes out through the stand-in, which delivers it
    // on its own interrupt thread: the driver's handler never runs under the
    // module's lock.
    bridge_->interrupts().connect([this] {
        if (handle_ != nullptr) {
            kal::pci::raiseInterrupt(handle_);
        }
    });
    nisoFpga_ = &bar0_.add<FpgaSpace>(kNisoFpgaBase, "niso-fpga", kNisoFpgaSize);
    isoFpga_ = &isoSpace_.add<FpgaSpace>(0, "iso-fpga", kIsoFpgaSize);
    linkOffset_ = board_.starts_with("duskmere") ? kDuskmereLinkOffset : kSolstraLinkOffset;
    link_ = &nisoFpga_->add<IsolationLink>(linkOffset_, *isoFpga_);

    const bool solstra = board_ == "solstra";
    if (!options.plainFpgas) {
        sequencerSide_ =
            std::make_unique<SequencerSide>(*nisoFpga_, *isoFpga_, !board_.starts_with("duskmere"));
    }
    for (std::uint32_t n = 0; n < 2; ++n) {
        dma_[n] = std::make_unique<DmaEngine>(n, solstra && n == 1, [this] { return handle_.load(); });
        // A channel's notify-at event queues its number in the bridge's interrupt queue.
        dma_[n]->setNotifyHandler([this](std::uint32_t channel) { bridge_->interrupts().fire(channel); });
    }
    if (sequencerSide_) {
        // Channel 1 streams into the sequencer's command FIFO (isolated FPGA
        // on Solstra, non-isolated on Duskmere: the sequencer side placed it).
        Sequencer* sequencer = &sequencerSide_->sequencer();
        dma_[1]->setDeviceSide([sequencer](const std::uint8_t* data, std::size_t size) {
            sequencer->pushCommandBytes(data, size);
        });
        // The measure unit's packets fill channel 0's measure FIFO; a packet
        // that finds the FIFO full is lost.
        DmaEngine* measure = dma_[0].get();
        sequencerSide_->setPacketSink([measure](const std::uint8_t* packet, std::size_t size) {
            if (measure->queuedBytes() + size <= kMeasureFifoBytes) {
                measure->inject(packet, size);
            }
        });
    }
    DmaEngine* const engines[2] = {dma_[0].get(), dma_[1].get()};
    bridgeRegisters_ = std::make_unique<BridgeRegisters>(
        bar0_, mutex_, engines,
        board_.starts_with("duskmere") ? FpgaLoader::kDuskmere : FpgaLoader::kSolstra);
    // Each FPGA answers only while it holds an image of its own.
    FpgaLoader& loader = bridgeRegisters_->fpgaLoading();
    const bool duskmere = board_.starts_with("duskmere");
    const std::uint32_t boardSignature =
        duskmere ? KELVO_DUSKMERE_BOARD_SIGNATURE : KELVO_SOLSTRA_BOARD_SIGNATURE;
    const std::uint64_t nisoSignature = duskmere ? kDuskmereNisoSignature : kSolstraNisoSignature;
    loader.setOnConfigured([this, boardSignature, nisoSignature](std::uint32_t target) {
        (target == 0 ? nisoFpga_ : isoFpga_)
            ->poke(target == 0 ? nisoSignature : kIsoSignature, boardSignature);
    });
    for (std::uint32_t target = 0; target < 2; ++target) {
        loader.setConfigured(target, options.fpgasLoaded[target]);
    }
    mutex_.setSettler(&loader);
    nisoFpga_->setConfiguredState([&loader] { return loader.configured(0); });
    isoFpga_->setConfiguredState([&loader] { return loader.configured(1); });
    boardBase_ = duskmere ? kDuskmereBoardBase : kSolstraBoardBase;
    switchedBim_ = &bar0_.add<SwitchedBusInterface>(SwitchedBusInterface::kBase);
    timingChip_ = &bar0_.add<TimingChip>(TimingChip::kBase);
    flash_ = std::make_unique<SerialFlash>(mutex_, errors_);
    flash_->load(options.flashImage ? *options.flashImage : *flashImage("default"));
    bridge_->connectSpi([this](bool read, std::uint32_t address, std::uint8_t data) {
        // The transaction as the SPI master's mode and prefix registers describe it.
        const LatchBlock& spi = bridgeRegisters_->spi();
        const auto mode = static_cast<std::uint32_t>(spi.latch(read ? 0x4 : 0x8, 4));
        const auto prefix = static_cast<std::uint32_t>(spi.latch(0xC, 4));
        SerialFlash::Transaction t;
        t.read = read;
        t.opcode = read ? (prefix >> 16) & 0xFF : prefix & 0xFF;
        t.opcodeBits = mode & 0x1F;
        t.addressBits = (mode >> 16) & 0x3F;
        t.dataBits = (mode >> 24) & 0x7F;
        t.address = address;
        t.data = data;
        return flash_->transact(t, flashWriteProtectAsserted());
    });
}

void Module::enableBoard() {
    std::lock_guard g(mutex_);
    if (isoComm_ != nullptr) {
        return;
    }
    const bool duskmere = board_.starts_with("duskmere");
    isoComm_ = &nisoFpga_->add<IsoCommBlock>(boardBase_ + 0x40);
    transformer_ = &nisoFpga_->add<TransformerBlock>(boardBase_ + (duskmere ? 0x200 : 0x100));
    if (!duskmere) {
        vrefTemperature_ = &nisoFpga_->add<VrefTemperatureBlock>(boardBase_ + 0x300);
    }
}

bool Module::flashWriteProtectAsserted() const {
    return (timingChip_->latch(0x04, 4) & 0x80) == 0;
}

void Module::enableDma() {
    std::lock_guard g(mutex_);
    if (dmaEnabled_) {
        return;
    }
    dmaEnabled_ = true;
    for (std::uint32_t n = 0; n < 2; ++n) {
        dma_[n]->attach();
        nisoFpga_->add<StreamCircuitBlock>(kStreamCircuitBase + n * kStreamCircuitStride,
                                           "stream-circuit-" + std::to_string(n), *dma_[n]);
    }
    nisoFpga_->add<StreamControlBlock>(streamControlOffset(), *dma_[0], *dma_[1]);
    if (board_ == "solstra") {
        nisoFpga_->add<CreditBlock>(kSolstraCredits, *dma_[1]);
    }
}

Module::~Module() {
    // The engines' threads stop before the blocks that reach them go.
    for (auto& engine : dma_) {
        engine->setStepMode(true);
    }
    mutex_.setSettler(nullptr);
}

bool Module::configRead(std::uint32_t offset, std::uint32_t width, std::uint32_t& value) {
    if (config_->readFails(offset, width)) {
        return false;
    }
    value = static_cast<std::uint32_t>(configSpace_.read(offset, width));
    return true;
}

bool Module::configWrite(std::uint32_t offset, std::uint32_t width, std::uint32_t value) {
    if (config_->writeFails()) {
        return false;
    }
    configSpace_.write(offset, width, value);
    return true;
}

std::uint64_t Module::barSize(std::uint32_t bar) const {
    return bar == 0 ? kBar0Size : 0;
}

std::uint64_t Module::memoryRead(std::uint32_t bar, std::uint64_t offset, std::uint32_t width) {
    if (bar != 0) {
        errors_.report("read of BAR " + std::to_string(bar) + ", which the module does not have");
        return allOnes(width);
    }
    if (dead_) {
        return allOnes(width);
    }
    return bar0_.read(offset, width);
}

void Module::memoryWrite(std::uint32_t bar, std::uint64_t offset, std::uint32_t width, std::uint64_t value) {
    if (bar != 0) {
        errors_.report("write of BAR " + std::to_string(bar) + ", which the module does not have");
        return;
    }
    if (dead_) {
        return;
    }
    // The FPGA download's data words skip the lock (fpga_loader.h).
    constexpr std::uint64_t kLoaderData = BridgeRegisters::kFpgaLoadingOffset + FpgaLoader::kData;
    if (offset == kLoaderData && width == 8 && bridgeRegisters_->fpgaLoading().queueData(value)) {
        return;
    }
    bar0_.write(offset, width, value);
}

} // namespace sim
