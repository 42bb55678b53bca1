// The simulated module's fault knobs: the setup level that meets each and its code, and the request it
// decides from a level on. The setup test takes the first knob of each level; the sweep takes them all.
#pragma once

#include <functional>
#include <vector>

#include "kelvo/ioctl.h"
#include "sim/module.h"

namespace kelvo_test {

// The requests a fault decides (the sweep runs them).
enum class Decided : std::uint8_t {
    kNothing,
    kReadSignature,      // arm_read of the bridge's signature
    kReadIOPort,         // arm_read of the IO port's map
    kFlushManufacturing, // a changed serial number set and the map flushed
    kDmaToDevice,        // 64 bytes to the device on channel 1
};

struct ModuleFault {
    const char* name;
    std::function<void(sim::Module&, bool on)> set;
    std::uint32_t level = 0;             // whose setup meets the fault (0: none, setup reaches the top)
    std::int32_t setupCode = 0;          // and what setup then stops with
    Decided decides = Decided::kNothing; // the request the fault decides, its code, from this level on
    std::int32_t requestCode = 0;
    std::uint32_t requestLevel = 0;
    const char* onlyOn = ""; // the boards (by name's start) with the hardware; the others answer as ever
    bool live = true; // false: the bridge's own layout, which changes only across a reset (on just before)
    // On stepped time, where the hardware answers after a number of reads: no stall passes for its time-out.
    bool stepped = false;
    // The reset's code when on at the top level, whose seeds reach what the fault keeps busy.
    std::int32_t setupCodeAfterTop = 0;
};

inline void changePciKnobs(sim::Module& module, const std::function<void(kal::pci::Knobs&)>& change) {
    kal::pci::Knobs knobs = kal::pci::knobs(module.pciHandle());
    change(knobs);
    kal::pci::setKnobs(module.pciHandle(), knobs);
}

// A knob's setter: m is the module, on says whether the fault is on.
#define SET(...) [](sim::Module& m, [[maybe_unused]] bool on) { __VA_ARGS__; }
inline const std::vector<ModuleFault>& moduleFaults() {
    constexpr std::int32_t kStopTimeout = KELVO_STATUS_STREAM_STOP_TIMED_OUT;
    constexpr std::int32_t kPortTimeout = KELVO_STATUS_PORT_COMPLETION_TIMEOUT;
    constexpr std::int32_t kNeverStarts = KELVO_STATUS_CHANNEL_START_TIMED_OUT;
    using sim::BridgeRegisters;
    using sim::SerialFlash;
    using enum Decided;
    // clang-format off
    static const std::vector<ModuleFault> table = {
        {.name = "configuration writes fail", .set = SET(m.config().failWrites(on))},
        {.name = "configuration-port window not 4 KiB",
         .set = SET(m.bridge().setReportedWindowLog2(on ? 11 : sim::BridgeCore::kWindowLog2)),
         .level = 3, .setupCode = KELVO_STATUS_FLASH_WINDOW_SIZE},
        {.name = "kernel mapping of BAR 0 refused",
         .set = SET(changePciKnobs(m, [on](kal::pci::Knobs& k) { k.refuseMapping = on; })),
         .level = 3, .setupCode = KELVO_STATUS_OUT_OF_MEMORY},
        {.name = "MSI refused",
         .set = SET(changePciKnobs(m, [on](kal::pci::Knobs& k) { k.refuseMSI = on; }))},
        {.name = "64-bit DMA mask refused",
         .set = SET(changePciKnobs(m, [on](kal::pci::Knobs& k) { k.refuse64BitDMA = on; }))},
        // Its DMA channel blocks would lie outside the BAR too; the signature tells why.
        {.name = "dead bridge (every read all ones)", .set = SET(m.setDeadBridge(on)), .level = 3,
         .setupCode = KELVO_STATUS_BRIDGE_SIGNATURE, .decides = kReadSignature, .requestLevel = 3},
        {.name = "bridge signature wrong",
         .set = SET(m.bridgeRegisters().setSignature(on ? 0x12345678u : BridgeRegisters::kSignature)),
         .level = 3, .setupCode = KELVO_STATUS_BRIDGE_SIGNATURE},
        {.name = "DMA base all ones (channel blocks outside the BAR)",
         .set = SET(m.bridgeRegisters().setDmaBase(on ? 0xFFFFFFFFu : BridgeRegisters::kDefaultDmaBase)),
         .level = 3, .setupCode = KELVO_STATUS_NOT_ACCESSIBLE, .live = false},
        {.name = "DMA base putting channel 1's block past the BAR",
         .set = SET(m.bridgeRegisters().setDmaBase(on ? std::uint32_t{sim::Module::kBar0Size - 0x100}
                                                : BridgeRegisters::kDefaultDmaBase)),
         .level = 3, .setupCode = KELVO_STATUS_NOT_ACCESSIBLE, .live = false},
        // 32-bit DMA then.
        {.name = "no 64-bit DMA capability",
         .set = SET(m.bridgeRegisters().setCoreDescription(BridgeRegisters::kDefaultCoreDescription &
                                                           ~(on ? 1u << 5 : 0u)))},
        {.name = "IO port never ready", .set = SET(m.switchedBim().setIOPortNeverReady(on)), .level = 4,
         .setupCode = KELVO_STATUS_IO_PORT_NOT_READY},
        {.name = "switched-BIM port commands never complete", .set = SET(m.switchedBim().setCompletion(!on)),
         .level = 4, .setupCode = kPortTimeout, .decides = kReadIOPort, .requestCode = kPortTimeout,
         .requestLevel = 3},
        // A sector read waits for the busy bit too: level 4's read of the "Manufacturing" map times out.
        {.name = "flash stuck busy", .set = SET(m.flash().setStuckBusy(on)), .level = 4,
         .setupCode = KELVO_STATUS_FLASH_BUSY_TIMEOUT, .decides = kFlushManufacturing,
         .requestCode = KELVO_STATUS_FLASH_BUSY_TIMEOUT, .requestLevel = 3},
        {.name = "flash writes ignored", .set = SET(m.flash().setWritesIgnored(on)),
         .decides = kFlushManufacturing, .requestCode = KELVO_STATUS_FLASH_WRITE_VERIFY, .requestLevel = 3},
        // An hour, which no stall of the process lets the poll see end; cleared, the erase running ends.
        {.name = "flash erase slower than the poll limit",
         .set = SET(m.flash().setBusyTimes(on ? 3600ull * 1000000000ull : SerialFlash::kDefaultEraseNs,
                                           SerialFlash::kDefaultProgramNs,
                                           SerialFlash::kDefaultStatusWriteNs);
                    if (!on) { m.flash().setStuckBusy(false); }),
         .decides = kFlushManufacturing, .requestCode = KELVO_STATUS_FLASH_BUSY_TIMEOUT, .requestLevel = 3},
        // The lock holds only while the write-protect pin is asserted: the driver releases it to write.
        {.name = "flash block protection locked",
         .set = SET(m.flash().setStatus(SerialFlash::kBlockProtection |
                                        (on ? SerialFlash::kBlockProtectionLock : 0))),
         .decides = kFlushManufacturing, .requestLevel = 3},
        {.name = "FPGA loader never ready", .set = SET(m.bridgeRegisters().fpgaLoading().setReadyNever(on)),
         .level = 4, .setupCode = KELVO_STATUS_FPGA_LOAD_TIMEOUT},
        {.name = "FPGA loader never done", .set = SET(m.bridgeRegisters().fpgaLoading().setDoneNever(on)),
         .level = 4, .setupCode = KELVO_STATUS_FPGA_LOAD_TIMEOUT},
        {.name = "FPGA image CRC taken as wrong",
         .set = SET(m.bridgeRegisters().fpgaLoading().setWrongCrc(on)), .level = 6,
         .setupCode = KELVO_STATUS_NON_ISOLATED_SIGNATURE},
        // The load runs at memory speed: the image is complete when the early done is read.
        {.name = "FPGA loader status reading done at once",
         .set = SET(m.bridgeRegisters().fpgaLoading().setStatusBits(on ? sim::FpgaLoader::kDone : 0))},
        // Each of a reset's thousand accesses through the link polls twice.
        {.name = "isolation link slow (ready and answers after 2 status reads)",
         .set = SET(m.isolationLink().setSlow(on ? 2 : 0, on ? 2 : 0)), .stepped = true},
        // Level 11 is the first to read the isolated FPGA through the link.
        {.name = "isolation link error bit", .set = SET(m.isolationLink().setError(on)), .level = 11,
         .setupCode = KELVO_STATUS_REGISTER_ACCESS_FAILED},
        {.name = "isolation link never ready", .set = SET(m.isolationLink().setNeverReady(on)), .level = 11,
         .setupCode = KELVO_STATUS_ISOLATION_LINK_NOT_READY},
        {.name = "isolation link never answers a read", .set = SET(m.isolationLink().setNeverAnswers(on)),
         .level = 11, .setupCode = KELVO_STATUS_ISOLATION_LINK_NO_RESPONSE},
        {.name = "isolation link state never follows a command",
         .set = SET(m.isoComm().setLinkNeverAnswers(on)), .level = 8,
         .setupCode = KELVO_STATUS_ISOLATION_LINK_TIMEOUT},
        {.name = "isolated DC bus never starts", .set = SET(m.isoComm().setDcBusNeverStarts(on)), .level = 8,
         .setupCode = KELVO_STATUS_DC_BUS_STARTUP_TIMEOUT},
        // A day after the settle: the lock bit is read once, not waited for (1 ms: the module's own).
        {.name = "PLL locks a day late",
         .set = SET(m.sequencerSide()->adf4002().setLockDelay(on ? 86400000000000ull : 1000000)),
         .level = 13, .setupCode = KELVO_STATUS_EXTERNAL_PLL_NOT_LOCKED},
        // Level 18 streams the start-up program on channel 1 (host to device).
        {.name = "DMA channel never starts", .set = SET(m.dma(1).setNeverStarts(on)), .level = 18,
         .setupCode = kNeverStarts, .decides = kDmaToDevice, .requestCode = kNeverStarts, .requestLevel = 14},
        // Level 19's seed leaves a program running that the reset cannot stop: level 18's start finds it.
        {.name = "sequencer programs never end",
         .set = SET(m.sequencerSide()->sequencer().setProgramsNeverEnd(on)), .level = 18,
         .setupCode = KELVO_STATUS_STARTUP_TIMED_OUT,
         .setupCodeAfterTop = KELVO_STATUS_SEQUENCE_ENGINE_RUNNING},
        {.name = "DMA channel never ends", .set = SET(m.dma(1).setNeverEnds(on)), .level = 18,
         .setupCode = kStopTimeout, .decides = kDmaToDevice, .requestCode = kStopTimeout, .requestLevel = 14},
        {.name = "stream circuit never enables", .set = SET(m.dma(1).setStreamNeverEnables(on)), .level = 18,
         .setupCode = kStopTimeout, .decides = kDmaToDevice, .requestCode = kStopTimeout, .requestLevel = 14},
        {.name = "stream circuit never resets", .set = SET(m.dma(1).setStreamNeverResets(on)), .level = 18,
         .setupCode = kStopTimeout, .decides = kDmaToDevice, .requestCode = kStopTimeout, .requestLevel = 14},
        // Only Solstra's channel 1 has a credit controller.
        {.name = "credits never stop", .set = SET(m.dma(1).setCreditsNeverStop(on)), .level = 18,
         .setupCode = KELVO_STATUS_TIMED_OUT, .decides = kDmaToDevice, .requestCode = KELVO_STATUS_TIMED_OUT,
         .requestLevel = 14, .onlyOn = "solstra"},
    };
    // clang-format on
    return table;
}
#undef SET

} // namespace kelvo_test
