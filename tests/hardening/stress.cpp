// The threaded stress run: 16 threads issue random valid requests to two
// modules at level 19 while a thread per module resets it to random levels and
// another powers it down and up or holds its I/O. Every answer is checked
// against what the request may answer, a read against what the hardware holds.
// Beside them, on each of the two, three threads share one handle whose
// cleanup and close a fourth issues while their requests run; on a third
// module, left quiet, two handles race over one DMA channel in rounds, after
// which nothing of theirs is left on a channel.
//
//   kelvo_stress [--requests N] [--seconds S] [--seed X]   (N: 2000, or none
//   with --seconds alone; whichever ends first)
#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/kelvo_device.h"
#include "kelvo/product_ids.h"
#include "platform/device_core.h"
#include "requests.h"
#include "sim/sim.h"

namespace {

using kelvo_driver::nVOAPAL000::kPnPStateIOSuspended;
using kelvo_driver::nVOAPAL000::kPnPStateReady;
using kelvo_driver::nVOAPAL000::kPnPStateSleep;
using kelvo_driver::nVOAPAL000::kSuspendReasonReset;
using nVOAPALS100::tStatus;

constexpr unsigned kModules = 2; // the busy ones; the quiet one is kQuiet
constexpr unsigned kWorkers = 16;
constexpr unsigned kSharers = 3; // per busy module, on one handle
constexpr std::int32_t kRouteConflict = -89137;
constexpr std::uint32_t kSerialNumber = 0x01F2A3B4u; // of the default flash image
// A measurement packet: the sequencer's marker, the packet number and its 64
// general-use registers; a DMA stream receives this many of them.
constexpr std::size_t kPacketWords = 2 + 64;
constexpr std::size_t kStreamPackets = 3;
constexpr std::uint32_t kStreamBytes = kStreamPackets * kPacketWords * 4;

// What any request may answer while others reset, suspend and resume: success,
// the session invalidated, the level not reached, the gate's wait ended, or (a
// handle opened while power was down) a demoted routing session.
bool transient(std::int32_t status) {
    return status == 0 || status == KELVO_STATUS_SESSION_INVALIDATED ||
           status == tStatus::kSetupTargetReached || status == tStatus::kTimedOut ||
           status == tStatus::kWaitInterrupted || status == tStatus::kInvalidState;
}

struct Module {
    int index = -1;
    kelvo_driver::KelvoDevice* device = nullptr;
    std::vector<std::uint8_t> flashHead; // the first bytes of the flash window
    std::uint32_t marker = 0;            // of the measurement packets
    std::vector<std::uint32_t> subroutineIds, subroutineAddresses;
};
Module modules[kModules + 1];
Module& quiet = modules[kModules];

// A worker and its hold on its module's reservation of channel 0 on its
// current handle (one session of a module holds it at a time).
enum class Hold { kUnknown, kHeld, kOther };
struct Worker {
    unsigned id;
    const Module& module;
    std::mt19937_64 random;
    int handle = -1;
    Hold hold = Hold::kUnknown;
    std::string wrong; // what a successful answer got wrong
};
// The workers' DMA stream buffers live as long as the run: a stream a reset cut short still has one.
std::vector<std::uint32_t> streamBuffers[kWorkers];

std::chrono::steady_clock::time_point deadline; // of the workers
std::atomic<bool> stopping{false};              // the disturbers
std::atomic<unsigned> workersLeft{kWorkers};    // the sharers and the racers run as long as the workers
std::atomic<std::uint64_t> requests{0}, answered{0}, resets{0}, powerCycles{0}, streamsChecked{0};
std::atomic<std::uint64_t> sharedRequests{0}, cleanups{0}, closes{0}, rounds{0};

std::int32_t channelStep(Worker& w, std::uint32_t code) {
    return ask(w.handle, code, kelvo_brixelTools_stopDMA_in{0, 0});
}

// Reserves channel 0 unless the worker knows who holds it (another session's
// hold answers 0 too).
std::int32_t reserve(Worker& w) {
    if (w.hold != Hold::kUnknown) {
        return 0;
    }
    const std::int32_t status =
        ask(w.handle, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
    w.hold = status == 0                                ? Hold::kHeld
             : status == KELVO_STATUS_RESERVED_BY_OTHER ? Hold::kOther
                                                        : Hold::kUnknown;
    return status == KELVO_STATUS_RESERVED_BY_OTHER ? 0 : status;
}

// A request of channel 0 that a session without the reservation must hear refused.
std::int32_t refusedToOthers(Worker& w, std::int32_t status, const char* what) {
    if (status == 0) {
        w.wrong = std::string(what) + " answered success to a session without the reservation";
    }
    return status == KELVO_STATUS_CHANNEL_NOT_RESERVED ? 0 : status;
}

// A successful answer must hold what the hardware holds.
std::int32_t expect(Worker& w, std::int32_t status, bool holds, const std::string& what) {
    if (status == 0 && !holds) {
        w.wrong = what;
    }
    return status;
}

std::int32_t readSignature(Worker& w) {
    std::uint64_t value = 0;
    const std::int32_t status = readRegister(w.handle, "Brixel_Ver2.3.0f7", 0x40000000u, &value);
    return expect(w, status, value == KELVO_BRIDGE_SIGNATURE, "signature read " + std::to_string(value));
}

std::int32_t readSerial(Worker& w) {
    std::uint32_t serial = 0;
    const std::int32_t status =
        rawElement(w.handle, KELVO_IOCTL_storageMap_getRaw, kManufacturing, kSerialField, 0, &serial, 4);
    return expect(w, status, serial == kSerialNumber, "serial number read " + std::to_string(serial));
}

std::int32_t checksumValid(Worker& w) {
    kelvo_storageMap_isChecksumValid_out out{};
    const std::int32_t status = ask(w.handle, KELVO_IOCTL_storageMap_isChecksumValid,
                                    named<kelvo_storageMap_isChecksumValid_in>(kManufacturing), out);
    return expect(w, status, out.valid != 0, "the default image's checksum reads invalid");
}

std::int32_t refreshMap(Worker& w) {
    return ask(w.handle, KELVO_IOCTL_storageMap_refresh, named<kelvo_storageMap_refresh_in>(kManufacturing));
}

std::int32_t readFlash(Worker& w) {
    std::vector<std::uint8_t> bytes(w.module.flashHead.size(), 0xEE);
    auto in = named<kelvo_deviceWindow_read_in>("flashWindow");
    in.size = bytes.size();
    in.buffer = address(bytes.data());
    const std::int32_t status = ask(w.handle, KELVO_IOCTL_deviceWindow_read, in);
    return expect(w, status, bytes == w.module.flashHead, "the flash window read other bytes");
}

// The worker's own byte of "Posc": on the same session the read answers what was written.
std::int32_t writePosc(Worker& w) {
    std::uint8_t bytes[2] = {static_cast<std::uint8_t>(w.random()), 0};
    bytes[1] = static_cast<std::uint8_t>(~bytes[0]);
    std::int32_t status = 0;
    for (unsigned step = 0; step < 2 && status == 0; ++step) {
        status =
            rawElement(w.handle, step == 0 ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw,
                       "Posc_Ver1.0.0d0", 0, 1000 + w.id, &bytes[step], 1);
    }
    return expect(w, status, bytes[1] == bytes[0],
                  "wrote " + std::to_string(bytes[0]) + ", read " + std::to_string(bytes[1]));
}

// The board's route 3 to 2 (cost 1): calculated, then reserved, programmed,
// unprogrammed and unreserved now and then, then destroyed.
std::int32_t route(Worker& w) {
    kelvo_route_seed seed{3, 0, 0, {}};
    std::uint32_t destination = 2;
    kelvo_route_possibility found[4]{};
    const auto owner = static_cast<std::uint64_t>(w.handle);
    const kelvo_routing_calculateRoute_in in{owner, address(&seed), 1, 0, address(&destination), 1,
                                             0,     address(found), 4, 0};
    kelvo_routing_calculateRoute_out out{};
    const std::int32_t status = ask(w.handle, KELVO_IOCTL_routing_calculateRoute, in, out);
    if (status != 0 || out.possibilitiesCount != 1 || found[0].destinationTerminalID != 2 ||
        found[0].cost != 1) {
        w.wrong = status != 0 ? "" : "route 3 to 2 not found with cost 1";
        return status;
    }
    const std::uint32_t id = found[0].routeID;
    std::int32_t step = 0;
    if (w.random() % 2 == 0) {
        kelvo_route_conflict conflicts[4]{};
        step = ask<kelvo_routing_reserveRoute_out>(
            w.handle, KELVO_IOCTL_routing_reserveRoute,
            kelvo_routing_reserveRoute_in{id, 0, address(conflicts), 4, 0});
        if (step == 0) {
            const std::int32_t steps[] = {
                ask(w.handle, KELVO_IOCTL_routing_programRoute, kelvo_routing_programRoute_in{id, 0}),
                ask(w.handle, KELVO_IOCTL_routing_unprogramRoute, kelvo_routing_unprogramRoute_in{id, 0}),
                ask(w.handle, KELVO_IOCTL_routing_unreserveRoute, kelvo_routing_unreserveRoute_in{id, 0})};
            step = steps[0] ? steps[0] : steps[1] ? steps[1] : steps[2];
        }
    }
    const std::int32_t destroyed =
        ask(w.handle, KELVO_IOCTL_routing_destroyRoute, kelvo_routing_destroyRoute_in{id, 0});
    // Another thread's route on the same edges is the one answer of the life
    // cycle beyond the transient ones.
    return step != 0 && !transient(step) && step != kRouteConflict ? step : destroyed;
}

// A wait on a channel nobody reserved (-52002 until the DMA bodies are built).
std::int32_t dmaWait(Worker& w) {
    kelvo_brixelTools_waitUntilBytesTransferred_in in{};
    in.channel = static_cast<std::uint32_t>(w.random() % 2);
    in.byteCount = 16;
    in.timeout = 1;
    const std::int32_t status = ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
        w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, in);
    return status == KELVO_STATUS_CHANNEL_NOT_RESERVED || status == KELVO_STATUS_NOT_IMPLEMENTED ? 0 : status;
}

std::int32_t level(Worker& w) {
    kelvo_kelvo_getSetupLevel_out out{};
    const std::int32_t status = ask(w.handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, out);
    return expect(w, status, out.setupLevel <= KELVO_SETUP_LEVEL_COMPLETE,
                  "setup level " + std::to_string(out.setupLevel));
}

// The holder of channel 0 streams measurement packets into the worker's
// buffer: add the transfer, start, arm the measure unit once per packet, wait
// (a short time-out), stop, clear. The others' wait answers "not reserved".
// (A holder that others may have left transfers before clears the channel first.)
std::int32_t stream(Worker& w, std::vector<std::uint32_t>& words, bool clearFirst) {
    const std::int32_t reserved = reserve(w);
    if (reserved != 0 || w.hold == Hold::kUnknown) {
        return reserved;
    }
    kelvo_brixelTools_waitUntilBytesTransferred_in wait{
        0, 0, 0, kStreamBytes, w.hold == Hold::kOther ? 1u : 20u, 0, 0};
    kelvo_brixelTools_waitUntilBytesTransferred_out waited{};
    if (w.hold == Hold::kOther) {
        return refusedToOthers(
            w, ask(w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited), "a wait");
    }
    std::int32_t status = 0;
    if (clearFirst) { // and the device writes no more into the buffer
        status = channelStep(w, KELVO_IOCTL_brixelTools_stopDMA);
        status = status == 0 || status == tStatus::kNotAccessible ? 0 : status; // nothing was running
        status = status ? status : channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers);
        status = status == tStatus::kNotAccessible ? 0 : status;
    }
    words.assign(kStreamPackets * kPacketWords, 0xEEEEEEEEu);
    status = status ? status
                    : ask(w.handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                          kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(words.data()),
                                                                     kStreamBytes, 0, 0});
    if (status == 0) {
        status = ask(w.handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{0, 0, {}, 0});
    }
    for (std::size_t packet = 0; packet < kStreamPackets && status == 0; ++packet) {
        status = channelStep(w, KELVO_IOCTL_measureUnit_arm);
        status = status ? status : channelStep(w, KELVO_IOCTL_measureUnit_reset);
    }
    status = status ? status : ask(w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited);
    if (status == 0 && waited.timedOut == 0) {
        streamsChecked.fetch_add(1, std::memory_order_relaxed);
        // Packets of the module's marker, numbered in turn (a full FIFO drops some).
        for (std::size_t packet = 0; packet < kStreamPackets; ++packet) {
            const std::uint32_t* p = words.data() + packet * kPacketWords;
            if (p[0] != w.module.marker || (packet > 0 && p[1] <= (p - kPacketWords)[1])) {
                w.wrong = "packet " + std::to_string(packet) + " received with marker " +
                          std::to_string(p[0]) + ", number " + std::to_string(p[1]);
            }
        }
    }
    if (status == KELVO_STATUS_SESSION_INVALIDATED) {
        return status; // the close stops the stream
    }
    const std::int32_t stopped = channelStep(w, KELVO_IOCTL_brixelTools_stopDMA);
    const std::int32_t cleared = channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers);
    return status ? status : stopped ? stopped : cleared; // after a failed step there may be nothing to stop
}

std::int32_t dmaStream(Worker& w) {
    return stream(w, streamBuffers[w.id], false);
}

// The sequencer: the registered subroutines (as at the start), the engine's
// running state, an event latch (refused but to the holder of channel 0).
std::int32_t sequencer(Worker& w) {
    const std::uint64_t choice = w.random() % 3;
    if (choice == 0) {
        kelvo_wexmoor_getNumSubroutines_out count{};
        std::int32_t status =
            ask(w.handle, KELVO_IOCTL_wexmoor_getNumSubroutines, kelvo_wexmoor_getNumSubroutines_in{}, count);
        const std::size_t n = w.module.subroutineIds.size();
        expect(w, status, count.subroutineCount == n, std::to_string(count.subroutineCount) + " subroutines");
        std::vector<std::uint32_t> ids(n, 0xEEEEEEEEu), addresses(n, 0xEEEEEEEEu);
        status = status ? status
                        : ask(w.handle, KELVO_IOCTL_wexmoor_getSubroutines,
                              kelvo_wexmoor_getSubroutines_in{address(ids.data()), address(addresses.data()),
                                                              static_cast<std::uint32_t>(n), 0});
        return expect(w, status, ids == w.module.subroutineIds && addresses == w.module.subroutineAddresses,
                      "the subroutine list changed");
    }
    if (choice == 1) {
        return ask<kelvo_wexmoor_isSequenceEngineRunning_out>(
            w.handle, KELVO_IOCTL_wexmoor_isSequenceEngineRunning,
            kelvo_wexmoor_isSequenceEngineRunning_in{1, 0, 0});
    }
    const std::int32_t reserved = reserve(w);
    if (reserved != 0 || w.hold == Hold::kUnknown) {
        return reserved;
    }
    const std::int32_t status = ask<kelvo_triggersAndEvents_checkEventLatch_out>(
        w.handle, KELVO_IOCTL_triggersAndEvents_checkEventLatch,
        kelvo_triggersAndEvents_checkEventLatch_in{1, 0x135, 0, 0});
    return w.hold == Hold::kOther ? refusedToOthers(w, status, "an event latch read") : status;
}

struct Kind {
    const char* name;
    std::int32_t (*issue)(Worker&);
};
// The two that read the flash over the SPI port (a map's refresh reads 4 KiB
// byte by byte) cost a thousand times the others: one request in fifty.
#define KIND(issue)                                                                                          \
    { #issue, issue }
constexpr Kind kCostly[] = {KIND(refreshMap), KIND(readFlash)};
constexpr Kind kCheap[] = {KIND(readSignature), KIND(readSerial), KIND(checksumValid),
                           KIND(writePosc),     KIND(route),      KIND(dmaWait),
                           KIND(level),         KIND(dmaStream),  KIND(sequencer)};

void worker(unsigned id, std::uint64_t count, std::uint64_t seed) {
    Worker w{id, modules[id % kModules], std::mt19937_64(seed * 1000003u + id), -1, Hold::kUnknown, {}};
    const auto open = [&] { w.handle = kelvo_open("smu_kelvo", static_cast<unsigned>(w.module.index)); };
    open();
    for (std::uint64_t n = 0; n < count && std::chrono::steady_clock::now() < deadline; ++n) {
        const std::uint64_t draw = w.random() % 100;
        const Kind& kind = draw < 2 ? kCostly[draw] : kCheap[draw % std::size(kCheap)];
        w.wrong.clear();
        const std::int32_t status = kind.issue(w);
        requests.fetch_add(1, std::memory_order_relaxed);
        if (status == 0) {
            answered.fetch_add(1, std::memory_order_relaxed);
        } else if (status == tStatus::kSetupTargetReached) {
            std::this_thread::sleep_for(std::chrono::microseconds(100)); // a moment for the next reset
        }
        if (!w.wrong.empty() || !transient(status)) {
            fail(std::string(kind.name) + ": " +
                 (w.wrong.empty() ? "answered " + std::to_string(status) : w.wrong));
        }
        if (status == KELVO_STATUS_SESSION_INVALIDATED) {
            kelvo_close(w.handle);
            open();
            w.hold = Hold::kUnknown;
        }
        if (w.handle < 0) {
            fail("a handle could not be opened again: " + std::to_string(w.handle));
            break;
        }
    }
    kelvo_close(w.handle);
    workersLeft.fetch_sub(1);
}

// ---- threads sharing one handle ----

// A busy module's shared handle: its sharers issue requests on whichever
// handle is current while its cleaner cleans the session up and now and then
// closes it and opens a new one.
struct Shared {
    std::atomic<int> handle{-1};
    std::atomic<std::uint64_t> issued{0}; // the sharers' requests that reached the handle
};
Shared shared[kModules];
// What the sharers' transfers to the device read: it lives as long as the
// run (a transfer the driver kept past a close still reads it).
std::uint8_t sharedOut[kModules * kSharers][64];
constexpr std::uint32_t kRoutingNotifier = 0x80000000u;
constexpr std::int32_t kNoRouting = KELVO_STATUS_INVALID_STATE;       // the session's routing was cleaned up
constexpr std::int32_t kStreamRunning = KELVO_STATUS_STREAM_RUNNING;  // cleared or started while running
constexpr std::int32_t kNoTransfers = KELVO_STATUS_INVALID_PARAMETER; // a start with nothing to run

// What a request on a shared handle may answer besides a worker's: its handle
// closed by the cleaner meanwhile, its routing cleaned up, the reservation
// taken by another session (or by this one before), or not held (cleaned up
// meanwhile), the stream's own refusals (nothing to start or stop, running).
bool sharedAnswer(std::int32_t status) {
    return transient(status) || status == KELVO_E_INVALID || status == kNoRouting ||
           status == kRouteConflict || status == KELVO_STATUS_RESERVED_BY_OTHER ||
           status == KELVO_STATUS_CHANNEL_NOT_RESERVED || status == kNoTransfers ||
           status == tStatus::kNotAccessible || status == kStreamRunning;
}

// The routing notifier of the handle, opened (to the handle's destination) or
// closed: the kernel layer's code, as the driver's (a second open, or one
// after the routing was cleaned up, is the invalid state; the driver's codes
// the kernel layer has no name for, the invalidated session's among them,
// reach it as one).
std::int32_t notifier(Worker& w) {
    std::int32_t code = 0;
    if (w.random() % 2 == 0) {
        code = kelvo_ioctl(w.handle, KELVO_IOCTL_DESTROY_NOTIFIER,
                           reinterpret_cast<void*>(std::uintptr_t{kRoutingNotifier}));
    } else {
        kelvo_notifier_payload payload{w.random(), kelvo_destination(w.handle), kRoutingNotifier};
        code = kelvo_ioctl(w.handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload);
    }
    return code == -51300   ? tStatus::kInvalidState
           : code == -51104 ? tStatus::kSetupTargetReached
           : code == -51400 ? tStatus::kTimedOut
           : code == -51001 ? KELVO_STATUS_SESSION_INVALIDATED
                            : code;
}

// One step of a stream to the device on DMA channel 1 (channel 0's
// reservation covers it; the workers' streams run on DMA channel 0).
std::int32_t toDevice(Worker& w) {
    const int h = w.handle;
    const kelvo_brixelTools_stopDMA_in one{1, 0};
    switch (w.random() % 8) {
    case 0:
        return ask(h, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
    case 1:
        return ask(
            h, KELVO_IOCTL_brixelTools_addTransferToDevice,
            kelvo_brixelTools_addTransferToDevice_in{1, 0, address(sharedOut[w.id - kWorkers]), 64, 1, 0});
    case 2:
        return ask(h, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{1, 0, {}, 0});
    case 3:
        return ask(h, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                   kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, 64, 0});
    case 4:
        return ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            h, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
            kelvo_brixelTools_waitUntilBytesTransferred_in{1, 0, 0, 64, 1, 0, 0});
    case 5:
        return ask(h, KELVO_IOCTL_brixelTools_stopDMA, one);
    case 6:
        return ask(h, KELVO_IOCTL_brixelTools_clearTransfers, kelvo_brixelTools_clearTransfers_in{1, 0});
    default:
        return ask(h, KELVO_IOCTL_brixelTools_clearApplicationFIFO,
                   kelvo_brixelTools_clearApplicationFIFO_in{1, 0});
    }
}

constexpr Kind kShared[] = {KIND(route), KIND(notifier), KIND(toDevice), KIND(level), KIND(readSignature)};
#undef KIND

void sharer(unsigned id, std::uint64_t seed) {
    const unsigned m = (id - kWorkers) % kModules;
    Worker w{id, modules[m], std::mt19937_64(seed * 1000003u + id), -1, Hold::kUnknown, {}};
    while (workersLeft.load() != 0) {
        w.handle = shared[m].handle.load();
        const Kind& kind = kShared[w.random() % std::size(kShared)];
        w.wrong.clear();
        const std::int32_t status = kind.issue(w);
        requests.fetch_add(1, std::memory_order_relaxed);
        sharedRequests.fetch_add(1, std::memory_order_relaxed);
        if (status == KELVO_E_INVALID) { // closed: the cleaner opens the next handle
            while (shared[m].handle.load() == w.handle && workersLeft.load() != 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            continue;
        }
        shared[m].issued.fetch_add(1);
        if (status == 0) {
            answered.fetch_add(1, std::memory_order_relaxed);
        } else if (status == tStatus::kSetupTargetReached || status == KELVO_STATUS_SESSION_INVALIDATED) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(100)); // a moment for the reset or the cleaner
        }
        if (!w.wrong.empty() || !sharedAnswer(status)) {
            fail(std::string("a shared handle's ") + kind.name + ": " +
                 (w.wrong.empty() ? "answered " + std::to_string(status) : w.wrong));
        }
    }
}

void openShared(unsigned m) {
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[m].index));
    if (handle < 0) {
        fail("a shared handle could not be opened: " + std::to_string(handle));
    }
    shared[m].handle.store(handle);
}

// Closes the shared handle (once the requests in flight on it returned) and
// takes what its notifier left at its destination.
void closeShared(unsigned m) {
    const int handle = shared[m].handle.load();
    if (kelvo_close(handle) != 0) {
        fail("a shared handle could not be closed");
    }
    kelvo_message message{};
    while (kelvo_read_message(kelvo_destination(handle), &message) == 1) {
    }
    closes.fetch_add(1);
}

// The disturbers act once per this many successful requests of the workers
// (the cleaners per this many of their sharers'), so that requests
// also run between resets and power cycles: false once the run stops.
bool pace(std::uint64_t& last, std::uint64_t spacing, const std::atomic<std::uint64_t>& counter = answered) {
    while (!stopping.load() && counter.load() < last + spacing) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    last = counter.load();
    return !stopping.load();
}

// The shared handle's cleanup while its sharers' requests run, and in turn its
// close and a new handle (at once after a reset or power-down invalidated it).
void cleaner(unsigned m, std::uint64_t seed) {
    std::mt19937_64 random(seed ^ (0x5A5Au + m));
    std::uint64_t last = 0;
    while (pace(last, 20, shared[m].issued)) {
        const std::int32_t status =
            ask(shared[m].handle.load(), KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
        cleanups.fetch_add(1);
        if (!transient(status)) {
            fail("a shared handle's cleanup answered " + std::to_string(status));
        }
        if (status == KELVO_STATUS_SESSION_INVALIDATED || random() % 3 == 0) {
            closeShared(m);
            openShared(m);
        }
    }
}

// ---- two handles over one DMA channel, on the quiet module ----

// The fourth of the DMA requests of a racer: the cleanup of its handle (the
// reservation given back), or the checked stream of the reservation's holder.
constexpr std::int32_t kRacerAnswers[] = {0,
                                          KELVO_STATUS_RESERVED_BY_OTHER,
                                          KELVO_STATUS_CHANNEL_NOT_RESERVED,
                                          kNoTransfers,
                                          tStatus::kNotAccessible,
                                          kStreamRunning};

// A racer's round on a handle of its own: it reserves channel 0 or not, adds
// transfers into buffers of its own (from and to the device), starts, arms
// the measure unit, waits, stops, clears or cleans up, in random order; the
// holder of the reservation receives a stream alone and checks it. The round
// ends in a close (after a cleanup now and then) and the buffers are freed: a
// transfer the close left behind has the device write into freed memory.
void racer(unsigned id, std::uint64_t seed) {
    Worker w{id, quiet, std::mt19937_64(seed), -1, Hold::kUnknown, {}};
    w.handle = kelvo_open("smu_kelvo", static_cast<unsigned>(quiet.index));
    std::vector<std::uint32_t> words(kStreamPackets * kPacketWords, 0xEEEEEEEEu);
    std::vector<std::uint8_t> out(64, static_cast<std::uint8_t>(id));
    const auto on = [&](std::uint32_t code, std::uint32_t channel) {
        return ask(w.handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
    };
    for (unsigned steps = 2 + w.random() % 7; steps > 0; --steps) {
        const std::uint32_t channel = w.random() % 2;
        const std::uint64_t choice = w.random() % 9;
        std::int32_t status = 0;
        switch (choice) {
        case 0:
            w.hold = Hold::kUnknown;
            status = reserve(w);
            break;
        case 1:
            status = ask(
                w.handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
                kelvo_brixelTools_addTransferFromDevice_in{0, 0, address(words.data()), kStreamBytes, 0, 0});
            break;
        case 2:
            status =
                ask(w.handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
                    kelvo_brixelTools_addTransferToDevice_in{1, 0, address(out.data()), out.size(), 1, 0});
            break;
        case 3:
            status = ask(w.handle, KELVO_IOCTL_brixelTools_startDMA,
                         kelvo_brixelTools_startDMA_in{channel, 0, {}, 0});
            break;
        case 4:
            status = on(KELVO_IOCTL_measureUnit_arm, 0);
            break;
        case 5:
            status = ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
                w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
                kelvo_brixelTools_waitUntilBytesTransferred_in{channel, 0, 0, 64, 1, 0, 0});
            break;
        case 6:
            status = on(KELVO_IOCTL_brixelTools_stopDMA, channel);
            break;
        case 7:
            status = on(KELVO_IOCTL_brixelTools_clearTransfers, channel);
            break;
        default:
            if (w.hold == Hold::kHeld) {
                status = stream(w, words, true);
            } else {
                status = ask(w.handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
                w.hold = Hold::kUnknown;
            }
            break;
        }
        requests.fetch_add(1, std::memory_order_relaxed);
        if (!w.wrong.empty() || std::find(std::begin(kRacerAnswers), std::end(kRacerAnswers), status) ==
                                    std::end(kRacerAnswers)) {
            fail("racer step " + std::to_string(choice) + " on channel " + std::to_string(channel) + ": " +
                 (w.wrong.empty() ? "answered " + std::to_string(status) : w.wrong));
            w.wrong.clear();
        }
    }
    if (w.random() % 2 == 0 && ask(w.handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{}) != 0) {
        fail("a racer's cleanup failed");
    }
    if (kelvo_close(w.handle) != 0) {
        fail("a racer's handle could not be closed");
    }
}

// Once both racers closed, nothing of theirs is left on either channel: a
// start has nothing to run. (What a burst of repeated requests costs the
// cleanup: e2e_bounds_test.cpp and the fuzzer's repeats.)
void checkChannelsEmpty() {
    const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(quiet.index));
    for (std::uint32_t channel : {0u, 1u}) {
        const std::int32_t status =
            ask(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{channel, 0, {}, 0});
        if (status != kNoTransfers) {
            fail("a start on DMA channel " + std::to_string(channel) + " once every handle closed answered " +
                 std::to_string(status));
        }
    }
    if (ask(handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{}) != 0 || kelvo_close(handle) != 0) {
        fail("the cleanup or close after a round failed");
    }
}

// Rounds of two racers on the quiet module as long as the workers run.
void quietRounds(std::uint64_t seed) {
    std::mt19937_64 random(seed ^ 0xC3C3u);
    while (workersLeft.load() != 0) {
        std::thread x(racer, 2 * kWorkers, random()), y(racer, 2 * kWorkers + 1, random());
        x.join();
        y.join();
        checkChannelsEmpty();
        rounds.fetch_add(1);
    }
}

// Resets its module to a random level, mostly the complete one; after a lower
// one (where most requests fail at once) the complete one soon.
void resetter(unsigned module, std::uint64_t seed) {
    std::mt19937_64 random(seed ^ (0xA5A5u + module));
    const std::uint32_t levels[] = {19, 19, 19, 16, 3, 0};
    std::uint64_t last = 0;
    std::uint32_t level = KELVO_SETUP_LEVEL_COMPLETE;
    while (pace(last, level < KELVO_SETUP_LEVEL_COMPLETE ? 10 : 100)) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(modules[module].index));
        level = level < KELVO_SETUP_LEVEL_COMPLETE ? KELVO_SETUP_LEVEL_COMPLETE : levels[random() % 6];
        const std::int32_t status =
            ask<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{level, 0, 0, 0, 0});
        const std::int32_t expected = level == KELVO_SETUP_LEVEL_COMPLETE ? 0 : tStatus::kSetupTargetReached;
        // Or a power cycle came between the open and the reset, or its gate wait ended.
        if (status != expected && status != KELVO_STATUS_SESSION_INVALIDATED &&
            status != tStatus::kTimedOut && status != tStatus::kWaitInterrupted) {
            fail("a reset to " + std::to_string(level) + " answered " + std::to_string(status));
        }
        level = status == expected ? level : 0; // not reset: the complete level next
        kelvo_close(handle);
        resets.fetch_add(1);
    }
}

// Powers its module down and up (the platform's sleep state), or in turn
// holds its I/O for a moment (the requests wait at the gate) and resumes it:
// one thread, as the platform's changes of state come one at a time.
void power(unsigned module) {
    kelvo_driver::KelvoDevice& device = *modules[module].device;
    const auto change = [&](auto state) {
        tStatus status;
        const bool changed = device.commonChangePnPState(0, state, kSuspendReasonReset, false, status);
        if (!changed) {
            fail("a change to power state " + std::to_string(state) + " answered " +
                 std::to_string(status.getCode()));
        }
        return changed;
    };
    std::uint64_t last = 0;
    for (bool cycle = true; pace(last, 100); cycle = !cycle) {
        const auto pause = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
        if (!(cycle ? change(kPnPStateSleep) && change(kPnPStateReady)
                    : change(kPnPStateIOSuspended) && (pause(), change(kPnPStateReady)))) {
            return;
        }
        powerCycles.fetch_add(1);
    }
}

// Adds a module and takes what its requests must read back.
bool addModule(Module& module, const char* board) {
    module.index = kelvo_host_add_module(board);
    if (module.index < 0) {
        return false;
    }
    const auto index = static_cast<unsigned>(module.index);
    module.device = static_cast<kelvo_driver::KelvoDevice*>(
        static_cast<kelvo_driver::nVOAPAL000::tPCIDevice*>(kelvo_host::device(index)));
    const std::vector<std::uint8_t> flash = kelvo_host::module(index)->flash().contents();
    module.flashHead.assign(flash.begin(), flash.begin() + 256);
    module.marker = kelvo_host::module(index)->sequencerSide()->sequencer().marker();
    // The subroutines the setup registered, as every later reset registers them.
    const int handle = kelvo_open("smu_kelvo", index);
    kelvo_wexmoor_getNumSubroutines_out count{};
    const bool counted = ask(handle, KELVO_IOCTL_wexmoor_getNumSubroutines,
                             kelvo_wexmoor_getNumSubroutines_in{}, count) == 0 &&
                         count.subroutineCount != 0;
    module.subroutineIds.assign(count.subroutineCount, 0);
    module.subroutineAddresses.assign(count.subroutineCount, 0);
    const bool listed =
        counted && ask(handle, KELVO_IOCTL_wexmoor_getSubroutines,
                       kelvo_wexmoor_getSubroutines_in{address(module.subroutineIds.data()),
                                                       address(module.subroutineAddresses.data()),
                                                       count.subroutineCount, 0}) == 0;
    kelvo_close(handle);
    return listed;
}

} // namespace

int main(int argc, char** argv) {
    const char* seconds = option(argc, argv, "--seconds");
    const char* limit = option(argc, argv, "--requests");
    const std::uint64_t count = number(limit, seconds != nullptr ? ~std::uint64_t{0} : 2000);
    const std::chrono::duration<double> duration(seconds ? std::strtod(seconds, nullptr) : 600);
    const std::uint64_t seed = sampleSeed(option(argc, argv, "--seed"));
    std::printf("kelvo_stress: %u threads on %u modules, %u sharing a handle on each, two racing on a "
                "third, seed %llu\n",
                kWorkers, kModules, kSharers + 1, static_cast<unsigned long long>(seed));
    // The clock a hundred times faster: the settles of a reset to level 19 cost little.
    kal::clock::setScale(100);
    const char* const boards[kModules + 1] = {"solstra", "duskmere-a", "duskmere-b"};
    if (kelvo_host_start() != 0) {
        std::fprintf(stderr, "FAILED: the host did not start\n");
        return 1;
    }
    for (unsigned m = 0; m <= kModules; ++m) {
        if (!addModule(modules[m], boards[m])) {
            std::fprintf(stderr, "FAILED: module %s not added, or without subroutines\n", boards[m]);
            return 1;
        }
    }
    const auto started = std::chrono::steady_clock::now();
    deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
    std::vector<std::thread> threads, disturbers;
    for (unsigned id = 0; id < kWorkers; ++id) {
        threads.emplace_back(worker, id, count, seed);
    }
    for (unsigned m = 0; m < kModules; ++m) {
        openShared(m);
        for (unsigned s = 0; s < kSharers; ++s) {
            threads.emplace_back(sharer, kWorkers + s * kModules + m, seed);
        }
        disturbers.emplace_back(cleaner, m, seed);
        disturbers.emplace_back(resetter, m, seed);
        disturbers.emplace_back(power, m);
    }
    threads.emplace_back(quietRounds, seed);
    for (std::thread& t : threads) {
        t.join();
    }
    stopping.store(true);
    for (std::thread& t : disturbers) {
        t.join();
    }
    for (unsigned m = 0; m < kModules; ++m) {
        closeShared(m);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Every module reaches the complete level, no DMA engine saw a malformed
    // chain or a refused access, and nothing is left once they are gone.
    for (const Module& module : modules) {
        const std::shared_ptr<sim::Module> simulated =
            kelvo_host::module(static_cast<unsigned>(module.index));
        for (unsigned channel = 0; channel < 2; ++channel) {
            for (const std::string& fault : simulated->dma(channel).faults()) {
                fail("DMA channel " + std::to_string(channel) + ": " + fault);
            }
        }
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(module.index));
        if (ask<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset,
                                      kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0}) != 0) {
            fail("a module did not reach level 19 after the run");
        }
        kelvo_close(handle);
        if (kelvo_host_remove_module(static_cast<unsigned>(module.index)) != 0) {
            fail("a module could not be removed");
        }
    }
    kelvo_host_stop();
    std::printf("kelvo_stress: %llu requests in %.2f s (%.0f per second), %llu resets, %llu power cycles and "
                "suspends, %llu streams received\n",
                static_cast<unsigned long long>(requests.load()), elapsed, requests.load() / elapsed,
                static_cast<unsigned long long>(resets.load()),
                static_cast<unsigned long long>(powerCycles.load()),
                static_cast<unsigned long long>(streamsChecked.load()));
    std::printf(
        "kelvo_stress: %llu requests on shared handles, %llu cleanups and %llu closes racing them; %llu "
        "rounds of two handles on one channel\n",
        static_cast<unsigned long long>(sharedRequests.load()),
        static_cast<unsigned long long>(cleanups.load()), static_cast<unsigned long long>(closes.load()),
        static_cast<unsigned long long>(rounds.load()));
    return verdict("kelvo_stress");
}
