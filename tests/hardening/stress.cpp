// The threaded stress run: two modules at level 19 over the product's own
// levels, 16 threads issuing random valid requests (register access by name,
// storage maps and the flash window, routing, DMA streams and waits, the
// sequencer, the setup level) while a thread per module resets it to random
// levels and another suspends its power and restores it, or holds its I/O
// and resumes it. Every answer is checked
// against what that request may answer; what a read returns is checked
// against what the hardware holds.
//
//   kelvo_stress [--requests N] [--seconds S] [--seed X]
//
// Each worker stops after N requests (default 2000) or S seconds of real
// time, whichever comes first (--seconds lifts the request limit: a
// --requests after it sets one again). The run prints the request rate.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "core/kelvo_device.h"
#include "host.h"
#include "kelvo/ioctl.h"
#include "kelvo/product_ids.h"
#include "kelvo_host.h"
#include "requests.h"
#include "platform/device_core.h"
#include "sim.h"

namespace {

using kelvo_driver::nVOAPAL000::kPnPStateIOSuspended;
using kelvo_driver::nVOAPAL000::kPnPStateReady;
using kelvo_driver::nVOAPAL000::kPnPStateSleep;
using kelvo_driver::nVOAPAL000::kSuspendReasonReset;
using nVOAPALS100::tStatus;

constexpr unsigned kModules = 2;
constexpr unsigned kWorkers = 16;
constexpr std::int32_t kInvalidated = static_cast<std::int32_t>(0xBFFA9179u);
constexpr std::int32_t kNotReserved = static_cast<std::int32_t>(0xBFFA431Au);
constexpr std::int32_t kReservedByOther = static_cast<std::int32_t>(0xBFFA4319u);
constexpr std::int32_t kRouteConflict = -89137;
constexpr std::uint32_t kSerialNumber = 0x01F2A3B4u; // of the default flash image
constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";

// The stand-in clock runs this many times faster than real time: the
// settles of a reset to level 19 cost little real time.
constexpr double kClockScale = 100;
// A measurement packet: the sequencer's marker, the packet number and its 64
// general-use registers; a DMA stream receives this many of them.
constexpr std::size_t kPacketWords = 2 + 64;
constexpr std::size_t kPacketBytes = kPacketWords * 4;
constexpr std::size_t kStreamPackets = 3;

std::atomic<unsigned> failures{0};
std::mutex reportLock;

void fail(const std::string& what) {
    std::lock_guard g(reportLock);
    if (failures.fetch_add(1) < 20) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

// What any request may answer while other threads reset, suspend and
// resume: success, the session invalidated by a reset or power-down, the
// level not reached (a reset to a lower level), the gate's wait ended, or
// (a handle opened while power was down) the invalid state of a demoted
// routing session or a refused restore.
bool transient(std::int32_t status) {
    return status == 0 || status == kInvalidated || status == tStatus::kSetupTargetReached ||
           status == tStatus::kTimedOut || status == tStatus::kWaitInterrupted ||
           status == tStatus::kInvalidState;
}

struct Module {
    int index = -1;
    kelvo_driver::KelvoDevice* device = nullptr;
    std::vector<std::uint8_t> flashHead; // the first bytes of the flash window
    std::uint32_t marker = 0;            // of the measurement packets
    std::vector<std::uint32_t> subroutineIds, subroutineAddresses;
};
Module modules[kModules];

std::atomic<bool> stopping{false};
std::atomic<std::uint64_t> requests{0};
std::atomic<std::uint64_t> answered{0}; // with success
std::atomic<std::uint64_t> resets{0};
std::atomic<std::uint64_t> powerCycles{0};
std::atomic<std::uint64_t> suspends{0};
std::atomic<std::uint64_t> streamsChecked{0}; // streams whose packets all came in time

// Each worker's hold on its module's reservation of channel 0 on its current
// handle (one session of a module holds it at a time), and its buffer of the
// DMA stream (lives as long as the run: a stream a reset cut short still has it).
enum class Hold { kUnknown, kHeld, kOther };
Hold holds[kWorkers];
std::vector<std::uint32_t> streamBuffers[kWorkers];

enum Kind {
    ReadSignature,
    ReadSerial,
    ChecksumValid,
    RefreshMap,
    ReadFlash,
    WritePosc,
    Route,
    DmaWait,
    Level,
    DmaStream,
    Sequencer,
    kKinds
};
const char* const kKindNames[kKinds] = {"arm_read",   "storageMap_getRaw", "storageMap_isChecksumValid",
                                        "refresh",    "deviceWindow_read", "storageMap_setRaw",
                                        "routing",    "dma wait",          "getSetupLevel",
                                        "dma stream", "sequencer"};

// Raw access to one byte of "Posc" (field 0, bytes).
std::int32_t poscByte(int handle, bool write, std::uint64_t index, std::uint8_t& value) {
    auto in = named<kelvo_storageMap_setRaw_in>("Posc_Ver1.0.0d0");
    in.firstElement = index;
    in.elementCount = 1;
    in.buffer = address(&value);
    in.elementSize = 1;
    return ask(handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in);
}

// The board's route 3 to 2 (cost 1): calculated, then a random step of its
// life cycle, then destroyed.
std::int32_t route(int handle, std::mt19937_64& random, std::string& wrong) {
    kelvo_route_seed seed{3, 0, 0, {}};
    std::uint32_t destination = 2;
    kelvo_route_possibility found[4]{};
    kelvo_routing_calculateRoute_in in{};
    in.routeOwner = static_cast<std::uint64_t>(handle);
    in.seedBuffer = address(&seed);
    in.seedCount = 1;
    in.destinationBuffer = address(&destination);
    in.destinationCount = 1;
    in.possibilitiesBuffer = address(found);
    in.possibilitiesCapacity = 4;
    kelvo_routing_calculateRoute_out out{};
    const std::int32_t status = ask(handle, KELVO_IOCTL_routing_calculateRoute, in, out);
    if (status != 0) {
        return status;
    }
    if (out.possibilitiesCount != 1 || found[0].destinationTerminalID != 2 || found[0].cost != 1) {
        wrong = "route 3 to 2 not found with cost 1";
        return status;
    }
    const std::uint32_t id = found[0].routeID;
    std::int32_t step = 0;
    if (random() % 2 == 0) {
        kelvo_route_conflict conflicts[4]{};
        step = ask<kelvo_routing_reserveRoute_out>(
            handle, KELVO_IOCTL_routing_reserveRoute,
            kelvo_routing_reserveRoute_in{id, 0, address(conflicts), 4, 0});
        if (step == 0) {
            step = ask(handle, KELVO_IOCTL_routing_programRoute, kelvo_routing_programRoute_in{id, 0});
            const std::int32_t undo =
                ask(handle, KELVO_IOCTL_routing_unprogramRoute, kelvo_routing_unprogramRoute_in{id, 0});
            const std::int32_t release =
                ask(handle, KELVO_IOCTL_routing_unreserveRoute, kelvo_routing_unreserveRoute_in{id, 0});
            step = step != 0 ? step : undo != 0 ? undo : release;
        }
    }
    const std::int32_t destroyed =
        ask(handle, KELVO_IOCTL_routing_destroyRoute, kelvo_routing_destroyRoute_in{id, 0});
    // The route's edges reserved by another thread's route is the one answer
    // of the life cycle beyond the transient ones; the destroy answers only those.
    return step != 0 && !transient(step) && step != kRouteConflict ? step : destroyed;
}

// Reserves channel 0 on the worker's handle unless it knows who holds it:
// the answer, with the hold kept (0xBFFA4319: another session holds it).
std::int32_t reserve(unsigned id, int handle) {
    if (holds[id] != Hold::kUnknown) {
        return 0;
    }
    kelvo_kdut_reserveResources_in in{1, 0, 0};
    kelvo_status_record out{};
    const std::int32_t status = ask(handle, KELVO_IOCTL_kdut_reserveResources, in, out);
    holds[id] = status == 0 ? Hold::kHeld : status == kReservedByOther ? Hold::kOther : Hold::kUnknown;
    return status == kReservedByOther ? 0 : status;
}

std::int32_t dmaStep(int handle, std::uint32_t code, std::uint32_t channel) {
    kelvo_brixelTools_stopDMA_in in{channel, 0};
    kelvo_status_record out{};
    return ask(handle, code, in, out);
}

// The holder of channel 0 streams measurement packets into the worker's
// buffer: add the transfer, start, arm the measure unit once per packet, wait
// (a short time-out), stop, clear. The others' wait answers "not reserved".
std::int32_t dmaStream(unsigned id, int handle, const Module& module, std::string& wrong) {
    const std::int32_t reserved = reserve(id, handle);
    if (reserved != 0 || holds[id] == Hold::kUnknown) {
        return reserved;
    }
    kelvo_brixelTools_waitUntilBytesTransferred_in wait{0, 0, 0, kStreamPackets * kPacketBytes, 20, 0, 0};
    kelvo_brixelTools_waitUntilBytesTransferred_out waited{};
    if (holds[id] == Hold::kOther) {
        wait.timeout = 1;
        const std::int32_t status =
            ask(handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited);
        if (status == 0) {
            wrong = "a wait answered success to a session without the reservation";
        }
        return status == kNotReserved ? 0 : status;
    }
    std::vector<std::uint32_t>& words = streamBuffers[id];
    words.assign(kStreamPackets * kPacketWords, 0xEEEEEEEEu);
    kelvo_brixelTools_addTransferFromDevice_in add{0, 0, address(words.data()), kStreamPackets * kPacketBytes,
                                                   0, 0};
    kelvo_status_record done{};
    std::int32_t status = ask(handle, KELVO_IOCTL_brixelTools_addTransferFromDevice, add, done);
    kelvo_brixelTools_startDMA_in start{0, 0, {}, 0};
    status = status != 0 ? status : ask(handle, KELVO_IOCTL_brixelTools_startDMA, start, done);
    for (std::size_t packet = 0; packet < kStreamPackets && status == 0; ++packet) {
        status = dmaStep(handle, KELVO_IOCTL_measureUnit_arm, 0);
        status = status != 0 ? status : dmaStep(handle, KELVO_IOCTL_measureUnit_reset, 0);
    }
    status =
        status != 0 ? status : ask(handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited);
    if (status == 0 && waited.timedOut == 0) {
        streamsChecked.fetch_add(1, std::memory_order_relaxed);
        // Packets of the module's marker, numbered in turn but for those a
        // full FIFO dropped.
        for (std::size_t packet = 0; packet < kStreamPackets; ++packet) {
            const std::uint32_t* p = words.data() + packet * kPacketWords;
            if (p[0] != module.marker || (packet > 0 && p[1] <= words[(packet - 1) * kPacketWords + 1])) {
                wrong = "packet " + std::to_string(packet) + " received with marker " + std::to_string(p[0]) +
                        ", number " + std::to_string(p[1]);
            }
        }
    }
    if (status == kInvalidated) {
        return status; // the close stops the stream
    }
    const std::int32_t stopped = dmaStep(handle, KELVO_IOCTL_brixelTools_stopDMA, 0);
    const std::int32_t cleared = dmaStep(handle, KELVO_IOCTL_brixelTools_clearTransfers, 0);
    // After a step that failed there may be nothing to stop.
    if (status != 0) {
        return status;
    }
    return stopped != 0 ? stopped : cleared;
}

// The sequencer's reads: the registered subroutines (as at the start), the
// engine's running state, an event latch (the holder of channel 0 only).
std::int32_t sequencer(unsigned id, int handle, const Module& module, std::mt19937_64& random,
                       std::string& wrong) {
    switch (random() % 3) {
    case 0: {
        kelvo_wexmoor_getNumSubroutines_in in{};
        kelvo_wexmoor_getNumSubroutines_out out{};
        const std::int32_t status = ask(handle, KELVO_IOCTL_wexmoor_getNumSubroutines, in, out);
        if (status == 0 && out.subroutineCount != module.subroutineIds.size()) {
            wrong = std::to_string(out.subroutineCount) + " subroutines";
        }
        const std::size_t n = module.subroutineIds.size();
        std::vector<std::uint32_t> ids(n, 0xEEEEEEEEu), addresses(n, 0xEEEEEEEEu);
        kelvo_wexmoor_getSubroutines_in list{address(ids.data()), address(addresses.data()),
                                             static_cast<std::uint32_t>(n), 0};
        kelvo_status_record done{};
        const std::int32_t listed =
            status != 0 ? status : ask(handle, KELVO_IOCTL_wexmoor_getSubroutines, list, done);
        if (listed == 0 && (ids != module.subroutineIds || addresses != module.subroutineAddresses)) {
            wrong = "the subroutine list changed";
        }
        return listed;
    }
    case 1: {
        kelvo_wexmoor_isSequenceEngineRunning_in in{1, 0, 0};
        kelvo_wexmoor_isSequenceEngineRunning_out out{};
        return ask(handle, KELVO_IOCTL_wexmoor_isSequenceEngineRunning, in, out);
    }
    default: {
        const std::int32_t reserved = reserve(id, handle);
        if (reserved != 0 || holds[id] == Hold::kUnknown) {
            return reserved;
        }
        kelvo_triggersAndEvents_checkEventLatch_in in{1, 0x135, 0, 0};
        kelvo_triggersAndEvents_checkEventLatch_out out{};
        const std::int32_t status = ask(handle, KELVO_IOCTL_triggersAndEvents_checkEventLatch, in, out);
        if (holds[id] == Hold::kOther) {
            if (status == 0) {
                wrong = "an event latch read without the reservation";
            }
            return status == kNotReserved ? 0 : status;
        }
        return status;
    }
    }
}

// One request of a kind on a handle (worker id's): its status; wrong says
// what a successful answer got wrong.
std::int32_t issue(Kind kind, unsigned id, int handle, const Module& module, std::mt19937_64& random,
                   std::string& wrong) {
    std::int32_t status = 0;
    switch (kind) {
    case ReadSignature: {
        auto in = named<kelvo_arm_read_in>("Brixel_Ver2.3.0f7");
        in.fieldId = 0x40000000u; // the signature
        kelvo_arm_read_out out{};
        if ((status = ask(handle, KELVO_IOCTL_arm_read, in, out)) == 0 &&
            out.value != KELVO_BRIDGE_SIGNATURE) {
            wrong = "signature read " + std::to_string(out.value);
        }
        return status;
    }
    case ReadSerial: {
        std::uint32_t serial = 0;
        auto in = named<kelvo_storageMap_getRaw_in>(kManufacturing);
        in.fieldId = 12;
        in.elementCount = 1;
        in.buffer = address(&serial);
        in.elementSize = 4;
        if ((status = ask(handle, KELVO_IOCTL_storageMap_getRaw, in)) == 0 && serial != kSerialNumber) {
            wrong = "serial number read " + std::to_string(serial);
        }
        return status;
    }
    case RefreshMap:
        return ask(handle, KELVO_IOCTL_storageMap_refresh,
                   named<kelvo_storageMap_refresh_in>(kManufacturing));
    case ChecksumValid: {
        kelvo_storageMap_isChecksumValid_out out{};
        status = ask(handle, KELVO_IOCTL_storageMap_isChecksumValid,
                     named<kelvo_storageMap_isChecksumValid_in>(kManufacturing), out);
        if (status == 0 && out.valid == 0) {
            wrong = "the default image's checksum reads invalid";
        }
        return status;
    }
    case ReadFlash: {
        std::vector<std::uint8_t> bytes(module.flashHead.size(), 0xEE);
        auto in = named<kelvo_deviceWindow_read_in>("flashWindow");
        in.size = bytes.size();
        in.buffer = address(bytes.data());
        if ((status = ask(handle, KELVO_IOCTL_deviceWindow_read, in)) == 0 && bytes != module.flashHead) {
            wrong = "the flash window read other bytes";
        }
        return status;
    }
    case WritePosc: {
        // The worker's own byte of the map's shared copy: on the same session
        // (no reset between) the read answers what was written.
        std::uint8_t written = static_cast<std::uint8_t>(random()),
                     read = static_cast<std::uint8_t>(~written);
        if ((status = poscByte(handle, true, 1000 + id, written)) != 0) {
            return status;
        }
        if ((status = poscByte(handle, false, 1000 + id, read)) == 0 && read != written) {
            wrong = "wrote " + std::to_string(written) + ", read " + std::to_string(read);
        }
        return status;
    }
    case Route:
        return route(handle, random, wrong);
    case DmaWait: {
        kelvo_brixelTools_waitUntilBytesTransferred_in in{};
        in.channel = static_cast<std::uint32_t>(random() % 2);
        in.byteCount = 16;
        in.timeout = 1;
        status = ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, in);
        // A channel nobody reserved; until the DMA operation bodies are built, -52002.
        return status == kNotReserved || status == tStatus::kNotImplemented ? 0 : status;
    }
    case Level: {
        kelvo_kelvo_getSetupLevel_out out{};
        if ((status = ask(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out)) == 0 &&
            out.setupLevel > KELVO_SETUP_LEVEL_COMPLETE) {
            wrong = "setup level " + std::to_string(out.setupLevel);
        }
        return status;
    }
    case DmaStream:
        return dmaStream(id, handle, module, wrong);
    case Sequencer:
        return sequencer(id, handle, module, random, wrong);
    case kKinds:
        break;
    }
    return 0;
}

// A kind of request. The two that read the flash over the SPI port (a map's
// refresh reads 4 KiB byte by byte) cost a thousand times the others: one
// request in fifty.
Kind pick(std::mt19937_64& random) {
    const std::uint64_t draw = random() % 100;
    if (draw < 2) {
        return draw == 0 ? RefreshMap : ReadFlash;
    }
    static constexpr Kind kCheap[] = {ReadSignature, ReadSerial, ChecksumValid, WritePosc, Route,
                                      DmaWait,       Level,      DmaStream,     Sequencer};
    return kCheap[draw % (sizeof(kCheap) / sizeof(kCheap[0]))];
}

void worker(unsigned id, std::uint64_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed * 1000003u + id);
    const Module& module = modules[id % kModules];
    int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(module.index));
    for (std::uint64_t n = 0; n < count && !stopping.load(); ++n) {
        const Kind kind = pick(random);
        std::string wrong;
        const std::int32_t status = issue(kind, id, handle, module, random, wrong);
        requests.fetch_add(1, std::memory_order_relaxed);
        if (status == 0) {
            answered.fetch_add(1, std::memory_order_relaxed);
        } else if (status == tStatus::kSetupTargetReached) {
            // Below the level the requests fail at once: a moment for the next reset.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (!wrong.empty()) {
            fail(std::string(kKindNames[kind]) + ": " + wrong);
        } else if (!transient(status)) {
            fail(std::string(kKindNames[kind]) + " answered " + std::to_string(status));
        }
        if (status == kInvalidated) {
            kelvo_close(handle);
            handle = kelvo_open("smu_kelvo", static_cast<unsigned>(module.index));
            holds[id] = Hold::kUnknown;
        }
        if (handle < 0) {
            fail("a handle could not be opened again: " + std::to_string(handle));
            return;
        }
    }
    kelvo_close(handle);
}

// The disturbers act once per this many successful requests of the workers
// (each one waits for them), so that requests also run between resets and
// power cycles.
constexpr std::uint64_t kRequestsPerDisturbance = 100;

// False once the run stops.
bool pace(std::uint64_t& last, std::uint64_t spacing = kRequestsPerDisturbance) {
    while (!stopping.load() && answered.load() < last + spacing) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    last = answered.load();
    return !stopping.load();
}

// Resets its module to a random level, mostly the complete one. Below it
// most requests fail at once: the next reset, to the complete level, comes
// after a tenth of the requests.
void resetter(unsigned module, std::uint64_t seed) {
    std::mt19937_64 random(seed ^ (0xA5A5u + module));
    const std::uint32_t levels[] = {19, 19, 19, 16, 3, 0};
    std::uint64_t last = 0;
    std::uint32_t level = KELVO_SETUP_LEVEL_COMPLETE;
    while (pace(last, level < KELVO_SETUP_LEVEL_COMPLETE ? kRequestsPerDisturbance / 10
                                                         : kRequestsPerDisturbance)) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[module].index));
        kelvo_kdut_reset_in in{};
        level = level < KELVO_SETUP_LEVEL_COMPLETE ? KELVO_SETUP_LEVEL_COMPLETE : levels[random() % 6];
        in.setupLevel = level;
        kelvo_kdut_reset_out out{};
        const std::int32_t status = ask(handle, KELVO_IOCTL_kdut_reset, in, out);
        const std::int32_t expected = in.setupLevel == 19 ? 0 : tStatus::kSetupTargetReached;
        // Or a power cycle came between the open and the reset, or its gate wait ended.
        if (status != expected && status != kInvalidated && status != tStatus::kTimedOut &&
            status != tStatus::kWaitInterrupted) {
            fail("a reset to " + std::to_string(in.setupLevel) + " answered " + std::to_string(status));
        }
        if (status != expected) {
            level = 0; // not reset: the complete level next
        }
        kelvo_close(handle);
        resets.fetch_add(1);
    }
}

// Powers its module down and up again (the platform's sleep state), or, in
// turn, holds its I/O for a moment (the requests wait at the gate) and
// resumes it: one thread, as the platform's changes of state come one at a time.
void power(unsigned module) {
    kelvo_driver::KelvoDevice& device = *modules[module].device;
    std::uint64_t last = 0;
    for (bool cycle = true; pace(last); cycle = !cycle) {
        tStatus status;
        if (!cycle) {
            if (!device.commonChangePnPState(0, kPnPStateIOSuspended, kSuspendReasonReset, false, status)) {
                fail("I/O was not suspended: " + std::to_string(status.getCode()));
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (!device.commonChangePnPState(0, kPnPStateReady, kSuspendReasonReset, false, status)) {
                fail("I/O was not resumed: " + std::to_string(status.getCode()));
                return;
            }
            suspends.fetch_add(1);
            continue;
        }
        if (!device.commonChangePnPState(0, kPnPStateSleep, kSuspendReasonReset, false, status) ||
            !device.commonChangePnPState(0, kPnPStateReady, kSuspendReasonReset, false, status)) {
            fail("a power cycle did not complete: " + std::to_string(status.getCode()));
            return;
        }
        powerCycles.fetch_add(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t count = 2000;
    double seconds = 600;
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--requests") {
            count = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--seconds") {
            seconds = std::strtod(argv[i + 1], nullptr);
            count = ~std::uint64_t{0};
        } else if (option == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    std::printf("kelvo_stress: %u threads on %u modules, seed %llu\n", kWorkers, kModules,
                static_cast<unsigned long long>(seed));
    kal::clock::setScale(kClockScale);
    if (kelvo_host_start() != 0) {
        std::fprintf(stderr, "FAILED: the host did not start\n");
        return 1;
    }
    const char* const boards[kModules] = {"solstra", "duskmere-a"};
    for (unsigned m = 0; m < kModules; ++m) {
        modules[m].index = kelvo_host_add_module(boards[m]);
        if (modules[m].index < 0) {
            std::fprintf(stderr, "FAILED: module %s not added\n", boards[m]);
            return 1;
        }
        auto* pci = static_cast<kelvo_driver::nVOAPAL000::tPCIDevice*>(
            kelvo_host::device(static_cast<unsigned>(modules[m].index)));
        modules[m].device = static_cast<kelvo_driver::KelvoDevice*>(pci);
        const std::vector<std::uint8_t> flash = kelvo_host::module(modules[m].index)->flash().contents();
        modules[m].flashHead.assign(flash.begin(), flash.begin() + 256);
        modules[m].marker = kelvo_host::module(modules[m].index)->sequencerSide()->sequencer().marker();
        // The subroutines the setup registered, as every later reset registers them.
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[m].index));
        kelvo_wexmoor_getNumSubroutines_in in{};
        kelvo_wexmoor_getNumSubroutines_out count{};
        kelvo_status_record done{};
        if (ask(handle, KELVO_IOCTL_wexmoor_getNumSubroutines, in, count) != 0 ||
            count.subroutineCount == 0) {
            std::fprintf(stderr, "FAILED: module %s registered no subroutines\n", boards[m]);
            return 1;
        }
        modules[m].subroutineIds.assign(count.subroutineCount, 0);
        modules[m].subroutineAddresses.assign(count.subroutineCount, 0);
        kelvo_wexmoor_getSubroutines_in list{address(modules[m].subroutineIds.data()),
                                             address(modules[m].subroutineAddresses.data()),
                                             count.subroutineCount, 0};
        if (ask(handle, KELVO_IOCTL_wexmoor_getSubroutines, list, done) != 0) {
            std::fprintf(stderr, "FAILED: module %s listed no subroutines\n", boards[m]);
            return 1;
        }
        kelvo_close(handle);
    }
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned id = 0; id < kWorkers; ++id) {
        threads.emplace_back(worker, id, count, seed);
    }
    std::vector<std::thread> disturbers;
    for (unsigned m = 0; m < kModules; ++m) {
        disturbers.emplace_back(resetter, m, seed);
        disturbers.emplace_back(power, m);
    }
    // The workers end by their count; the time bound stops everything.
    std::thread timer([&] {
        while (!stopping.load() &&
               std::chrono::steady_clock::now() - started < std::chrono::duration<double>(seconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stopping.store(true);
    });
    for (std::thread& t : threads) {
        t.join();
    }
    stopping.store(true);
    timer.join();
    for (std::thread& t : disturbers) {
        t.join();
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Afterwards: both modules reach the complete level, and nothing is left once they are gone.
    for (unsigned m = 0; m < kModules; ++m) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[m].index));
        if (ask(handle, KELVO_IOCTL_kdut_reset,
                kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0}) != 0) {
            fail("a module did not reach level 19 after the run");
        }
        kelvo_close(handle);
        if (kelvo_host_remove_module(static_cast<unsigned>(modules[m].index)) != 0) {
            fail("a module could not be removed");
        }
    }
    kelvo_host_stop();
    if (kal::memory::liveAllocations() != 0) {
        fail("allocations left after the host stopped: " + kal::live::describe(kal::live::now()));
    }
    if (!kelvo_host::faults().empty()) {
        fail("the host saw a driver fault: " + kelvo_host::faults().front());
    }
    std::printf(
        "kelvo_stress: %llu requests in %.2f s (%.0f per second), %llu resets, %llu power cycles, %llu "
        "suspends, %llu streams received: %s\n",
        static_cast<unsigned long long>(requests.load()), elapsed, requests.load() / elapsed,
        static_cast<unsigned long long>(resets.load()), static_cast<unsigned long long>(powerCycles.load()),
        static_cast<unsigned long long>(suspends.load()),
        static_cast<unsigned long long>(streamsChecked.load()), failures.load() ? "FAILED" : "passed");
    return failures.load() ? 1 : 0;
}
