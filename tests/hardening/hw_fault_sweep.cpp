// The hardware-fault sweep: every fault knob of the simulated module, on every
// board, switched on at each setup level; the seeds and the table's requests
// run into it, then a full reset, which stops at the row's level with its code.
// Each step stays within its bound of stand-in time (three minutes of real
// time end the run); once cleared, the reset to the case's level leaves every
// kernel-layer object count where it stood and a full reset reaches the top.
// Knobs read only at a module's addition have a table of their own; a
// surprise removal of a dead bridge ends each board's run.
//
//   hw_fault_sweep [--board NAME] [--knob TEXT] [--levels all|sample] [--seed S]
//   (sample: one board and one level per knob, from --seed, KELVO_SWEEP_SEED or the clock)
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ioctl_fuzz.h"
#include "module.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "requests.h"

namespace {

using Setter = std::function<void(sim::Module&, bool on)>;

// The "Manufacturing" map's serial number set (then the map flushed), or got.
std::int32_t serialNumber(int handle, std::uint32_t requestCode, std::uint32_t& serial) {
    const std::int32_t status = rawElement(handle, requestCode, kManufacturing, kSerialField, 0, &serial, 4);
    if (status != 0 || requestCode == KELVO_IOCTL_storageMap_getRaw) {
        return status;
    }
    return ask(handle, KELVO_IOCTL_storageMap_flush, named<kelvo_storageMap_flush_in>(kManufacturing));
}

// A request whose answer a knob decides.
struct Operation {
    const char* name;
    std::int32_t (*run)(int handle);
};

const Operation kReadSignature{"arm_read Brixel.Signature", [](int handle) {
                                   return readRegister(handle, "Brixel_Ver2.3.0f7", 0x40000000u);
                               }};
const Operation kReadIOPort{"arm_read IOPort2RegMap",
                            [](int handle) { return readRegister(handle, "IOPort2RegMap_Ver2.3.0f7", 0); }};
const Operation kFlushManufacturing{
    "storageMap setRaw+flush", [](int handle) {
        std::uint32_t serial = 0;
        const std::int32_t got = serialNumber(handle, KELVO_IOCTL_storageMap_getRaw, serial);
        serial ^= 1; // a change, so the flush writes
        return got != 0 ? got : serialNumber(handle, KELVO_IOCTL_storageMap_setRaw, serial);
    }};
const Operation kReadFlashWindow{"deviceWindow_read flashWindow", [](int handle) {
                                     std::vector<std::uint8_t> bytes(256);
                                     auto in = named<kelvo_deviceWindow_read_in>("flashWindow");
                                     in.size = bytes.size();
                                     in.buffer = address(bytes.data());
                                     return ask(handle, KELVO_IOCTL_deviceWindow_read, in);
                                 }};
// 64 bytes to the device on channel 1 (zero words: the sequencer's no-ops)
// from a page the kernel layer may lock: added, started, stopped, cleared;
// the first error.
const Operation kDmaToDevice{
    "DMA to the device, channel 1", [](int handle) {
        alignas(4096) static std::uint8_t page[4096] = {};
        kal::usermem::Scope scope;
        scope.add(page, sizeof(page));
        std::int32_t first = ask(handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
                                 kelvo_brixelTools_addTransferToDevice_in{1, 0, address(page), 64, 1, 0});
        const auto keep = [&first](std::int32_t status) { first = first ? first : status; };
        if (first == 0) {
            keep(ask(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{1, 0, {}, 0}));
            keep(ask(handle, KELVO_IOCTL_brixelTools_stopDMA, kelvo_brixelTools_stopDMA_in{1, 0}));
        }
        keep(ask(handle, KELVO_IOCTL_brixelTools_clearTransfers, kelvo_brixelTools_clearTransfers_in{1, 0}));
        return first;
    }};
const Operation* const kOperations[] = {&kReadSignature, &kReadIOPort, &kFlushManufacturing,
                                        &kReadFlashWindow, &kDmaToDevice};

struct Knob {
    const char* name;
    Setter set;
    std::uint32_t level;    // whose setup meets the fault (0: none, the full reset reaches the top)
    std::int32_t setupCode; // and what the reset then answers
    const Operation* operation = nullptr; // the request the fault decides, its code, from this level on
    std::int32_t operationCode = 0;
    std::uint32_t operationLevel = 0;
    const char* onlyOn = ""; // the boards (by name's start) with the hardware; the others answer as ever
    // False for what the bridge reports of its own layout (its channel blocks
    // move with it), which changes only across a reset: on just before it.
    bool live = true;
    // The clock's scale for this row (0: the run's), for knobs that make
    // every access of a poll sleep: a loaded machine's stretched sleep must
    // not pass for the hardware's time-out.
    double scale = 0;
    // The reset's code when the knob was on during operation at the top
    // level, where the seeds reach what the fault keeps busy (0: the same).
    std::int32_t setupCodeAfterTop = 0;
};

void pciKnobs(sim::Module& module, const std::function<void(kal::pci::Knobs&)>& change) {
    kal::pci::Knobs knobs = kal::pci::knobs(module.pciHandle());
    change(knobs);
    kal::pci::setKnobs(module.pciHandle(), knobs);
}

// A knob's setter: m is the module, on says whether the fault is on.
#define SET(...) [](sim::Module& m, [[maybe_unused]] bool on) { __VA_ARGS__; }
const std::vector<Knob>& knobTable() {
    constexpr std::int32_t kFpgaLoadTimeout = KELVO_STATUS_FPGA_LOAD_TIMEOUT;
    constexpr std::int32_t kStreamWaitTimeout = KELVO_STATUS_STREAM_STOP_TIMED_OUT;
    static const std::vector<Knob> table = {
        {"configuration writes fail", SET(m.config().failWrites(on)), 0, 0},
        {"kernel mapping of BAR 0 refused",
         SET(pciKnobs(m, [on](kal::pci::Knobs& k) { k.refuseMapping = on; })), 3, KELVO_STATUS_OUT_OF_MEMORY},
        {"MSI refused", SET(pciKnobs(m, [on](kal::pci::Knobs& k) { k.refuseMSI = on; })), 0, 0},
        {"64-bit DMA mask refused", SET(pciKnobs(m, [on](kal::pci::Knobs& k) { k.refuse64BitDMA = on; })), 0,
         0},
        // Its DMA channel blocks would lie outside the BAR too; the signature tells why.
        {"dead bridge (every read all ones)", SET(m.setDeadBridge(on)), 3, KELVO_STATUS_BRIDGE_SIGNATURE,
         &kReadSignature, 0, 3},
        {"bridge signature wrong",
         SET(m.bridgeRegisters().setSignature(on ? 0x12345678u : sim::BridgeRegisters::kSignature)), 3,
         KELVO_STATUS_BRIDGE_SIGNATURE},
        {"DMA base all ones (channel blocks outside the BAR)",
         SET(m.bridgeRegisters().setDmaBase(on ? 0xFFFFFFFFu : sim::BridgeRegisters::kDefaultDmaBase)), 3,
         KELVO_STATUS_NOT_ACCESSIBLE, nullptr, 0, 0, "", false},
        {"DMA base putting channel 1's block past the BAR",
         SET(m.bridgeRegisters().setDmaBase(on ? static_cast<std::uint32_t>(sim::Module::kBar0Size - 0x100)
                                               : sim::BridgeRegisters::kDefaultDmaBase)),
         3, KELVO_STATUS_NOT_ACCESSIBLE, nullptr, 0, 0, "", false},
        {"no 64-bit DMA capability",
         SET(m.bridgeRegisters().setCoreDescription(sim::BridgeRegisters::kDefaultCoreDescription &
                                                    ~(on ? 1u << 5 : 0u))),
         14, KELVO_STATUS_UNSUPPORTED_VALUE},
        {"configuration-port window not 4 KiB",
         SET(m.bridge().setReportedWindowLog2(on ? 11 : sim::BridgeCore::kWindowLog2)), 3,
         KELVO_STATUS_FLASH_WINDOW_SIZE},
        {"switched-BIM port commands never complete", SET(m.switchedBim().setCompletion(!on)), 4,
         KELVO_STATUS_PORT_COMPLETION_TIMEOUT, &kReadIOPort, KELVO_STATUS_PORT_COMPLETION_TIMEOUT, 3},
        {"IO port never ready", SET(m.switchedBim().setIOPortNeverReady(on)), 4,
         KELVO_STATUS_IO_PORT_NOT_READY},
        // A sector read waits for the busy bit too: level 4's read of the "Manufacturing" map times out.
        {"flash stuck busy", SET(m.flash().setStuckBusy(on)), 4, KELVO_STATUS_FLASH_BUSY_TIMEOUT,
         &kFlushManufacturing, KELVO_STATUS_FLASH_BUSY_TIMEOUT, 3},
        {"flash writes ignored", SET(m.flash().setWritesIgnored(on)), 0, 0, &kFlushManufacturing,
         KELVO_STATUS_FLASH_WRITE_VERIFY, 3},
        // An hour, which no stall of the process lets the poll see end; cleared, the erase running ends.
        {"flash erase slower than the poll limit",
         SET(m.flash().setBusyTimes(on ? 3600ull * 1000000000ull : sim::SerialFlash::kDefaultEraseNs,
                                    sim::SerialFlash::kDefaultProgramNs,
                                    sim::SerialFlash::kDefaultStatusWriteNs);
             if (!on) { m.flash().setStuckBusy(false); }),
         0, 0, &kFlushManufacturing, KELVO_STATUS_FLASH_BUSY_TIMEOUT, 3},
        // The lock holds only while the write-protect pin is asserted: the driver releases it to write.
        {"flash block protection locked",
         SET(m.flash().setStatus(sim::SerialFlash::kBlockProtection |
                                 (on ? sim::SerialFlash::kBlockProtectionLock : 0))),
         0, 0, &kFlushManufacturing, 0, 3},
        {"FPGA loader never ready", SET(m.bridgeRegisters().fpgaLoading().setReadyNever(on)), 4,
         kFpgaLoadTimeout},
        {"FPGA loader never done", SET(m.bridgeRegisters().fpgaLoading().setDoneNever(on)), 4,
         kFpgaLoadTimeout},
        {"FPGA image CRC taken as wrong", SET(m.bridgeRegisters().fpgaLoading().setWrongCrc(on)), 6,
         KELVO_STATUS_NON_ISOLATED_SIGNATURE},
        // The load runs at memory speed: the image is complete when the early done is read.
        {"FPGA loader status reading done at once",
         SET(m.bridgeRegisters().fpgaLoading().setStatusBits(on ? sim::FpgaLoader::kDone : 0)), 0, 0},
        // Well within the accessor's half-second polls, at a clock only twice
        // as fast: each of a reset's thousand accesses sleeps.
        {"isolation link slow (ready and answers after 2 status reads)",
         SET(m.isolationLink().setSlow(on ? 2 : 0, on ? 2 : 0)), 0, 0, nullptr, 0, 0, "", true, 2},
        // Level 11 is the first to read the isolated FPGA through the link.
        {"isolation link never ready", SET(m.isolationLink().setNeverReady(on)), 11,
         KELVO_STATUS_ISOLATION_LINK_NOT_READY},
        {"isolation link never answers a read", SET(m.isolationLink().setNeverAnswers(on)), 11,
         KELVO_STATUS_ISOLATION_LINK_NO_RESPONSE},
        {"isolation link error bit", SET(m.isolationLink().setError(on)), 11,
         KELVO_STATUS_REGISTER_ACCESS_FAILED},
        {"isolation link state never follows a command", SET(m.isoComm().setLinkNeverAnswers(on)), 8,
         KELVO_STATUS_ISOLATION_LINK_TIMEOUT},
        {"isolated DC bus never starts", SET(m.isoComm().setDcBusNeverStarts(on)), 8,
         KELVO_STATUS_DC_BUS_STARTUP_TIMEOUT},
        {"PLL never locks", SET(m.sequencerSide()->adf4002().setNeverLocks(on)), 13,
         KELVO_STATUS_EXTERNAL_PLL_NOT_LOCKED},
        // The seed of wexmoor_startSequenceEngine at 19 leaves a program running
        // that the reset's cleanup cannot stop: level 18's start finds it.
        {"sequencer programs never end", SET(m.sequencerSide()->sequencer().setProgramsNeverEnd(on)), 18,
         KELVO_STATUS_STARTUP_TIMED_OUT, nullptr, 0, 0, "", true, 0, KELVO_STATUS_SEQUENCE_ENGINE_RUNNING},
        // Level 18 streams the start-up program on channel 1 (host to device).
        {"DMA channel never starts", SET(m.dma(1).setNeverStarts(on)), 18,
         KELVO_STATUS_CHANNEL_START_TIMED_OUT, &kDmaToDevice, KELVO_STATUS_CHANNEL_START_TIMED_OUT, 14},
        {"DMA channel never ends", SET(m.dma(1).setNeverEnds(on)), 18, kStreamWaitTimeout, &kDmaToDevice,
         kStreamWaitTimeout, 14},
        {"stream circuit never enables", SET(m.dma(1).setStreamNeverEnables(on)), 18, kStreamWaitTimeout,
         &kDmaToDevice, kStreamWaitTimeout, 14},
        {"stream circuit never resets", SET(m.dma(1).setStreamNeverResets(on)), 18, kStreamWaitTimeout,
         &kDmaToDevice, kStreamWaitTimeout, 14},
        // Only Solstra's channel 1 has a credit controller.
        {"credits never stop", SET(m.dma(1).setCreditsNeverStop(on)), 18, KELVO_STATUS_TIMED_OUT,
         &kDmaToDevice, KELVO_STATUS_TIMED_OUT, 14, "solstra"},
    };
    return table;
}

// A step that takes three minutes of real time ends the run, naming the step.
char runningStep[512];
void onHang(int) {
    const char text[] = "FAILED: hang: a step took more than three minutes: ";
    (void)!write(2, text, sizeof(text) - 1);
    (void)!write(2, runningStep, strlen(runningStep));
    std::_Exit(2);
}

// A step's bound of stand-in time: the longest waits of the product (the
// board start-up's 5 s, the flash's polls) and twenty clean full resets as
// this build and machine run them (the faster clock multiplies the work).
std::uint64_t stepBoundNs = ~std::uint64_t{0};

std::string hex(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), value < 0 && value > -1000000 ? "%d" : "0x%08X", value);
    return text;
}

struct RowResult {
    std::string verdict = "ok";
    std::int32_t setupStatus = 0;
    std::int64_t setupLevel = 0;
    std::int32_t operationStatus = 0;
    std::uint64_t longestNs = 0;
    void check(bool ok, const std::string& what) {
        if (!ok) {
            fail(what);
            verdict = "FAILED";
        }
    }
    void checkNoLeak(const std::string& where, const kal::live::Counts& before) {
        const kal::live::Counts after = kal::live::now();
        check(after == before, where + ": leaked: before " + kal::live::describe(before) + ", after " +
                                   kal::live::describe(after));
    }
    // Runs a step (three minutes of real time at most) within the bound of stand-in time.
    template <class Step> void step(const std::string& what, Step run) {
        std::snprintf(runningStep, sizeof(runningStep), "%s\n", what.c_str());
        alarm(180);
        const std::uint64_t before = nVOKAL1_getMonotonicCounter();
        run();
        const std::uint64_t ns = nVOKAL1_getMonotonicCounter() - before;
        alarm(0);
        longestNs = std::max(longestNs, ns);
        check(ns <= stepBoundNs, what + " took " + std::to_string(ns / 1000000) + " ms of stand-in time");
    }
};

// One knob on one board at the given levels: on, the seeds and the table's
// requests, a full reset into it, then cleared and recovered.
RowResult sweepKnob(unsigned board, const Knob& knob, const std::vector<std::uint32_t>& levels) {
    RowResult result;
    const std::string where = kelvo_fuzz::boards()[board] + ": " + knob.name;
    const std::shared_ptr<sim::Module> module =
        kelvo_host::module(static_cast<unsigned>(kelvo_fuzz::deviceIndex(board)));
    std::optional<kal::clock::ScopedScale> slower;
    if (knob.scale > 0) {
        slower.emplace(knob.scale);
    }
    const bool present = kelvo_fuzz::boards()[board].starts_with(knob.onlyOn);
    const bool meets = present && knob.level != 0;
    for (const std::uint32_t level : levels) {
        const std::string at = where + " (on at level " + std::to_string(level) + ")";
        kelvo_fuzz::resetDevice(board, level);
        const kal::live::Counts before = kal::live::now();
        if (knob.live) {
            knob.set(*module, true);
        }
        result.step(at + ", seeds", [&] {
            for (const kelvo_fuzz::Seed& seed : kelvo_fuzz::seedsOf(board)) {
                if (seed.codeIndex >= 0) {
                    kelvo_fuzz::runInput(seed.bytes.data(), seed.bytes.size());
                }
            }
        });
        for (const Operation* other : kOperations) { // any answer but a hang
            if (other != knob.operation) {
                result.step(at + ", " + other->name, [&] { other->run(kelvo_fuzz::firstHandle(board)); });
            }
        }
        if (knob.operation != nullptr && level >= knob.operationLevel) {
            const std::vector<std::uint8_t> stored = module->flash().contents();
            result.step(at + ", " + knob.operation->name, [&] {
                result.operationStatus = knob.operation->run(kelvo_fuzz::firstHandle(board));
            });
            const std::int32_t expected = present ? knob.operationCode : 0;
            result.check(result.operationStatus == expected, at + ": " + knob.operation->name + " answered " +
                                                                 hex(result.operationStatus) + ", expected " +
                                                                 hex(expected));
            if (knob.operation == &kFlushManufacturing && result.operationStatus != 0) {
                // A failed write may have left the map's sector erased (as a
                // power loss would): once the flash works the same flush
                // writes the serial number it held, and the flash holds again
                // what it held before, byte for byte.
                knob.set(*module, false);
                std::uint32_t serial = 0;
                std::memcpy(&serial, stored.data() + 0x8000 + kSerialField, sizeof(serial));
                const std::int32_t again =
                    serialNumber(kelvo_fuzz::firstHandle(board), KELVO_IOCTL_storageMap_setRaw, serial);
                result.check(again == 0, at + ": the flush once the flash works answered " + hex(again));
                const std::vector<std::uint8_t> now = module->flash().contents();
                const auto differs = std::mismatch(now.begin(), now.end(), stored.begin()).first;
                result.check(differs == now.end(),
                             at + ": the flash differs at byte " + std::to_string(differs - now.begin()));
                module->flash().load(stored);
                knob.set(*module, true);
            }
        }
        if (!knob.live) {
            knob.set(*module, true);
        }
        result.step(at + ", reset",
                    [&] { result.setupStatus = kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE); });
        result.setupLevel = kelvo_fuzz::setupLevel(board);
        const std::int32_t setupCode = level == KELVO_SETUP_LEVEL_COMPLETE && knob.setupCodeAfterTop
                                           ? knob.setupCodeAfterTop
                                           : knob.setupCode;
        const std::int32_t expectedStatus = meets ? setupCode : 0;
        const std::int64_t expectedLevel = meets ? knob.level - 1 : KELVO_SETUP_LEVEL_COMPLETE;
        result.check(result.setupStatus == expectedStatus && result.setupLevel == expectedLevel,
                     at + ": the reset answered " + hex(result.setupStatus) + " at level " +
                         std::to_string(result.setupLevel) + ", expected " + hex(expectedStatus) +
                         " at level " + std::to_string(expectedLevel));
        // Cleared: nothing left behind, and the device comes back (at the top
        // level that reset is a full one).
        knob.set(*module, false);
        const std::int32_t back = kelvo_fuzz::resetDevice(board, level);
        result.checkNoLeak(at, before);
        const std::int32_t again = level != KELVO_SETUP_LEVEL_COMPLETE
                                       ? kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE)
                                       : back;
        result.check(again == 0 && kelvo_fuzz::setupLevel(board) == KELVO_SETUP_LEVEL_COMPLETE,
                     at + ": did not recover: the reset answered " + hex(again));
    }
    return result;
}

// Knobs of what the driver reads once, when a module is added (its PCI
// configuration space, the bridge's vendor capabilities), set before the
// addition of a second module of the board: it answers the row's result,
// stands at the row's level and has the row's properties; once removed
// nothing is left, and a module added without the knob succeeds.
struct AdditionKnob {
    const char* name;
    Setter set;
    std::int32_t code;      // the addition's code when refused (kAnyError: any), else 0
    std::int64_t level;     // the added device's setup level (-1: the top)
    bool geographicAddress; // the "pxiGeographicAddress" property holds the slot
    bool pciExpress;        // the link properties are there (16 bus properties, not 12)
};
constexpr std::int32_t kAnyError = INT32_MIN;

const std::vector<AdditionKnob>& additionTable() {
    static const std::vector<AdditionKnob> table = {
        {"every configuration read fails", SET(m.config().failAllReads(true)), kAnyError, 0, false, false},
        // The link's capability is looked up apart: a walk that fails leaves a plain PCI function.
        {"the PCI Express capability's reads fail",
         SET(m.config().failReadsAt(sim::PciConfigSpace::kPcieOffset)), 0, -1, true, false},
        {"no PCI Express capability", SET(m.config().removePcieCapability()), 0, -1, true, false},
        {"an endless capability list", SET(m.config().makeCapabilityListCircular()), 0, -1, true, true},
        {"no capability list", SET(m.config().setCapabilityListBit(false)), 0, -1, true, false},
        {"a link of width 0", SET(m.config().setLink({2, 4, 0, 0})), 0, -1, true, false},
        {"no vendor capabilities", SET(m.bridge().setCapabilities({}, 0)), 0, -1, false, true},
        // Nothing to read: the capability keeps its all-ones value, without an error.
        {"the geographic register in no space",
         SET(sim::GeographicRegister none; none.space = 0; m.bridge().setGeographicRegister(none)), 0, -1,
         true, true},
        {"a flipped bit in the stored serial number", SET(m.flash().setReadBitFlip(0, 0x01)), 0, -1, true,
         true},
        // Level 14 cannot set a DMA mask: the device stays below it.
        {"every DMA mask refused", SET(pciKnobs(m, [](kal::pci::Knobs& k) { k.refuseDMA = true; })), 0, 13,
         true, true},
    };
    return table;
}
#undef SET

RowResult additionKnob(unsigned board, const AdditionKnob& knob) {
    RowResult result;
    const std::string& name = kelvo_fuzz::boards()[board];
    const std::string where = name + ": added with " + knob.name;
    const kal::live::Counts before = kal::live::now();
    int index = -1;
    result.step(where,
                [&] { index = kelvo_host::addModule(name, [&](sim::Module& m) { knob.set(m, true); }); });
    result.setupStatus = std::min(index, 0);
    const bool refused = knob.code == kAnyError ? index < 0 : index == knob.code;
    result.check(knob.code == 0 ? index >= 0 : refused,
                 where + ": the addition answered " + std::to_string(index));
    if (index >= 0) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        kelvo_kelvo_getSetupLevel_out out{};
        result.setupLevel = ask(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out) == 0
                                ? out.setupLevel
                                : -1;
        kelvo_close(handle);
        const std::int64_t expected = knob.level < 0 ? KELVO_SETUP_LEVEL_COMPLETE : knob.level;
        result.check(result.setupLevel == expected,
                     where + ": the device stands at level " + std::to_string(result.setupLevel));
        std::uint32_t slot = 0;
        const bool present =
            kelvo_property_read(static_cast<unsigned>(index), nullptr, "pxiGeographicAddress", &slot,
                                sizeof(slot)) == static_cast<int>(sizeof(slot));
        result.check(present == knob.geographicAddress,
                     where + ": the geographic address is " + (present ? "there" : "missing"));
        std::uint32_t width = 0;
        const bool express = kelvo_property_read(static_cast<unsigned>(index), nullptr, "pcieLinkWidth",
                                                 &width, sizeof(width)) == static_cast<int>(sizeof(width));
        result.check(express == knob.pciExpress,
                     where + ": the link properties are " + (express ? "there" : "missing"));
        kelvo_host_remove_module(static_cast<unsigned>(index));
    }
    result.checkNoLeak(where, before);
    const int clean = kelvo_host_add_module(name.c_str());
    result.check(clean >= 0, where + ": a module without the knob could not be added after it");
    if (clean >= 0) {
        kelvo_host_remove_module(static_cast<unsigned>(clean));
    }
    return result;
}

// Surprise removal: the bridge goes dead (the interrupt status reads all ones)
// with an interrupt pending; the engine's event removes the module and adds a
// fresh one, which reaches the top; nothing is left behind.
RowResult surpriseRemoval(unsigned board) {
    RowResult result;
    const std::string where = kelvo_fuzz::boards()[board] + ": surprise removal";
    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
    const kal::live::Counts before = kal::live::now();
    const std::shared_ptr<sim::Module> module =
        kelvo_host::module(static_cast<unsigned>(kelvo_fuzz::deviceIndex(board)));
    module->setDeadBridge(true);
    module->bridge().interrupts().fire(0);
    const std::vector<std::uint8_t> removal = {15, static_cast<std::uint8_t>(board), 0, 3};
    result.step(where, [&] { kelvo_fuzz::runInput(removal.data(), removal.size()); });
    result.setupLevel = kelvo_fuzz::setupLevel(board);
    result.check(result.setupLevel == KELVO_SETUP_LEVEL_COMPLETE,
                 where + ": the new module reached level " + std::to_string(result.setupLevel));
    // Compared after a reset (the addition also fills the flash window's
    // sector cache, which a reset starts empty).
    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
    result.checkNoLeak(where, before);
    return result;
}

void print(const std::string& board, const std::string& row, const RowResult& r) {
    std::printf("%s | %s | %s at %lld | %s | %.1f ms | %s\n", board.c_str(), row.c_str(),
                hex(r.setupStatus).c_str(), static_cast<long long>(r.setupLevel),
                hex(r.operationStatus).c_str(), r.longestNs / 1e6, r.verdict.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::string onlyBoard = option(argc, argv, "--board") ? option(argc, argv, "--board") : "";
    const std::string onlyKnob = option(argc, argv, "--knob") ? option(argc, argv, "--knob") : "";
    const char* levelChoice = option(argc, argv, "--levels");
    const bool sample = levelChoice != nullptr && std::string(levelChoice) == "sample";
    const std::uint64_t seed = sampleSeed(option(argc, argv, "--seed"));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGALRM, onHang);
    kelvo_fuzz::start(kelvo_fuzz::Options{1, 100.0}); // only the surprise removal's input holds an event
    std::int32_t clean = -1;
    RowResult start;
    start.step("a clean full reset", [&] { clean = kelvo_fuzz::resetDevice(0, KELVO_SETUP_LEVEL_COMPLETE); });
    stepBoundNs = 600ull * 1000 * 1000 * 1000 + 20 * start.longestNs;
    start.check(clean == 0 && kelvo_fuzz::topLevel() == KELVO_SETUP_LEVEL_COMPLETE,
                "a clean full reset answered " + hex(clean) + ", the top level is " +
                    std::to_string(kelvo_fuzz::topLevel()));
    std::printf(
        "hw_fault_sweep: seed %llu; board, knob, the reset's code at its level, the operation's code, "
        "the longest step, the verdict\n",
        static_cast<unsigned long long>(seed));
    const auto chosen = [&](const char* name) {
        return std::string(name).find(onlyKnob) != std::string::npos;
    };
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const std::string& name = kelvo_fuzz::boards()[board];
        if (onlyBoard.empty() ? sample && board != seed % kelvo_fuzz::boards().size() : name != onlyBoard) {
            continue;
        }
        for (unsigned row = 0; row < knobTable().size(); ++row) {
            std::vector<std::uint32_t> levels;
            for (std::uint32_t level = 0; level <= KELVO_SETUP_LEVEL_COMPLETE; ++level) {
                if (!sample || level == (seed + row * 7) % (KELVO_SETUP_LEVEL_COMPLETE + 1)) {
                    levels.push_back(level);
                }
            }
            if (chosen(knobTable()[row].name)) {
                print(name, knobTable()[row].name, sweepKnob(board, knobTable()[row], levels));
            }
        }
        for (const AdditionKnob& knob : additionTable()) {
            if (chosen(knob.name)) {
                print(name, std::string(knob.name) + " (at the addition)", additionKnob(board, knob));
            }
        }
        if (chosen("surprise removal")) {
            print(name, "surprise removal", surpriseRemoval(board));
        }
    }
    std::printf("hw_fault_sweep: %llu requests\n",
                static_cast<unsigned long long>(kelvo_fuzz::counters().requests));
    kelvo_fuzz::stop();
    return verdict("hw_fault_sweep");
}
