// The hardware-fault sweep.
//
// Every fault knob of the simulated module, on every board, is switched on
// with the device at each setup level from 0 to the top level the product
// reaches; at that level every code's seed request runs against the faulty
// hardware (during operation), then a full reset runs into it. The table
// below says, per knob, the level whose setup meets the fault and the code
// that level must answer, and the requests whose answer the fault decides.
// A row whose level is not built yet is run all the same (the knob must not
// hurt what exists) and printed as pending; it is checked as soon as the
// product reaches its level.
//
// Each case must end within its bound of stand-in time (the clock runs
// faster, so long settles cost little; a watchdog ends the run when a case
// takes more than three minutes of real time); once the knob is cleared and the
// device reset to the level of the case, every kernel-layer object count
// (kal::live) must stand where it stood there before, and a full reset must
// reach the top level again. Knobs of what the driver reads only when a
// module is added have a table of their own (a module added with the knob
// set), and a surprise removal of a dead bridge ends the run of each board.
//
//   hw_fault_sweep [--board NAME] [--knob TEXT] [--scale FACTOR] [--levels all|ends|sample]
//                  [--seed S]
//
// --levels ends: only levels 0 and the top; sample: one board and one level
// per knob, picked from the seed (the clock's unless given; the run prints
// it, so a failure can be replayed with --seed).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "host.h"
#include "ioctl_fuzz.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"
#include "requests.h"
#include "module.h"
#include "nVOKAL.h"
#include "pci_bus.h"
#include "sweep_host.h"

namespace {

using Setter = std::function<void(sim::Module&, bool on)>;

constexpr std::int32_t kNone = 0; // the knob changes no answer of that step

constexpr std::int32_t code(std::uint32_t value) {
    return static_cast<std::int32_t>(value);
}

// A request whose answer a knob decides, by name: see request() below.
enum class Operation {
    None,
    ReadSignature,      // arm_read of the bridge signature ("Brixel", register 0)
    ReadIOPortStatus,   // arm_read of the IO port's first register ("IOPort2RegMap")
    FlushManufacturing, // storageMap_setRaw of the serial number, then storageMap_flush
    ReadFlashWindow,    // deviceWindow_read of 256 bytes of "flashWindow"
    DmaToDevice,        // 64 bytes to the device on channel 1: add, start, stop, clear (the first error)
};

const char* operationName(Operation operation) {
    static const char* const names[] = {"-",
                                        "arm_read Brixel.Signature",
                                        "arm_read IOPort2RegMap",
                                        "storageMap setRaw+flush",
                                        "deviceWindow_read flashWindow",
                                        "DMA to the device, channel 1"};
    return names[static_cast<int>(operation)];
}

struct Knob {
    const char* name;
    const char* block;
    Setter set;
    // Setup: the level whose task meets the fault and its code (level 0: no
    // level meets it; the full reset reaches the top).
    std::uint32_t level;
    std::int32_t setupCode;
    // During operation (at a level that has the request's objects).
    Operation operation = Operation::None;
    std::int32_t operationCode = kNone;
    std::uint32_t operationLevel = 0;
    // False: the level is our reading of the task that first touches the
    // hardware; once built, the sweep reports what it saw instead of failing
    // on another level (the row is then corrected to what the run shows).
    bool settled = true;
    // Only boards whose name begins with this have the hardware: the others
    // expect no change of any answer.
    const char* onlyOn = "";
    // False for what the bridge reports of its own layout (its channel
    // blocks move with it): that changes only across a reset, so the knob is
    // switched on just before the full reset, not during operation.
    bool live = true;
    // The clock's scale for this row (0: the run's). A knob that makes every
    // access of a poll sleep runs slower, so that a loaded machine's
    // stretched sleep is not taken for the hardware's time-out.
    double scale = 0;
    // The code the full reset answers instead when the knob was on during
    // operation at the top level, where the seeds reach what the fault keeps
    // busy (0: the same code).
    std::int32_t setupCodeAfterTop = 0;
};

void knobs(sim::Module& module, const std::function<void(kal::pci::Knobs&)>& change) {
    kal::pci::Knobs k = kal::pci::knobs(module.pciHandle());
    change(k);
    kal::pci::setKnobs(module.pciHandle(), k);
}

// The codes of the setup levels and operations (the driver's names in brackets).
// Any error: the row's level and code are not settled yet; once the level
// is built the sweep prints what it saw, for the table, and requires only
// that setup stopped there with an error.
constexpr std::int32_t kAnyError = INT32_MIN;
constexpr std::int32_t kConfigReadFailed = -51202;                 // the stand-in's failed configuration read
constexpr std::int32_t kSetupTargetReached = -52010;               // tStatus::kSetupTargetReached
constexpr std::int32_t kOutOfMemory = -52000;                      // tStatus::kOutOfMemory
constexpr std::int32_t kNotAccessible = -52006;                    // tStatus::kNotAccessible
constexpr std::int32_t kBridgeSignatureWrong = code(0xBFFA8078);   // kBridgeSignatureWrong
constexpr std::int32_t kFlashWindowUnsupported = code(0xBFFA4086); // kFlashWindowUnsupported
constexpr std::int32_t kFlashPollTimeout = code(0xBFFA4081);       // kFlashPollTimeout
constexpr std::int32_t kFlashWriteVerifyFailed = code(0xBFFA4087); // kFlashWriteVerifyFailed
constexpr std::int32_t kPortCompletionTimeout = code(0xBFFA807D);  // PortAccessor::kCompletionTimeout
constexpr std::int32_t kIOPortNotReady = code(0xBFFA807A);         // IOPort2::kNotReady
constexpr std::int32_t kFpgaLoadTimeout = code(0xBFFA807F);        // FirmwareDownload::kTimeout
constexpr std::int32_t kNisoBoardSignatureWrong = code(0xBFFA467C); // level 6's signature verifier
constexpr std::int32_t kLinkStateTimeout = code(0xBFFA4678);        // level 8's link commands
constexpr std::int32_t kDcBusStartupTimeout = code(0xBFFA4683);     // level 8's DC-bus start-up
constexpr std::int32_t kIsoAccessNotReady = code(0xBFFA4680);       // the windowed accessor's ready poll
constexpr std::int32_t kIsoNoReadResponse = code(0xBFFA4681);       // and its read-response poll
constexpr std::int32_t kRegAccessFailed = code(0xBFFA468B);         // level 11's register-access verifier
constexpr std::int32_t kPllNotLocked = code(0xBFFA467A);            // level 13
constexpr std::int32_t kNo64BitDMA = -52003;                        // level 14 (qeldma::kNo64BitDMA)
constexpr std::int32_t kChannelNotStarted = code(0xBFFA8079);       // the stream's channel-started wait
constexpr std::int32_t kStreamWaitTimeout = code(0xBFFA807C);       // channel-ended and stream-circuit waits
constexpr std::int32_t kCreditsNotStopped = -52007;                 // the credit controller's stop
constexpr std::int32_t kSequenceEngineStillRunning = code(0xBFFA4690);   // level 18
constexpr std::int32_t kSequenceEngineAlreadyRunning = code(0xBFFA4315); // the start of level 18

const std::vector<Knob>& knobTable() {
    static const std::vector<Knob> table = {
        // ---- PCI configuration space and the stand-in's PCI knobs ----
        {"configuration writes fail", "pci-config",
         [](sim::Module& m, bool on) { m.config().failWrites(on); }, 0, kNone},
        {"kernel mapping of BAR 0 refused", "pci (stand-in)",
         [](sim::Module& m, bool on) { knobs(m, [on](kal::pci::Knobs& k) { k.refuseMapping = on; }); }, 3,
         kOutOfMemory},
        {"MSI refused", "pci (stand-in)",
         [](sim::Module& m, bool on) { knobs(m, [on](kal::pci::Knobs& k) { k.refuseMSI = on; }); }, 0, kNone},
        {"64-bit DMA mask refused", "pci (stand-in)",
         [](sim::Module& m, bool on) { knobs(m, [on](kal::pci::Knobs& k) { k.refuse64BitDMA = on; }); }, 0,
         kNone},
        // ---- the bridge ----
        {"dead bridge (every read all ones)", "bridge", [](sim::Module& m, bool on) { m.setDeadBridge(on); },
         3, kNotAccessible, Operation::ReadSignature, kNone, 3},
        {"bridge signature wrong", "bridge-id",
         [](sim::Module& m, bool on) {
             m.bridgeRegisters().setSignature(on ? 0x12345678u : sim::BridgeRegisters::kSignature);
         },
         3, kBridgeSignatureWrong},
        {"DMA base all ones (channel blocks outside the BAR)", "bridge-id",
         [](sim::Module& m, bool on) {
             m.bridgeRegisters().setDmaBase(on ? 0xFFFFFFFFu : sim::BridgeRegisters::kDefaultDmaBase);
         },
         3, kNotAccessible, Operation::None, kNone, 0, true, "", false},
        {"DMA base putting channel 1's block past the BAR", "bridge-id",
         [](sim::Module& m, bool on) {
             m.bridgeRegisters().setDmaBase(on ? static_cast<std::uint32_t>(sim::Module::kBar0Size - 0x100)
                                               : sim::BridgeRegisters::kDefaultDmaBase);
         },
         3, kNotAccessible, Operation::None, kNone, 0, true, "", false},
        {"no 64-bit DMA capability", "bridge-id",
         [](sim::Module& m, bool on) {
             m.bridgeRegisters().setCoreDescription(on ? sim::BridgeRegisters::kDefaultCoreDescription &
                                                             ~(1u << 5)
                                                       : sim::BridgeRegisters::kDefaultCoreDescription);
         },
         14, kNo64BitDMA},
        {"configuration-port window not 4 KiB", "cpw-base-size",
         [](sim::Module& m, bool on) {
             m.bridge().setReportedWindowLog2(on ? 11 : sim::BridgeCore::kWindowLog2);
         },
         3, kFlashWindowUnsupported},
        {"switched-BIM port commands never complete", "switched-bim",
         [](sim::Module& m, bool on) { m.switchedBim().setCompletion(!on); }, 4, kPortCompletionTimeout,
         Operation::ReadIOPortStatus, kPortCompletionTimeout, 3},
        {"IO port never ready", "switched-bim port 0",
         [](sim::Module& m, bool on) { m.switchedBim().setIOPortNeverReady(on); }, 4, kIOPortNotReady},
        // ---- the serial flash ----
        // A sector read waits for the busy bit too (the flash ignores reads
        // while busy): level 4's read of the "Manufacturing" map times out.
        {"flash stuck busy", "serial-flash", [](sim::Module& m, bool on) { m.flash().setStuckBusy(on); }, 4,
         kFlashPollTimeout, Operation::FlushManufacturing, kFlashPollTimeout, 3},
        {"flash writes ignored", "serial-flash",
         [](sim::Module& m, bool on) { m.flash().setWritesIgnored(on); }, 0, kNone,
         Operation::FlushManufacturing, kFlashWriteVerifyFailed, 3},
        // An hour: no stall of the process (the clock runs a hundred times
        // faster) lets the poll see it end. Cleared, the erase running ends.
        {"flash erase slower than the poll limit", "serial-flash",
         [](sim::Module& m, bool on) {
             m.flash().setBusyTimes(on ? 3600ull * 1000000000ull : sim::SerialFlash::kDefaultEraseNs,
                                    sim::SerialFlash::kDefaultProgramNs,
                                    sim::SerialFlash::kDefaultStatusWriteNs);
             if (!on) {
                 m.flash().setStuckBusy(false);
             }
         },
         0, kNone, Operation::FlushManufacturing, kFlashPollTimeout, 3},
        {"flash block protection locked", "serial-flash",
         [](sim::Module& m, bool on) {
             m.flash().setStatus(on ? sim::SerialFlash::kBlockProtection |
                                          sim::SerialFlash::kBlockProtectionLock
                                    : sim::SerialFlash::kBlockProtection);
         },
         // The lock holds only while the write-protect pin is asserted: the driver releases it to write.
         0, kNone, Operation::FlushManufacturing, kNone, 3},
        // ---- the FPGA loader ----
        {"FPGA loader never ready", "fpga-loading",
         [](sim::Module& m, bool on) { m.bridgeRegisters().fpgaLoading().setReadyNever(on); }, 4,
         kFpgaLoadTimeout},
        {"FPGA loader never done", "fpga-loading",
         [](sim::Module& m, bool on) { m.bridgeRegisters().fpgaLoading().setDoneNever(on); }, 4,
         kFpgaLoadTimeout},
        {"FPGA image CRC taken as wrong", "fpga-loading",
         [](sim::Module& m, bool on) { m.bridgeRegisters().fpgaLoading().setWrongCrc(on); }, 6,
         kNisoBoardSignatureWrong},
        {"FPGA loader status reading done at once", "fpga-loading",
         [](sim::Module& m, bool on) {
             m.bridgeRegisters().fpgaLoading().setStatusBits(on ? sim::FpgaLoader::kDone : 0);
         },
         // The load itself runs at memory speed: the image is complete when
         // the early done is read, and the FPGA works.
         0, kNone},
        // ---- the isolation link ----
        // Well within the accessor's polls (each gives the link half a
        // second; the ready poll reads once a millisecond), at a clock only
        // twice as fast: each of the thousand accesses of a reset sleeps, and
        // a loaded machine's stall of a quarter second must not pass for the
        // link's time-out.
        {"isolation link slow (ready and answers after 2 status reads)", "isolation-link",
         [](sim::Module& m, bool on) { m.isolationLink().setSlow(on ? 2 : 0, on ? 2 : 0); }, 0, kNone,
         Operation::None, kNone, 0, true, "", true, 2},
        // Level 11 is the first to read the isolated FPGA through the link
        // (after the link's own status, whose error bit it checks first).
        {"isolation link never ready", "isolation-link",
         [](sim::Module& m, bool on) { m.isolationLink().setNeverReady(on); }, 11, kIsoAccessNotReady},
        {"isolation link never answers a read", "isolation-link",
         [](sim::Module& m, bool on) { m.isolationLink().setNeverAnswers(on); }, 11, kIsoNoReadResponse},
        {"isolation link error bit", "isolation-link",
         [](sim::Module& m, bool on) { m.isolationLink().setError(on); }, 11, kRegAccessFailed},
        {"isolation link state never follows a command", "iso-comm",
         [](sim::Module& m, bool on) { m.isoComm().setLinkNeverAnswers(on); }, 8, kLinkStateTimeout},
        {"isolated DC bus never starts", "iso-comm",
         [](sim::Module& m, bool on) { m.isoComm().setDcBusNeverStarts(on); }, 8, kDcBusStartupTimeout},
        // ---- the sequencer side ----
        {"PLL never locks", "adf4002",
         [](sim::Module& m, bool on) { m.sequencerSide()->adf4002().setNeverLocks(on); }, 13, kPllNotLocked},
        {"sequencer programs never end", "sequencer",
         [](sim::Module& m, bool on) { m.sequencerSide()->sequencer().setProgramsNeverEnd(on); }, 18,
         kSequenceEngineStillRunning, Operation::None, kNone, 0, true, "", true, 0,
         // The seed of wexmoor_startSequenceEngine at 19 leaves a program running
         // that the reset's cleanup cannot stop: level 18's start finds it.
         kSequenceEngineAlreadyRunning},
        // ---- the DMA engines ----
        // Level 18 streams the start-up program on channel 1 (host to device).
        {"DMA channel never starts", "dma-channel-1",
         [](sim::Module& m, bool on) { m.dma(1).setNeverStarts(on); }, 18, kChannelNotStarted,
         Operation::DmaToDevice, kChannelNotStarted, 14},
        {"DMA channel never ends", "dma-channel-1",
         [](sim::Module& m, bool on) { m.dma(1).setNeverEnds(on); }, 18, kStreamWaitTimeout,
         Operation::DmaToDevice, kStreamWaitTimeout, 14},
        {"stream circuit never enables", "dma-channel-1",
         [](sim::Module& m, bool on) { m.dma(1).setStreamNeverEnables(on); }, 18, kStreamWaitTimeout,
         Operation::DmaToDevice, kStreamWaitTimeout, 14},
        {"stream circuit never resets", "dma-channel-1",
         [](sim::Module& m, bool on) { m.dma(1).setStreamNeverResets(on); }, 18, kStreamWaitTimeout,
         Operation::DmaToDevice, kStreamWaitTimeout, 14},
        // Only Solstra's channel 1 has a credit controller.
        {"credits never stop", "dma-channel-1",
         [](sim::Module& m, bool on) { m.dma(1).setCreditsNeverStop(on); }, 18, kCreditsNotStopped,
         Operation::DmaToDevice, kCreditsNotStopped, 14, true, "solstra"},
    };
    return table;
}

// ---- options and reports ---------------------------------------------------------------

std::string onlyBoard;
std::string onlyKnob;
double scale = 100.0;
enum class Levels { All, Ends, Sample };
Levels levelChoice = Levels::All;
std::uint64_t seed = 0;
unsigned failures = 0;

void fail(const std::string& what) {
    ++failures;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

// Ends the process when one step takes more than three minutes of real time (a loaded machine running a
// sanitizer build).
class Watchdog {
public:
    Watchdog() : thread_([this] { run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard g(lock_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void arm(const std::string& what) {
        std::lock_guard g(lock_);
        what_ = what;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(180);
        armed_ = true;
    }
    void disarm() {
        std::lock_guard g(lock_);
        armed_ = false;
    }

private:
    void run() {
        std::unique_lock g(lock_);
        while (!done_) {
            wake_.wait_for(g, std::chrono::milliseconds(200));
            if (armed_ && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "FAILED: hang: %s took more than three minutes\n", what_.c_str());
                std::_Exit(2);
            }
        }
    }
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;
    bool armed_ = false;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

Watchdog* watchdog = nullptr;

// Runs a step under the watchdog and returns the stand-in time it took (ns).
template <class Step> std::uint64_t timed(const std::string& what, Step step) {
    watchdog->arm(what);
    const std::uint64_t before = nVOKAL1_getMonotonicCounter();
    step();
    const std::uint64_t after = nVOKAL1_getMonotonicCounter();
    watchdog->disarm();
    return after - before;
}

// A step may take this much stand-in time: the longest poll of the product
// is the 5 s wait of the board start-up, the flash's 30 ms per poll and a
// reset runs a few of them; the rest is the work of a step, which the faster
// clock multiplies (a sanitizer build's flash writes take a second of real
// time).
constexpr std::uint64_t kWaitBoundNs = 600ull * 1000 * 1000 * 1000;
// Plus twenty clean full resets as this build and machine run them (measured
// at start): the work of a step, which the faster clock multiplies.
std::uint64_t stepBoundNs = kWaitBoundNs;

// The "Manufacturing" map's serial number set to a value (storageMap_setRaw)
// and the map flushed; getRaw in place of the set reads it.
std::int32_t serialNumber(int handle, std::uint32_t requestCode, std::uint32_t& serial) {
    constexpr const char* kName = "Manufacturing_Ver1.0.0d1";
    auto in = named<kelvo_storageMap_setRaw_in>(kName);
    in.fieldId = 12; // the serial number
    in.elementCount = 1;
    in.buffer = address(&serial);
    in.elementSize = 4;
    const std::int32_t status = ask(handle, requestCode, in);
    if (status != 0 || requestCode == KELVO_IOCTL_storageMap_getRaw) {
        return status;
    }
    return ask(handle, KELVO_IOCTL_storageMap_flush, named<kelvo_storageMap_flush_in>(kName));
}

std::int32_t request(int handle, Operation operation) {
    switch (operation) {
    case Operation::None:
        return 0;
    case Operation::ReadSignature:
    case Operation::ReadIOPortStatus: {
        const bool signature = operation == Operation::ReadSignature;
        auto in = named<kelvo_arm_read_in>(signature ? "Brixel_Ver2.3.0f7" : "IOPort2RegMap_Ver2.3.0f7");
        // The signature (read-only, 32 bits), or bit 0 of the IO port's control and status.
        in.fieldId = signature ? 0x40000000u : 0x00000000u;
        return ask<kelvo_arm_read_out>(handle, KELVO_IOCTL_arm_read, in);
    }
    case Operation::FlushManufacturing: {
        std::uint32_t serial = 0;
        const std::int32_t got = serialNumber(handle, KELVO_IOCTL_storageMap_getRaw, serial);
        serial ^= 1; // a change, so the flush writes
        return got != 0 ? got : serialNumber(handle, KELVO_IOCTL_storageMap_setRaw, serial);
    }
    case Operation::ReadFlashWindow: {
        std::vector<std::uint8_t> bytes(256);
        auto in = named<kelvo_deviceWindow_read_in>("flashWindow");
        in.size = bytes.size();
        in.buffer = address(bytes.data());
        return ask(handle, KELVO_IOCTL_deviceWindow_read, in);
    }
    case Operation::DmaToDevice: {
        // Zero words (the sequencer takes them as no-ops) in a page of the
        // client's that the kernel layer may lock.
        const std::unique_ptr<std::uint8_t, void (*)(void*)> page(
            static_cast<std::uint8_t*>(std::aligned_alloc(4096, 4096)), std::free);
        std::memset(page.get(), 0, 4096);
        kal::usermem::Scope scope;
        scope.add(page.get(), 4096);
        std::int32_t first =
            ask(handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
                kelvo_brixelTools_addTransferToDevice_in{1, 0, address(page.get()), 64, 1, 0});
        const auto keep = [&first](std::int32_t status) { first = first != 0 ? first : status; };
        if (first == 0) {
            keep(ask(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{1, 0, {}, 0}));
            keep(ask(handle, KELVO_IOCTL_brixelTools_stopDMA, kelvo_brixelTools_stopDMA_in{1, 0}));
        }
        keep(ask(handle, KELVO_IOCTL_brixelTools_clearTransfers, kelvo_brixelTools_clearTransfers_in{1, 0}));
        scope.clear();
        return first;
    }
    }
    return 0;
}

std::string hex(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), value < 0 && value > -1000000 ? "%d" : "0x%08X",
                  value < 0 && value > -1000000 ? value : static_cast<int>(value));
    return text;
}

// The answer of a full reset that nothing stops: success at the complete
// level, else the code of the first level not built yet.
std::int32_t cleanResetStatus;

struct RowResult {
    std::string verdict = "ok";
    std::int32_t setupStatus = 0;
    std::int64_t setupLevel = 0;
    std::int32_t operationStatus = 0;
    std::uint64_t longestNs = 0;
    // Fails the row unless ok.
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
};

// One knob on one board: on at each level, the seeds of every code, a full
// reset into it, then cleared and recovered.
RowResult sweepKnob(unsigned board, unsigned row, const Knob& knob, std::uint32_t top) {
    RowResult result;
    const std::string where = kelvo_fuzz::boards()[board] + ": " + knob.name;
    const std::shared_ptr<sim::Module> module =
        kelvo_host::module(static_cast<unsigned>(kelvo_fuzz::deviceIndex(board)));
    std::optional<kal::clock::ScopedScale> slower;
    if (knob.scale > 0 && knob.scale < scale) {
        slower.emplace(knob.scale);
    }
    const bool present = kelvo_fuzz::boards()[board].starts_with(knob.onlyOn);
    const bool meets = present && knob.level != 0 && knob.level <= top;
    const std::int32_t operationCode = present ? knob.operationCode : kNone;
    std::vector<std::uint32_t> levels;
    for (std::uint32_t level = 0; level <= top; ++level) {
        const bool ends = levelChoice == Levels::Ends && (level == 0 || level == top);
        const bool sampled = levelChoice == Levels::Sample && level == (seed + row * 7) % (top + 1);
        if (levelChoice == Levels::All || ends || sampled) {
            levels.push_back(level);
        }
    }
    for (const std::uint32_t level : levels) {
        const std::string at = where + " (on at level " + std::to_string(level) + ")";
        kelvo_fuzz::resetDevice(board, level);
        const kal::live::Counts before = kal::live::now();
        if (knob.live) {
            knob.set(*module, true);
        }
        // During operation: every code's seed, then the knob's own request.
        std::uint64_t ns = timed(at + ", seeds", [&] {
            for (unsigned index = 0; index < kelvo_fuzz::codeCount(); ++index) {
                if (kelvo_fuzz::code(index) != KELVO_IOCTL_kdut_reset) {
                    const std::vector<std::uint8_t> seed = kelvo_fuzz::seedForCode(board, index);
                    kelvo_fuzz::runInput(seed.data(), seed.size());
                }
            }
        });
        result.longestNs = std::max(result.longestNs, ns);
        // The named requests of the table on real names (the seeds use the
        // first registered name for every code): any answer but a hang.
        for (const Operation other :
             {Operation::ReadSignature, Operation::ReadIOPortStatus, Operation::FlushManufacturing,
              Operation::ReadFlashWindow, Operation::DmaToDevice}) {
            if (other != knob.operation) {
                ns = timed(at + ", " + operationName(other),
                           [&] { request(kelvo_fuzz::firstHandle(board), other); });
                result.longestNs = std::max(result.longestNs, ns);
            }
        }
        if (knob.operation != Operation::None && level >= knob.operationLevel && knob.operationLevel != 0) {
            std::int32_t status = 0;
            const std::vector<std::uint8_t> stored = module->flash().contents();
            ns = timed(at + ", " + operationName(knob.operation),
                       [&] { status = request(kelvo_fuzz::firstHandle(board), knob.operation); });
            result.longestNs = std::max(result.longestNs, ns);
            result.operationStatus = status;
            result.check(status == operationCode, at + ": " + operationName(knob.operation) + " answered " +
                                                      hex(status) + ", expected " + hex(operationCode));
            if (knob.operation == Operation::FlushManufacturing && status != 0) {
                // A failed write may have left the map's sector erased (as a
                // power loss would): once the flash works, the same flush
                // writes it again from the map's copy, and the levels that
                // read the map (the firmware checks of level 4) find it whole.
                // Here it writes the serial number the flash held: the flash
                // then holds again what it held before, byte for byte.
                knob.set(*module, false);
                std::uint32_t serial = 0;
                std::memcpy(&serial, stored.data() + 0x8000 + 12, sizeof(serial));
                const std::int32_t again =
                    serialNumber(kelvo_fuzz::firstHandle(board), KELVO_IOCTL_storageMap_setRaw, serial);
                result.check(again == 0, at + ": the flush once the flash works answered " + hex(again));
                const std::vector<std::uint8_t> now = module->flash().contents();
                const auto differs = std::mismatch(now.begin(), now.end(), stored.begin()).first;
                result.check(differs == now.end(),
                             at + ": the flash differs at byte " + std::to_string(differs - now.begin()));
                if (differs != now.end()) {
                    module->flash().load(stored);
                }
                knob.set(*module, true);
            }
        }
        if (!knob.live) {
            knob.set(*module, true);
        }
        // A full reset into the fault.
        std::int32_t status = 0;
        ns = timed(at + ", reset",
                   [&] { status = kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE); });
        result.longestNs = std::max(result.longestNs, ns);
        const std::int64_t reached = kelvo_fuzz::setupLevel(board);
        result.setupStatus = status;
        result.setupLevel = reached;
        const bool settled = knob.settled && knob.setupCode != kAnyError;
        const std::int32_t setupCode =
            level == top && knob.setupCodeAfterTop != 0 ? knob.setupCodeAfterTop : knob.setupCode;
        const std::int32_t expectedStatus = meets ? setupCode : cleanResetStatus;
        const std::int64_t expectedLevel = meets ? knob.level - 1 : top;
        if (meets && !settled) {
            // Setup must stop with an error at or below the row's level.
            result.check(status < 0 && status != cleanResetStatus && reached >= 0 && reached < knob.level,
                         at + ": the reset answered " + hex(status) + " at level " + std::to_string(reached) +
                             ", expected an error below level " + std::to_string(knob.level));
        } else {
            result.check(status == expectedStatus && reached == expectedLevel,
                         at + ": the reset answered " + hex(status) + " at level " + std::to_string(reached) +
                             ", expected " + hex(expectedStatus) + " at level " +
                             std::to_string(expectedLevel));
        }
        // Cleared: nothing left behind, and the device comes back.
        knob.set(*module, false);
        const std::int32_t back = kelvo_fuzz::resetDevice(board, level);
        result.checkNoLeak(at, before);
        // (At the top level that reset reached as far as a full one: it
        // answers success, or -52010 below the complete level.)
        const bool backAtTop = back == cleanResetStatus || back == kSetupTargetReached;
        const std::int32_t again = level != top ? kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE)
                                   : backAtTop  ? cleanResetStatus
                                                : back;
        result.check(again == cleanResetStatus && kelvo_fuzz::setupLevel(board) == top,
                     at + ": did not recover: the reset answered " + hex(again));
        result.check(result.longestNs <= stepBoundNs, at + ": a step took " +
                                                          std::to_string(result.longestNs / 1000000) +
                                                          " ms of stand-in time");
    }
    if (!meets && present && knob.level != 0 && result.verdict == "ok") {
        result.verdict = "pending (level " + std::to_string(knob.level) + ")";
    } else if (meets && !(knob.settled && knob.setupCode != kAnyError) && result.verdict == "ok") {
        result.verdict = "ok, to settle: seen " + hex(result.setupStatus) + " at level " +
                         std::to_string(result.setupLevel);
    }
    return result;
}

// Knobs of what the driver reads once, when a module is added (its PCI
// configuration space, the bridge's vendor capabilities): set before the
// addition of a second module of the board. The addition answers the row's
// result (a device index, or a code), the device stands at the row's level;
// once removed nothing is left, and a module added without the knob
// reaches the top.
struct AdditionKnob {
    const char* name;
    const char* block;
    std::function<void(sim::Module&)> set;
    bool added;             // the addition succeeds
    std::int32_t code;      // else its code
    std::int64_t level;     // the added device's setup level (-1: the top)
    bool geographicAddress; // the "pxiGeographicAddress" property holds the slot
};

const std::vector<AdditionKnob>& additionTable() {
    static const std::vector<AdditionKnob> table = {
        {"every configuration read fails", "pci-config",
         [](sim::Module& m) { m.config().failAllReads(true); }, false, kAnyError, 0, false},
        {"the PCI Express capability's reads fail", "pci-config",
         [](sim::Module& m) { m.config().failReadsAt(sim::PciConfigSpace::kPcieOffset); }, false,
         kConfigReadFailed, 0, false},
        {"no PCI Express capability", "pci-config", [](sim::Module& m) { m.config().removePcieCapability(); },
         true, 0, -1, true},
        {"an endless capability list", "pci-config",
         [](sim::Module& m) { m.config().makeCapabilityListCircular(); }, true, 0, -1, true},
        {"no capability list", "pci-config", [](sim::Module& m) { m.config().setCapabilityListBit(false); },
         true, 0, -1, true},
        {"a link of width 0", "pci-config",
         [](sim::Module& m) {
             m.config().setLink({2, 4, 0, 0});
         },
         true, 0, -1, true},
        {"no vendor capabilities", "bridge config space",
         [](sim::Module& m) { m.bridge().setCapabilities({}, 0); }, true, 0, -1, false},
        // Nothing to read: the capability keeps its all-ones value, without an error.
        {"the geographic register in no space", "bridge config space",
         [](sim::Module& m) {
             sim::GeographicRegister none;
             none.space = 0;
             m.bridge().setGeographicRegister(none);
         },
         true, 0, -1, true},
        {"a flipped bit in the stored serial number", "serial-flash",
         [](sim::Module& m) { m.flash().setReadBitFlip(0, 0x01); }, true, 0, -1, true},
        // Level 14 cannot set a DMA mask: the device stays below it.
        {"every DMA mask refused", "pci (stand-in)",
         [](sim::Module& m) { knobs(m, [](kal::pci::Knobs& k) { k.refuseDMA = true; }); }, true, 0, 13, true},
    };
    return table;
}

RowResult additionKnob(unsigned board, const AdditionKnob& knob, std::uint32_t top) {
    RowResult result;
    const std::string& name = kelvo_fuzz::boards()[board];
    const std::string where = name + ": added with " + knob.name;
    const kal::live::Counts before = kal::live::now();
    int index = -1;
    result.longestNs = timed(where, [&] { index = kelvo_host::addModule(name, knob.set); });
    result.setupStatus = index < 0 ? index : 0;
    result.setupLevel = 0;
    const bool codeMatches = knob.code == kAnyError ? index < 0 : index == knob.code;
    result.check((index >= 0) == knob.added && (knob.added || codeMatches),
                 where + ": the addition answered " + std::to_string(index));
    if (index >= 0) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        kelvo_status_record in{};
        kelvo_kelvo_getSetupLevel_out out{};
        kelvo_ioctl_header header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0};
        result.setupLevel = handle >= 0 && kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header) == 0
                                ? static_cast<std::int64_t>(out.setupLevel)
                                : -1;
        kelvo_close(handle);
        const std::int64_t expected = knob.level < 0 ? top : knob.level;
        result.check(result.setupLevel == expected,
                     where + ": the device stands at level " + std::to_string(result.setupLevel));
        std::uint32_t slot = 0;
        const bool present =
            kelvo_property_read(static_cast<unsigned>(index), nullptr, "pxiGeographicAddress", &slot,
                                sizeof(slot)) == static_cast<int>(sizeof(slot));
        result.check(present == knob.geographicAddress,
                     where + ": the geographic address is " + (present ? "there" : "missing"));
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

// Surprise removal: the bridge goes dead (every read all ones, the
// interrupt status too) with an interrupt pending, and the module is removed
// and a new one added; nothing is left behind and the new one reaches the top.
RowResult surpriseRemoval(unsigned board, std::uint32_t top) {
    RowResult result;
    const std::string where = kelvo_fuzz::boards()[board] + ": surprise removal";
    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
    const kal::live::Counts before = kal::live::now();
    const std::shared_ptr<sim::Module> module =
        kelvo_host::module(static_cast<unsigned>(kelvo_fuzz::deviceIndex(board)));
    module->setDeadBridge(true);
    module->bridge().interrupts().fire(0);
    // The engine's event: remove the board's module, add a fresh one, open its handles.
    const std::vector<std::uint8_t> removal = {15, static_cast<std::uint8_t>(board), 0, 3};
    result.longestNs = timed(where, [&] { kelvo_fuzz::runInput(removal.data(), removal.size()); });
    result.setupLevel = kelvo_fuzz::setupLevel(board);
    result.check(result.setupLevel == top,
                 where + ": the new module reached level " + std::to_string(result.setupLevel));
    // Compared in the same state: after a reset (the addition's start also
    // fills the flash window's sector cache, which a reset starts empty).
    kelvo_fuzz::resetDevice(board, KELVO_SETUP_LEVEL_COMPLETE);
    result.checkNoLeak(where, before);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    bool seeded = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--board") {
            onlyBoard = argv[i + 1];
        } else if (option == "--knob") {
            onlyKnob = argv[i + 1];
        } else if (option == "--scale") {
            scale = std::strtod(argv[i + 1], nullptr);
        } else if (option == "--levels") {
            const std::string choice = argv[i + 1];
            levelChoice = choice == "ends" ? Levels::Ends : choice == "sample" ? Levels::Sample : Levels::All;
        } else if (option == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
            seeded = true;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows as it goes, in a log too
    Watchdog dog;
    watchdog = &dog;
    kal::clock::ScopedScale fast(scale > 0 ? scale : 1.0);
    kelvo_fuzz::Options options;
    options.eventSpacing = 1; // only the surprise removal's input holds an event
    const std::uint32_t top = kelvo_sweep::startOnProductLevels(options);
    if (!seeded) {
        const char* fixed = std::getenv("KELVO_SWEEP_SEED"); // a mutation run repeats one sample
        seed = fixed != nullptr
                   ? std::strtoull(fixed, nullptr, 10)
                   : static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) %
                         1000003;
    }
    const std::uint64_t cleanResetNs = timed("a clean full reset", [] {
        cleanResetStatus = kelvo_fuzz::resetDevice(0, KELVO_SETUP_LEVEL_COMPLETE);
    });
    stepBoundNs = kWaitBoundNs + 20 * cleanResetNs;
    std::printf("hw_fault_sweep: top level %u (a clean full reset answers %s), clock x%g, seed %llu\n", top,
                hex(cleanResetStatus).c_str(), scale, static_cast<unsigned long long>(seed));
    std::printf(
        "| board | knob | block | setup: level, code (seen) | operation: code (seen) | longest step | "
        "verdict |\n|---|---|---|---|---|---|---|\n");
    for (unsigned board = 0; board < kelvo_fuzz::boards().size(); ++board) {
        const std::string& name = kelvo_fuzz::boards()[board];
        if (!onlyBoard.empty() && name != onlyBoard) {
            continue;
        }
        if (onlyBoard.empty() && levelChoice == Levels::Sample &&
            board != seed % kelvo_fuzz::boards().size()) {
            continue;
        }
        for (unsigned row = 0; row < knobTable().size(); ++row) {
            const Knob& knob = knobTable()[row];
            if (!onlyKnob.empty() && std::string(knob.name).find(onlyKnob) == std::string::npos) {
                continue;
            }
            const RowResult r = sweepKnob(board, row, knob, top);
            const bool present = name.starts_with(knob.onlyOn);
            const std::string setup =
                knob.level == 0 || !present
                    ? std::string("none")
                    : std::to_string(knob.level) + ", " +
                          (knob.setupCode == kAnyError ? std::string("an error") : hex(knob.setupCode));
            const std::string operation = knob.operation == Operation::None
                                              ? std::string("-")
                                              : std::string(operationName(knob.operation)) + ": " +
                                                    hex(present ? knob.operationCode : kNone) + " (" +
                                                    hex(r.operationStatus) + ")";
            std::printf("| %s | %s | %s | %s (%s at %lld) | %s | %.1f ms | %s |\n", name.c_str(), knob.name,
                        knob.block, setup.c_str(), hex(r.setupStatus).c_str(),
                        static_cast<long long>(r.setupLevel), operation.c_str(), r.longestNs / 1e6,
                        r.verdict.c_str());
            std::fflush(stdout);
        }
        for (const AdditionKnob& knob : additionTable()) {
            if (!onlyKnob.empty() && std::string(knob.name).find(onlyKnob) == std::string::npos) {
                continue;
            }
            const RowResult r = additionKnob(board, knob, top);
            std::printf(
                "| %s | %s (at the addition) | %s | added: %s, level %s%s (%s, %lld) | - | %.1f ms | %s |\n",
                name.c_str(), knob.name, knob.block, knob.added ? "yes" : "no",
                knob.added ? (knob.level < 0 ? "top" : std::to_string(knob.level).c_str()) : "-",
                knob.geographicAddress ? "" : ", no geographic address", hex(r.setupStatus).c_str(),
                static_cast<long long>(r.setupLevel), r.longestNs / 1e6, r.verdict.c_str());
        }
        if (onlyKnob.empty() || std::string("surprise removal").find(onlyKnob) != std::string::npos) {
            const RowResult r = surpriseRemoval(board, top);
            std::printf("| %s | surprise removal (interrupt status all ones) | bridge | removed, a new "
                        "module at %lld "
                        "| - | %.1f ms | %s |\n",
                        name.c_str(), static_cast<long long>(r.setupLevel), r.longestNs / 1e6,
                        r.verdict.c_str());
        }
    }
    std::printf("hw_fault_sweep: %llu requests\n",
                static_cast<unsigned long long>(kelvo_fuzz::counters().requests));
    kelvo_fuzz::stop();
    if (kal::memory::liveAllocations() != 0) {
        fail("allocations left after the host stopped");
    }
    if (!kelvo_host::faults().empty()) {
        fail("the host saw a driver fault");
    }
    std::printf("hw_fault_sweep: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
