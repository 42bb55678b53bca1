// The threaded stress run: scenarios of threads issuing random valid requests on a module, raced by
// resets and power changes, cleanups and closes of a shared handle, two handles' rounds on one DMA channel,
// handles of two threads mixing every DMA stream request with reservations of every mask, cleanups and
// closes, and a module's removal. Every answer must be one the request may give, a read what the hardware
// holds; a step that does not come back within a minute is a stall, which ends the run.
//   kelvo_stress [--requests N] [--seconds S] [--seed X]   (N a thread: 2000, or none with --seconds alone)
#include <algorithm>
#include <barrier>
#include <random>
#include <span>
#include <sstream>
#include <thread>

#include "core/kelvo_device.h"
#include "regs/register_map.h"
#include "regs/sized_register_map.h"
#include "standin/control_io.h"
#include "requests.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;

constexpr std::int32_t kRouteConflict = -89137;
constexpr std::int32_t kNoRouting = KELVO_STATUS_INVALID_STATE;       // the session's routing was cleaned up
constexpr std::int32_t kNoTransfers = KELVO_STATUS_INVALID_PARAMETER; // a start with nothing to run
constexpr std::uint32_t kRoutingNotifier = 0x80000000u;
// A measurement packet: the sequencer's marker, the packet number and 64 registers; a stream takes 3.
constexpr std::size_t kPacketWords = 2 + 64;
constexpr std::size_t kStreamPackets = 3;
constexpr std::uint32_t kStreamBytes = kStreamPackets * kPacketWords * 4;
constexpr unsigned kMaxThreads = 40;

struct Module {
    const char* board;
    std::atomic<int> index{-1};
    kelvo_driver::KelvoDevice* device = nullptr;
    std::vector<std::uint8_t> flashHead{}; // the first bytes of the flash window
    std::uint32_t marker = 0;              // of the measurement packets
    std::atomic<int> shared{-1};           // the handle its sharers share
    std::atomic<std::uint64_t> answered{0};
};
// Two busy ones, the quiet one of the DMA rounds, the one removed, the one of the mixed DMA requests.
Module modules[] = {{"solstra"}, {"duskmere-a"}, {"duskmere-b"}, {"solstra"}, {"solstra"}};

// A worker and its hold on its module's reservation of channel 0 on its current handle.
enum class Hold { kUnknown, kHeld, kOther };
struct Worker {
    unsigned id;
    Module& module;
    std::mt19937_64 random;
    int handle = -1;
    Hold hold = Hold::kUnknown;
    std::string wrong;    // what a successful answer got wrong
    bool usedDma = false; // it may have left transfers or a stream of its own on the quiet module
};
// The threads' transfers' buffers outlive a transfer a reset cut short or the driver kept past a close.
std::uint32_t streamWords[kMaxThreads][kStreamPackets * kPacketWords];
std::uint32_t spillWords[kMaxThreads][kPacketWords]; // the ring after them on the quiet module
std::uint8_t outBytes[kMaxThreads][64];

std::chrono::steady_clock::time_point deadline;
std::atomic<bool> stopping{false}; // the disturbers
std::atomic<unsigned long long> requests{0}, disturbances{0}, streamsChecked{0}, rounds{0}, removals{0};

// What each thread does, for the watchdog: its name (written before its first step), its step and since
// when (steady-clock ticks; 0 between steps).
struct Watched {
    std::string who;
    std::atomic<const char*> what{""};
    std::atomic<std::int64_t> since{0};
};
Watched watched[kMaxThreads + 16];
thread_local Watched* self = nullptr;

std::int64_t ticks() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}
void watchAs(unsigned slot, std::string who) {
    self = &watched[slot];
    self->who = std::move(who);
}
// A step of the thread, in the watchdog's sight while it lives.
struct Step {
    explicit Step(const char* what) {
        self->what.store(what);
        self->since.store(ticks());
    }
    ~Step() { self->since.store(0); }
};
// A step out for a minute is a stall: the run fails and ends here (a stalled thread cannot be joined).
void watchdog(std::stop_token stop) {
    constexpr std::int64_t kStall = std::chrono::steady_clock::duration(std::chrono::minutes(1)).count();
    for (bool stalled = false; !stop.stop_requested();
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        for (const Watched& t : watched) {
            const std::int64_t since = t.since.load();
            if (since != 0 && ticks() - since > kStall) {
                fail("a stall: the " + t.who + " has been in its " + t.what.load() + " for a minute");
                stalled = true;
            }
        }
        if (stalled) {
            std::printf("kelvo_stress: FAILED\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
}

bool oneOf(std::int32_t status, std::initializer_list<std::int32_t> answers) {
    return std::find(answers.begin(), answers.end(), status) != answers.end();
}
// While others reset, suspend and resume: the session invalidated, the level not reached, the gate's wait
// ended, or (a handle opened while power was down) a demoted routing session.
bool transient(std::int32_t status) {
    return oneOf(status, {0, KELVO_STATUS_SESSION_INVALIDATED, tStatus::kSetupTargetReached,
                          tStatus::kTimedOut, tStatus::kWaitInterrupted, tStatus::kInvalidState});
}
// Two handles on a quiet module: the channel's answers alone.
bool racerAnswer(std::int32_t status) {
    return oneOf(status, {0, KELVO_STATUS_RESERVED_BY_OTHER, KELVO_STATUS_CHANNEL_NOT_RESERVED, kNoTransfers,
                          tStatus::kNotAccessible, KELVO_STATUS_STREAM_RUNNING});
}
// A shared handle: besides, closed by the cleaner, its routing cleaned up, the route another's, a wait
// ended by the cleaner's cleanup.
bool sharedAnswer(std::int32_t status) {
    return transient(status) || racerAnswer(status) ||
           oneOf(status, {KELVO_E_INVALID, kNoRouting, kRouteConflict, KELVO_STATUS_WAIT_CANCELLED});
}
// A mixer's handle: besides, closed by its other thread, a mask beyond the channel or a transfer of the
// other direction refused, a second wait refused, a wait cancelled.
bool mixerAnswer(std::int32_t status) {
    return racerAnswer(status) ||
           oneOf(status, {KELVO_E_INVALID, KELVO_STATUS_INVALID_CHANNEL, KELVO_STATUS_UNSUPPORTED_OPERATION,
                          KELVO_STATUS_INVALID_STATE, KELVO_STATUS_WAIT_CANCELLED});
}
// A removed device's handle (its gate closed, then the device gone), or an open of its index once gone.
bool removedAnswer(std::int32_t status) {
    return sharedAnswer(status) || oneOf(status, {KELVO_STATUS_IO_GATE_CLOSED, KELVO_E_STATE});
}

// A successful answer must hold what the hardware holds.
std::int32_t expect(Worker& w, std::int32_t status, bool holds, const std::string& what) {
    if (status == 0 && !holds) {
        w.wrong = what;
    }
    return status;
}
std::int32_t channelStep(Worker& w, std::uint32_t code, std::uint32_t channel = 0) {
    return ask(w.handle, code, kelvo_brixelTools_stopDMA_in{channel, 0});
}
// A transfer on stream c, finite (kind 0) or continuous (1): from the device into size bytes at data, or to
// it from the thread's 64 bytes.
std::int32_t addFrom(Worker& w, std::uint32_t c, std::uint32_t kind, const void* data, std::uint64_t size) {
    return ask(w.handle, KELVO_IOCTL_brixelTools_addTransferFromDevice,
               kelvo_brixelTools_addTransferFromDevice_in{c, kind, address(data), size, 0, 0});
}
std::int32_t addTo(Worker& w, std::uint32_t c, std::uint32_t kind) {
    return ask(w.handle, KELVO_IOCTL_brixelTools_addTransferToDevice,
               kelvo_brixelTools_addTransferToDevice_in{c, kind, address(outBytes[w.id]), 64, 1, 0});
}
std::int32_t start(Worker& w, std::uint32_t c, std::uint32_t kind = 0) {
    return ask(w.handle, KELVO_IOCTL_brixelTools_startDMA,
               kelvo_brixelTools_startDMA_in{c, static_cast<std::uint8_t>(kind), {}, 0});
}
// Reserves channel 0 unless the worker knows who holds it (another session's hold answers 0 too).
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

std::int32_t readSignature(Worker& w) {
    const kelvo_arm_read_out read = readRegister(w.handle, "Brixel_Ver2.3.0f7", 0x40000000u);
    return expect(w, read.status, read.value == KELVO_BRIDGE_SIGNATURE,
                  "signature read " + std::to_string(read.value));
}
std::int32_t readFlash(Worker& w) {
    std::vector<std::uint8_t> bytes(w.module.flashHead.size(), 0xEE);
    const std::int32_t status = readWindow(w.handle, "flashWindow", bytes);
    return expect(w, status, bytes == w.module.flashHead, "the flash window read other bytes");
}
// The worker's own byte of "Posc": on the same session the read answers what was written.
std::int32_t writePosc(Worker& w) {
    std::uint8_t bytes[2] = {static_cast<std::uint8_t>(w.random()), 0};
    bytes[1] = static_cast<std::uint8_t>(~bytes[0]);
    const auto raw = [&](std::uint32_t code, std::uint8_t& byte) {
        return rawElement(w.handle, code, "Posc_Ver1.0.0d0", 0, 1000 + w.id, &byte, 1);
    };
    std::int32_t status = raw(KELVO_IOCTL_storageMap_setRaw, bytes[0]);
    status = status ? status : raw(KELVO_IOCTL_storageMap_getRaw, bytes[1]);
    return expect(w, status, bytes[1] == bytes[0],
                  "wrote " + std::to_string(bytes[0]) + ", read " + std::to_string(bytes[1]));
}
std::int32_t level(Worker& w) {
    return ask<kelvo_kelvo_getSetupLevel_out>(w.handle, KELVO_IOCTL_kelvo_getSetupLevel,
                                              kelvo_status_record{});
}

// The route 3 to 2 (cost 1): calculated, now and then reserved, programmed and back, destroyed.
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
        for (std::uint32_t code : {KELVO_IOCTL_routing_programRoute, KELVO_IOCTL_routing_unprogramRoute,
                                   KELVO_IOCTL_routing_unreserveRoute}) {
            if (const std::int32_t answer = ask(w.handle, code, kelvo_routing_programRoute_in{id, 0});
                step == 0) {
                step = answer; // each step of a reserved route runs; the first failure counts
            }
        }
    }
    const std::int32_t destroyed =
        ask(w.handle, KELVO_IOCTL_routing_destroyRoute, kelvo_routing_destroyRoute_in{id, 0});
    // Beyond the transient answers, only another thread's route on the same edges.
    return step != 0 && !transient(step) && step != kRouteConflict ? step : destroyed;
}

// The handle's routing notifier opened (to its destination) or closed: the kernel layer's code as a status.
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

// The holder of channel 0 streams measurement packets into the worker's buffer and checks them; others'
// wait is refused. On the quiet module the other handle may have left transfers or a stream from before
// the reservation, and its cleanup or close may come at any time: the holder clears only what it left
// itself, lets the stream run on into a ring after its packets and finds it still running.
std::int32_t stream(Worker& w) {
    const std::int32_t reserved = reserve(w);
    if (reserved != 0 || w.hold == Hold::kUnknown) {
        return reserved;
    }
    kelvo_brixelTools_waitUntilBytesTransferred_in wait{
        0, 0, 0, kStreamBytes, w.hold == Hold::kOther ? 1u : 20u, 0, 0};
    kelvo_brixelTools_waitUntilBytesTransferred_out waited{};
    if (w.hold == Hold::kOther) {
        const std::int32_t status =
            expect(w, ask(w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited), false,
                   "a wait answered success to a session without the reservation");
        return status == KELVO_STATUS_CHANNEL_NOT_RESERVED ? 0 : status;
    }
    std::int32_t status = 0;
    std::uint32_t* words = streamWords[w.id];
    const bool quiet = &w.module == &modules[2];
    if (quiet && std::exchange(w.usedDma, false)) { // and the device writes no more into the buffer
        status = channelStep(w, KELVO_IOCTL_brixelTools_stopDMA);
        status = status == 0 || status == tStatus::kNotAccessible ? 0 : status; // nothing was running
        status = status ? status : channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers);
        status = status == tStatus::kNotAccessible ? 0 : status;
    }
    std::fill_n(words, kStreamPackets * kPacketWords, 0xEEEEEEEEu);
    status = status ? status : addFrom(w, 0, 0, words, kStreamBytes);
    if (status == 0 && quiet) {
        status = addFrom(w, 0, 1, spillWords[w.id], sizeof(spillWords[w.id]));
    }
    status = status ? status : start(w, 0);
    const bool started = status == 0;
    for (std::size_t packet = 0; packet < kStreamPackets && status == 0; ++packet) {
        status = channelStep(w, KELVO_IOCTL_measureUnit_arm);
        status = status ? status : channelStep(w, KELVO_IOCTL_measureUnit_reset);
    }
    status = status ? status : ask(w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred, wait, waited);
    if (status == 0 && waited.timedOut == 0) {
        streamsChecked.fetch_add(1, std::memory_order_relaxed);
        // Packets of the module's marker, numbered in turn (a full FIFO drops some).
        for (std::size_t packet = 0; packet < kStreamPackets; ++packet) {
            const std::uint32_t* p = words + packet * kPacketWords;
            if (p[0] != w.module.marker || (packet > 0 && p[1] <= (p - kPacketWords)[1])) {
                w.wrong = "packet " + std::to_string(packet) + " received with marker " +
                          std::to_string(p[0]) + ", number " + std::to_string(p[1]);
            }
        }
    }
    if (status == KELVO_STATUS_SESSION_INVALIDATED) {
        return status; // the close stops the stream
    }
    if (quiet && started) { // the ring runs until its holder stops it
        if (const std::int32_t again = start(w, 0); again != KELVO_STATUS_STREAM_RUNNING) {
            w.wrong = "the holder's stream was stopped under it: a start answered " + std::to_string(again);
        }
    }
    const std::int32_t stopped = channelStep(w, KELVO_IOCTL_brixelTools_stopDMA);
    const std::int32_t cleared = channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers);
    w.usedDma = quiet && (stopped != 0 || cleared != 0);
    return status ? status : stopped ? stopped : cleared; // after a failed step there may be nothing to stop
}

// A step on a DMA channel: 1 on a shared handle (the workers stream on 0), either on the quiet module.
std::int32_t dmaStep(Worker& w) {
    const bool quiet = &w.module == &modules[2];
    const std::uint32_t c = quiet ? static_cast<std::uint32_t>(w.random() % 2) : 1;
    const std::uint64_t step = w.random() % 8;
    w.usedDma =
        w.usedDma || (quiet && c == 0 && (step == 1 || step == 2 || step == 6)); // an arm queues a packet
    switch (step) {
    case 0: // on the quiet module a new holder streams at once, over what the other left before
        w.hold = Hold::kUnknown;
        return quiet && reserve(w) == 0 && w.hold == Hold::kHeld ? stream(w) : reserve(w);
    case 1:
        return c == 0 ? addFrom(w, 0, 0, streamWords[w.id], kStreamBytes) : addTo(w, 1, 0);
    case 2:
        return start(w, c);
    case 3:
        return ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
            kelvo_brixelTools_waitUntilBytesTransferred_in{c, 0, 0, 64, 1, 0, 0});
    case 4:
        return channelStep(w, KELVO_IOCTL_brixelTools_stopDMA, c);
    case 5:
        return channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers, c);
    case 6:
        return c == 0 ? channelStep(w, KELVO_IOCTL_measureUnit_arm)
                      : channelStep(w, KELVO_IOCTL_brixelTools_clearApplicationFIFO, 1);
    default:
        if (!quiet) {
            return ask(w.handle, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                       kelvo_brixelTools_writeStreamAdditiveTransferCount_in{1, 64, 0});
        }
        if (w.hold == Hold::kHeld) {
            return stream(w);
        }
        w.hold = Hold::kUnknown;
        return ask(w.handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
    }
}

// Reservation masks of every kind: none (which any handle may reserve at any time) half the draws, the
// channel of DMA streams 0 and 1, the bit that would be the channel of streams 2 and 3 (which the product
// lacks), both, the top bit.
constexpr std::uint64_t kMasks[] = {0, 0, 0, 0, 1, 2, 3, std::uint64_t{1} << 63};
std::atomic<int> pairHandles[3]; // the mixers', each of threads 2k and 2k + 1

int openOn(const Module& module) {
    return kelvo_open("smu_kelvo", static_cast<unsigned>(module.index.load()));
}

// Any DMA stream request on either stream, a reservation, the handle's cleanup, or (one draw in 384) a new
// handle for the thread and its sibling and the old one closed (a request on that answers -51009). What
// makes and ends a session's state on the streams (reservations, additions, cleanups) comes most often.
std::int32_t mix(Worker& w) {
    const auto c = static_cast<std::uint32_t>(w.random() % 2);
    const auto kind = static_cast<std::uint32_t>(w.random() % 2); // finite or continuous; the start's flag
    const std::uint64_t step = w.random() % 24;
    if (step < 6) {
        const std::uint64_t mask = kMasks[w.random() % std::size(kMasks)];
        return expect(
            w, ask(w.handle, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{mask, 0, 0}),
            mask <= 1, "the reservation of mask " + std::to_string(mask) + " was granted");
    }
    if (step < 10) { // either direction: stream 0 is from the device, 1 to it
        const bool toDevice = step % 2 == 0;
        return expect(w, toDevice ? addTo(w, c, kind) : addFrom(w, c, kind, streamWords[w.id], kStreamBytes),
                      c == (toDevice ? 1u : 0u),
                      "a transfer of the other direction was added on stream " + std::to_string(c));
    }
    if (step < 15 && (step < 14 || w.random() % 16 != 0)) {
        return ask(w.handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
    }
    switch (step) {
    case 14: {
        int old = w.handle;
        const int fresh = openOn(w.module);
        check(fresh >= 0, "a mixer's handle could not be opened: " + std::to_string(fresh));
        return kelvo_close(pairHandles[w.id / 2].compare_exchange_strong(old, fresh) ? w.handle : fresh);
    }
    case 15:
        return start(w, c, kind);
    case 16:
        return channelStep(w, KELVO_IOCTL_brixelTools_stopDMA, c);
    case 17:
        return ask(w.handle, KELVO_IOCTL_brixelTools_writeStreamAdditiveTransferCount,
                   kelvo_brixelTools_writeStreamAdditiveTransferCount_in{c, 64, 0});
    case 18:
        return ask<kelvo_brixelTools_getTransferCount_out>(w.handle, KELVO_IOCTL_brixelTools_getTransferCount,
                                                           kelvo_brixelTools_getTransferCount_in{c, 0});
    case 19:
        return channelStep(w, KELVO_IOCTL_brixelTools_clearTransfers, c);
    case 20:
        return channelStep(w, KELVO_IOCTL_brixelTools_clearApplicationFIFO, c); // and starts the credits
    case 21: // 1 or 50 ms of stand-in time, or until the other thread cancels it
        return ask<kelvo_brixelTools_waitUntilBytesTransferred_out>(
            w.handle, KELVO_IOCTL_brixelTools_waitUntilBytesTransferred,
            kelvo_brixelTools_waitUntilBytesTransferred_in{c, 0, 0, 64, 1 + kind * 49, 0, 0});
    case 22:
        return channelStep(w, KELVO_IOCTL_brixelTools_cancelWaitUntilBytesTransferred, c);
    default:
        return channelStep(w, KELVO_IOCTL_measureUnit_arm); // a packet for the transfers from the device
    }
}

// ---- the sweepers: every registered map by name beside the controllers' requests ----------------------
// A map's registration name (with its version) and the identifiers a sweep takes: fields that get and write
// both serve, fields whose hardware read has no side effect (no data port, nothing of the isolation link's
// access windows, of the bridge and timing-chip maps the SPI engine's latches alone). The two scratch
// registers of RequiredRegs are left out: each belongs to one sweeper of the module, which alone writes it.
struct SweptMap {
    std::string name;
    std::vector<std::uint32_t> fields, reads;
};
std::vector<SweptMap> sweptMaps[std::size(modules)];
constexpr std::uint32_t kScratch[] = {0x8033B4C6, 0x80DFEC3C}; // BasicScratch0 and 1
std::string scratchMaps[std::size(modules)];                   // the board's RequiredRegs

template <class Tables> void takeIdentifiers(const Tables& t, bool readable, SweptMap& map) {
    const auto own = [&](const auto& e) { // a scratch register's, by any of its identifiers
        return std::ranges::any_of(kScratch, [&](std::uint32_t id) {
            const auto* scratch = arm::findSortedEntry(t.get.entries, t.get.count, id);
            return scratch != nullptr && scratch->reg == e.reg;
        });
    };
    for (const auto& e : std::span(t.write.entries, t.write.count)) {
        if (arm::findSortedEntry(t.get.entries, t.get.count, e.id) != nullptr && !own(e)) {
            map.fields.push_back(e.id);
        }
    }
    for (const auto& e : std::span(t.read.entries, readable ? t.read.count : 0)) {
        if (t.registers[e.reg].kind != arm::kDataPort && !own(e)) {
            map.reads.push_back(e.id);
        }
    }
}

// The module's maps as the C API lists them, each found in the dispatcher for its version and tables (the
// kelvo maps' names begin with their board's or the product's name).
struct Lookup : armki::ARMDispatcher {
    using ARMDispatcher::find;
};
void listMaps(unsigned m) {
    const int handle = openOn(modules[m]);
    kelvo_arm_getSizeOfRegistrationList_out size{};
    ask(handle, KELVO_IOCTL_arm_getSizeOfRegistrationList, kelvo_status_record{}, size);
    std::string text(size.size, '\0');
    ask(handle, KELVO_IOCTL_arm_getRegistrationList,
        kelvo_arm_getRegistrationList_in{address(text.data()), 0, 0});
    kelvo_close(handle);
    std::istringstream names(text.c_str());
    for (std::string name; std::getline(names, name, '\t');) {
        const auto* entry = (modules[m].device->getKelvoHelper()->getARMDispatcher().*
                             &Lookup::find)(name.data(), name.size());
        auto* map = entry->wrapper->getObject();
        SweptMap& swept = sweptMaps[m].emplace_back(SweptMap{name + "_Ver" + map->getVersion(), {}, {}});
        if (scratchMaps[m].empty() && name.ends_with("_RequiredRegs")) {
            scratchMaps[m] = swept.name;
        }
        if (name.starts_with("Solstra") || name.starts_with("Duskmere") || name.starts_with("Kelvo")) {
            takeIdentifiers(static_cast<arm::tRegisterMapBase*>(map)->tables(),
                            name.find("RegAccessRegMap") == std::string::npos, swept);
        } else {
            takeIdentifiers(static_cast<arm::tSizedRegisterMapBase*>(map)->tables(),
                            name == "BrixelConfigPortSPI", swept);
        }
    }
}

// The sweeper's own scratch register (sweepers of a module come in pairs of consecutive ids): a value it
// never held set and left dirty, then the value it keeps written, or set and flushed with its whole map; both
// read back, from the soft copy and from the hardware. Nothing else writes that register, but another
// sweeper's whole-map flush of the tree may write the value left dirty: one that lets the second value in
// between its write and its clearing of the dirty flag loses it, which shows in what is read back. A reset in
// between ends the session: the requests after it fail, and nothing is compared.
std::int32_t sweepScratch(Worker& w, const std::string& map) {
    static thread_local std::uint32_t count = 0;
    const std::uint32_t id = kScratch[w.id % 2], value = w.id << 24 | ++count % (1u << 23);
    const std::uint64_t name = address(map.data()), length = map.size();
    std::int32_t status =
        ask(w.handle, KELVO_IOCTL_arm_set, kelvo_arm_set_in{name, length, id, value | 1u << 23, 0, 0});
    if (w.random() % 2 == 0) {
        status = status ? status
                        : ask(w.handle, KELVO_IOCTL_arm_write,
                              kelvo_arm_write_in{name, length, id, value, 0, {}, 0});
    } else {
        status = status ? status
                        : ask(w.handle, KELVO_IOCTL_arm_set, kelvo_arm_set_in{name, length, id, value, 0, 0});
        status = status ? status
                        : ask(w.handle, KELVO_IOCTL_arm_flushRegMap,
                              kelvo_arm_flushRegMap_in{name, length, 0, {}, 0});
    }
    kelvo_arm_get_out soft{};
    kelvo_arm_read_out hardware{};
    status =
        status ? status : ask(w.handle, KELVO_IOCTL_arm_get, kelvo_arm_get_in{name, length, id, 0}, soft);
    status = status ? status
                    : ask(w.handle, KELVO_IOCTL_arm_read, kelvo_arm_read_in{name, length, id, 0}, hardware);
    return expect(w, status, soft.value == value && hardware.value == value,
                  "wrote " + std::to_string(value) + " into its scratch register, read back " +
                      std::to_string(soft.value) + " (soft copy) and " + std::to_string(hardware.value));
}

// One map by name: four fields written with what they hold, four read, the whole map flushed (unforced); the
// sweeper's own scratch register; or one of the requests whose controllers and verifiers reach the maps'
// records their own way. A map a reset took away is not registered (-240024), a trigger not armed is refused.
std::int32_t sweep(Worker& w) {
    const std::vector<SweptMap>& maps = sweptMaps[&w.module - modules];
    const SweptMap& map = maps[w.random() % maps.size()];
    const auto pick = [&](const std::vector<std::uint32_t>& ids) { return ids[w.random() % ids.size()]; };
    const std::uint64_t name = address(map.name.data()), length = map.name.size();
    switch (w.random() % 8) {
    case 0:
        return ask(w.handle, KELVO_IOCTL_kdut_checkHardwareState, kelvo_kdut_checkHardwareState_in{});
    case 1:
        return ask<kelvo_corran_readTemperatureSensor_out>(w.handle, KELVO_IOCTL_corran_readTemperatureSensor,
                                                           kelvo_corran_readTemperatureSensor_in{});
    case 2:
        return ask<kelvo_triggersAndEvents_overrideTrigger_out>(
            w.handle, KELVO_IOCTL_triggersAndEvents_overrideTrigger,
            kelvo_triggersAndEvents_overrideTrigger_in{0, 0x40C, 0});
    case 3:
        return sweepScratch(w, scratchMaps[&w.module - modules]);
    }
    std::int32_t status = 0;
    for (int n = 0; n < 4 && status == 0 && !map.fields.empty(); ++n) { // unforced: written only if changed
        const std::uint32_t field = pick(map.fields);
        kelvo_arm_get_out got{};
        status = ask(w.handle, KELVO_IOCTL_arm_get, kelvo_arm_get_in{name, length, field, 0}, got);
        status = status ? status
                        : ask(w.handle, KELVO_IOCTL_arm_write,
                              kelvo_arm_write_in{name, length, field, got.value, 0, {}, 0});
    }
    for (int n = 0; n < 4 && status == 0 && !map.reads.empty(); ++n) {
        status = ask<kelvo_arm_read_out>(w.handle, KELVO_IOCTL_arm_read,
                                         kelvo_arm_read_in{name, length, pick(map.reads), 0});
    }
    return status
               ? status
               : ask(w.handle, KELVO_IOCTL_arm_flushRegMap, kelvo_arm_flushRegMap_in{name, length, 0, {}, 0});
}
bool sweeperAnswer(std::int32_t status) {
    return transient(status) || oneOf(status, {KELVO_STATUS_NAME_NOT_FOUND, KELVO_STATUS_TRIGGER_NOT_ARMED});
}

struct Kind {
    const char* name;
    std::int32_t (*issue)(Worker&);
};
#define KIND(issue)                                                                                          \
    { #issue, issue }
constexpr Kind kWorkerKinds[] = {KIND(readFlash), KIND(readSignature), KIND(writePosc),
                                 KIND(route),     KIND(level),         KIND(stream)};
constexpr Kind kSharerKinds[] = {KIND(route), KIND(notifier), KIND(dmaStep), KIND(level)};
constexpr Kind kRacerKinds[] = {KIND(dmaStep)};
constexpr Kind kRemovedKinds[] = {KIND(readSignature), KIND(route), KIND(level), KIND(dmaStep)};
constexpr Kind kMixerKinds[] = {KIND(mix)};
constexpr Kind kSweeperKinds[] = {KIND(sweep)};
#undef KIND

// Each thread its own handle (opened again when invalidated or removed), one the cleaner closes and opens,
// each its own closed after a round of a few requests, two threads one they close and open themselves, or
// each its own as long as the others run (these two run as long as the others).
enum class Handles { kOwn, kShared, kRounds, kPairs, kOwnWhileOthers };
bool whileOthers(Handles handles) {
    return handles == Handles::kPairs || handles == Handles::kOwnWhileOthers;
}
struct Scenario {
    const char* name;
    unsigned module;
    unsigned threads;
    Handles handles;
    std::span<const Kind> kinds;
    bool (*accepted)(std::int32_t);
};
// The mixers first: threads 2k and 2k + 1 pair up.
constexpr Scenario kScenarios[] = {
    {"mixer", 4, 2 * std::size(pairHandles), Handles::kPairs, kMixerKinds, mixerAnswer},
    {"worker", 0, 8, Handles::kOwn, kWorkerKinds, transient},
    {"worker", 1, 8, Handles::kOwn, kWorkerKinds, transient},
    {"sharer", 0, 3, Handles::kShared, kSharerKinds, sharedAnswer},
    {"sharer", 1, 3, Handles::kShared, kSharerKinds, sharedAnswer},
    {"racer", 2, 2, Handles::kRounds, kRacerKinds, racerAnswer},
    {"removal", 3, 3, Handles::kOwn, kRemovedKinds, removedAnswer},
    {"sweeper", 0, 2, Handles::kOwnWhileOthers, kSweeperKinds, sweeperAnswer},
    {"sweeper", 1, 2, Handles::kOwnWhileOthers, kSweeperKinds, sweeperAnswer},
    {"sweeper", 2, 2, Handles::kOwnWhileOthers, kSweeperKinds, sweeperAnswer},
};

// Once both racers of a round closed, a start on either channel has nothing to run.
void checkChannelsEmpty() noexcept {
    rounds.fetch_add(1);
    const int handle = openOn(modules[2]);
    for (std::uint32_t channel : {0u, 1u}) {
        const std::int32_t status =
            ask(handle, KELVO_IOCTL_brixelTools_startDMA, kelvo_brixelTools_startDMA_in{channel, 0, {}, 0});
        check(status == kNoTransfers, "a start on DMA channel " + std::to_string(channel) +
                                          " once every handle closed answered " + std::to_string(status));
    }
    check(ask(handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{}) == 0 && kelvo_close(handle) == 0,
          "the cleanup or close after a round failed");
}
std::barrier racers(2, checkChannelsEmpty);

// The one loop of every scenario's threads.
void requester(const Scenario& s, unsigned id, std::uint64_t count, std::uint64_t seed) {
    Module& m = modules[s.module];
    Worker w{id, m, std::mt19937_64(seed * 1000003u + id), -1, Hold::kUnknown, {}};
    watchAs(id, std::string(s.name) + " thread " + std::to_string(id) + " on " + m.board);
    const auto reopen = [&] {
        if (w.handle >= 0) {
            kelvo_close(w.handle);
        }
        w.handle = openOn(m);
        w.hold = Hold::kUnknown;
        w.usedDma = false;
    };
    const bool own =
        s.handles == Handles::kOwn || s.handles == Handles::kRounds || s.handles == Handles::kOwnWhileOthers;
    if (own) {
        reopen();
    }
    for (std::uint64_t n = 0, round = 2 + seed % 7; (whileOthers(s.handles) ? !stopping.load() : n < count) &&
                                                    std::chrono::steady_clock::now() < deadline;
         ++n) {
        w.handle = s.handles == Handles::kShared  ? m.shared.load()
                   : s.handles == Handles::kPairs ? pairHandles[id / 2].load()
                                                  : w.handle;
        const Kind* kind = nullptr;
        do {
            kind = &s.kinds[w.random() % s.kinds.size()];
        } while (kind->issue == readFlash && w.random() % 25 != 0); // a slow SPI read: 1 in 25 draws
        const Step step(kind->name); // and what follows it: a new handle, a wait for one, a round's close
        w.wrong.clear();
        const std::int32_t status = kind->issue(w);
        requests.fetch_add(1, std::memory_order_relaxed);
        m.answered.fetch_add(status == 0 ? 1 : 0);
        if (!w.wrong.empty() || !s.accepted(status)) {
            fail(std::string(s.name) + "'s " + kind->name + ": " +
                 (w.wrong.empty() ? "answered " + std::to_string(status) : w.wrong));
        }
        if (s.handles == Handles::kShared && status == KELVO_E_INVALID) { // the cleaner opens the next
            while (m.shared.load() == w.handle && !stopping.load()) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        } else if ((s.handles == Handles::kOwn || s.handles == Handles::kOwnWhileOthers) &&
                   (status == KELVO_STATUS_SESSION_INVALIDATED || status == KELVO_E_STATE || w.handle < 0)) {
            reopen();
        } else if (status == tStatus::kSetupTargetReached || status == KELVO_STATUS_SESSION_INVALIDATED) {
            std::this_thread::sleep_for(std::chrono::microseconds(100)); // a moment for the next reset
        }
        if (s.handles == Handles::kRounds && --round == 0) { // the round ends in a close
            self->what.store("round's close");
            check(w.random() % 2 != 0 ||
                      ask(w.handle, KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{}) == 0,
                  "a racer's cleanup failed");
            kelvo_close(std::exchange(w.handle, -1));
            racers.arrive_and_wait();
            reopen();
            round = 2 + w.random() % 7;
        }
    }
    const Step last("last close");
    if (own) {
        kelvo_close(w.handle);
    }
    if (s.handles == Handles::kRounds) {
        racers.arrive_and_drop();
    }
}

// A disturber acts once per spacing successful requests on its module; false once the run stops.
// Its disturbance is its step in the watchdog's sight.
bool pace(const Module& m, std::uint64_t& last, std::uint64_t spacing) {
    self->since.store(0);
    while (!stopping.load() && m.answered.load() < last + spacing) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    last = m.answered.load();
    disturbances.fetch_add(1);
    const bool going = !stopping.load();
    self->what.store("disturbance");
    self->since.store(going ? ticks() : 0);
    return going;
}

// Resets a busy module to a random level, mostly the complete one, and soon after a lower one.
void resetter(Module& m, std::mt19937_64 random) {
    const std::uint32_t levels[] = {19, 19, 19, 16, 3, 0};
    std::uint64_t last = 0;
    std::uint32_t level = KELVO_SETUP_LEVEL_COMPLETE;
    while (pace(m, last, level < KELVO_SETUP_LEVEL_COMPLETE ? 10 : 100)) {
        const int handle = openOn(m);
        level = level < KELVO_SETUP_LEVEL_COMPLETE ? KELVO_SETUP_LEVEL_COMPLETE : levels[random() % 6];
        const std::int32_t status =
            ask<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset, kelvo_kdut_reset_in{level, 0, 0, 0, 0});
        const std::int32_t expected = level == KELVO_SETUP_LEVEL_COMPLETE ? 0 : tStatus::kSetupTargetReached;
        // Or a power cycle came between the open and the reset, or its gate wait ended.
        check(oneOf(status, {expected, KELVO_STATUS_SESSION_INVALIDATED, tStatus::kTimedOut,
                             tStatus::kWaitInterrupted}),
              "a reset to " + std::to_string(level) + " answered " + std::to_string(status));
        level = status == expected ? level : 0; // not reset: the complete level next
        kelvo_close(handle);
    }
}

// Powers a busy module down and up, in turn with holding its I/O a moment (the requests wait at the
// gate): one thread, as the platform's changes of state come one at a time.
void power(Module& m, std::mt19937_64) {
    const auto change = [&](auto state) {
        tStatus status;
        return check(m.device->commonChangePnPState(0, state, kSuspendReasonReset, false, status),
                     "a change to power state " + std::to_string(state) + " answered " +
                         std::to_string(status.getCode()));
    };
    std::uint64_t last = 0;
    for (bool cycle = true; pace(m, last, 100); cycle = !cycle) {
        const auto pause = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
        if (!(cycle ? change(kPnPStateSleep) && change(kPnPStateReady)
                    : change(kPnPStateIOSuspended) && (pause(), change(kPnPStateReady)))) {
            return;
        }
    }
}

// The shared handle opened, or closed and what its notifier left at its destination taken.
void openShared(Module& m) {
    m.shared.store(openOn(m));
    check(m.shared.load() >= 0, "a shared handle could not be opened: " + std::to_string(m.shared.load()));
}
void closeShared(Module& m) {
    const int handle = m.shared.load();
    check(kelvo_close(handle) == 0, "a shared handle could not be closed");
    kelvo_message message{};
    while (kelvo_read_message(kelvo_destination(handle), &message) == 1) {
    }
}

// The shared handle's cleanup while its requests run, in turn its close and a new one (at once if invalid).
void cleaner(Module& m, std::mt19937_64 random) {
    std::uint64_t last = 0;
    while (pace(m, last, 20)) {
        const std::int32_t status = ask(m.shared.load(), KELVO_IOCTL_kdut_cleanup, kelvo_kdut_cleanup_in{});
        check(transient(status), "a shared handle's cleanup answered " + std::to_string(status));
        if (status == KELVO_STATUS_SESSION_INVALIDATED || random() % 3 == 0) {
            closeShared(m);
            openShared(m);
        }
    }
}

// Adds a module and takes what its requests must read back.
bool addModule(Module& module) {
    module.index.store(kelvo_host_add_module(module.board));
    if (module.index.load() < 0) {
        return false;
    }
    const auto index = static_cast<unsigned>(module.index.load());
    module.device = static_cast<kelvo_driver::KelvoDevice*>(
        static_cast<kelvo_driver::nVOAPAL000::tPCIDevice*>(kelvo_host::device(index)));
    const std::vector<std::uint8_t> flash = kelvo_host::module(index)->flash().contents();
    module.flashHead.assign(flash.begin(), flash.begin() + 256);
    module.marker = kelvo_host::module(index)->sequencerSide()->sequencer().marker();
    return true;
}

// Removes its module while requests run on it and adds it again.
void remover(Module& m, std::mt19937_64) {
    std::uint64_t last = 0;
    while (pace(m, last, 10)) {
        if (!check(kelvo_host_remove_module(static_cast<unsigned>(m.index.load())) == 0 && addModule(m),
                   "a module could not be removed and added again")) {
            return;
        }
        removals.fetch_add(1);
    }
}

// The disturbers of each module.
const struct {
    unsigned module;
    const char* name;
    void (*run)(Module&, std::mt19937_64);
} kDisturbers[] = {{0, "resetter", resetter}, {0, "power thread", power}, {0, "cleaner", cleaner},
                   {1, "resetter", resetter}, {1, "power thread", power}, {1, "cleaner", cleaner},
                   {3, "remover", remover}};

} // namespace

int main(int argc, char** argv) {
    const char* seconds = option(argc, argv, "--seconds");
    const char* limit = option(argc, argv, "--requests");
    const std::uint64_t count = number(limit, seconds != nullptr ? ~std::uint64_t{0} : 2000);
    const std::chrono::duration<double> duration(seconds ? std::strtod(seconds, nullptr) : 600);
    const std::uint64_t seed = sampleSeed(option(argc, argv, "--seed"));
    std::printf("kelvo_stress: seed %llu\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout); // before any halt
    // The clock a hundred times faster: the settles of a reset to level 19 cost little.
    kal::clock::setScale(100);
    watchAs(kMaxThreads + 15, "main thread");
    const std::jthread dog(watchdog);
    {
        const Step step("start");
        if (kelvo_host_start() != 0 || !std::all_of(std::begin(modules), std::end(modules), addModule)) {
            std::fprintf(stderr, "FAILED: the host did not start, or a module was not added\n");
            return 1;
        }
        openShared(modules[0]);
        openShared(modules[1]);
        for (unsigned m : {0u, 1u, 2u}) {
            listMaps(m);
        }
    }
    const std::size_t modulesOwnLists = kal::pagelists::live(); // what each module's setup locked itself
    const auto started = std::chrono::steady_clock::now();
    deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
    // Each joined as its vector is cleared: the requesters of so many requests, then the others once stopped.
    std::vector<std::jthread> threads, untilStopped;
    unsigned threadCount = 0;
    for (const Scenario& s : kScenarios) {
        for (unsigned t = 0; t < s.threads; ++t, ++threadCount) {
            if (s.handles == Handles::kPairs && t % 2 == 0) {
                pairHandles[threadCount / 2].store(openOn(modules[s.module]));
            }
            (whileOthers(s.handles) ? untilStopped : threads)
                .emplace_back(requester, std::cref(s), threadCount, count, seed);
        }
    }
    const std::size_t requesters = untilStopped.size(); // the disturbers' slots follow the requesters'
    for (const auto& d : kDisturbers) {
        untilStopped.emplace_back(
            [&d, seed, slot = threadCount + static_cast<unsigned>(untilStopped.size() - requesters)] {
                watchAs(slot, std::string(d.name) + " of " + modules[d.module].board);
                d.run(modules[d.module], std::mt19937_64(seed ^ slot));
                self->since.store(0);
            });
    }
    threads.clear();
    stopping.store(true);
    untilStopped.clear();
    const Step step("checks at the end");
    closeShared(modules[0]);
    closeShared(modules[1]);
    for (const std::atomic<int>& handle : pairHandles) {
        kelvo_close(handle.load());
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Every handle has closed: no stream runs and, once the modules the disturbers left below level 19
    // are set up again, no page list is locked but those each module's setup locked for itself.
    for (const Module& module : modules) {
        const auto index = static_cast<unsigned>(module.index.load());
        for (unsigned channel = 0; channel < 2; ++channel) {
            check(!kelvo_host::module(index)->dma(channel).running(),
                  std::string(module.board) + ": a DMA stream runs after every handle closed");
        }
        const int handle = openOn(module);
        kelvo_kelvo_getSetupLevel_out level{};
        ask(handle, KELVO_IOCTL_kelvo_getSetupLevel, kelvo_status_record{}, level);
        check(level.setupLevel == KELVO_SETUP_LEVEL_COMPLETE ||
                  ask<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset,
                                            kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0}) == 0,
              "a module did not reach level 19 after the run");
        kelvo_close(handle);
    }
    check(kal::pagelists::live() == modulesOwnLists,
          std::to_string(kal::pagelists::live()) + " page lists locked once every handle closed, not " +
              std::to_string(modulesOwnLists) + ": one outlived the handle that locked it");
    // Every module reaches the complete level, no DMA engine saw a fault, nothing is left once they are gone.
    for (const Module& module : modules) {
        const auto index = static_cast<unsigned>(module.index.load());
        for (unsigned channel = 0; channel < 2; ++channel) {
            for (const std::string& fault : kelvo_host::module(index)->dma(channel).faults()) {
                fail(std::string(module.board) + ": DMA channel " + std::to_string(channel) + ": " + fault);
            }
        }
        const int handle = openOn(module);
        check(ask<kelvo_kdut_reset_out>(handle, KELVO_IOCTL_kdut_reset,
                                        kelvo_kdut_reset_in{KELVO_SETUP_LEVEL_COMPLETE, 0, 0, 0, 0}) == 0,
              "a module did not reach level 19 after the run");
        kelvo_close(handle);
        check(kelvo_host_remove_module(index) == 0, "a module could not be removed");
    }
    check(kal::pagelists::live() == 0, "a locked page list outlived its module");
    kelvo_host_stop();
    std::printf("kelvo_stress: %llu requests in %.2f s (%.0f per second) on %u threads, %llu disturbances, "
                "%llu streams received, %llu rounds of two handles on one channel, %llu removals\n",
                requests.load(), elapsed, requests.load() / elapsed, threadCount, disturbances.load(),
                streamsChecked.load(), rounds.load(), removals.load());
    return verdict("kelvo_stress");
}
