// The device's life cycle at level 19 through the host's C API (the plug-and-play machine driven
// directly), then the non-isolated controllers' power budget, the storage maps' raw access, what a
// reset's error list may cost, and routing under pressure: a handle cleaned up and closed while its
// requests run, the bound on a handle's routes and on the memory behind them, answers longer than a page.
#include <future>
#include <latch>
#include <optional>
#include <thread>

#include "bridge/firmware.h"
#include "client_pages.h"
#include "core/dma_objects.h"
#include "core/routing_objects.h"
#include "core_test_support.h"
#include "routing_test_graph.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using namespace kelvo_test;
using nVOAPALS100::tStatus;

constexpr int32_t kInvalidated = KELVO_STATUS_SESSION_INVALIDATED;
constexpr int32_t kGateClosed = KELVO_STATUS_IO_GATE_CLOSED;
constexpr int32_t kNoRouting = tStatus::kInvalidState; // detached routing resources; a refused restore

int32_t topography(int handle) {
    char name[16] = {};
    return ASK(routing_getTopographyName, handle, address(name), sizeof(name), 0).status;
}

constexpr const char* kManufacturing = "Manufacturing_Ver1.0.0d1";

// Raw access to one map field from its first element.
int32_t raw(int handle, bool write, std::string_view map, uint32_t field, uint64_t count, void* buffer,
            uint64_t elementSize) {
    const kelvo_storageMap_setRaw_in in{address(map.data()), map.size(),  field, 0, 0, count,
                                        address(buffer),     elementSize, 0,     0};
    return statusOf(handle, write ? KELVO_IOCTL_storageMap_setRaw : KELVO_IOCTL_storageMap_getRaw, in);
}

class Lifecycle : public kelvo_test::HostedTest {
protected:
    static int add(const std::string& board) {
        return HostedTest::add(board, [](sim::Module& m) { m.enableDma(); });
    }
    static bool step(int index, tPnPState state, tSuspendReason reason, bool vetoable) {
        tStatus status;
        return deviceOf(index)->commonChangePnPState(tEventDescriptor(0), state, reason, vetoable, status);
    }
    // The notifier's next messages: count of them, of types from KELVO_MESSAGE_NOTIFY on, empty; then none.
    static void expectMessages(unsigned destination, uint32_t count) {
        kelvo_message message{};
        for (uint32_t type = KELVO_MESSAGE_NOTIFY; type < KELVO_MESSAGE_NOTIFY + count; ++type) {
            ASSERT_EQ(kelvo_read_message(destination, &message), 1);
            EXPECT_EQ(std::make_pair(message.type, message.size), std::make_pair(type, 0u));
        }
        EXPECT_EQ(kelvo_read_message(destination, &message), 0);
    }
    // A routing notifier on the handle; channel 0 reserved and started into a page, waited for without a
    // time-out on a thread once the waiter is registered.
    struct PendingWait {
        PendingWait(int index, int handle)
            : buffer(4096, 0), handle(handle), destination(kelvo_destination(handle)) {
            kelvo_notifier_payload notifier{0xBEEF, destination, 0x80000000};
            const uint64_t page = address(buffer.data());
            EXPECT_EQ(
                inOrder({kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &notifier), reserveAll(handle),
                         ASK(brixelTools_addTransferFromDevice, handle, 0, 0, page, 4096, 0, 0).status,
                         ASK(brixelTools_startDMA, handle, 0, 0, {}, 0).status}),
                0);
            thread = std::thread([this, handle] {
                result = ASK(brixelTools_waitUntilBytesTransferred, handle, 0, 0, 0, 4096, ~0u, 0, 0).status;
            });
            auto* dma = &deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::DMAObjects>();
            while (dma->getDMAControllers()->getDMAInterruptController().waiterCount() == 0) {
                std::this_thread::yield();
            }
        }
        int32_t join() {
            thread.join();
            return result;
        }
        std::vector<uint8_t> buffer;
        int handle;
        unsigned destination;
        int32_t result = 1;
        std::thread thread;
    };
};

// Suspensions of I/O keep the handles and their waits (routing stays demoted); power down, stop and a
// refused restore end the waits and invalidate the handles; a new handle is served again (or refused).
TEST_F(Lifecycle, TransitionsWithHandlesRoutesAndWaitsOpen) {
    struct Case {
        const char* name;
        tPnPState away;
        tSuspendReason reason;
        bool restore; // the restore flag while away
        // A route request of the old handle made while away, the pending wait's answer, the old handle's
        // level and route requests after coming back.
        int32_t whileAway, waitEnds, oldAfter, oldRoute;
        uint32_t messages; // on its routing notifier: demoted (notify), closed
        // A new handle's request at level 19, its reservation of channel 0 while the old handle is open.
        int32_t newAfter, reserve;
    };
    const Case cases[] = {
        {"suspend closing the gate", kPnPStateIOSuspended, kSuspendReasonStart, true, kGateClosed, 0, 0,
         kNoRouting, 1, 0, KELVO_STATUS_RESERVED_BY_OTHER},
        {"suspend holding the gate", kPnPStateIOSuspended, kSuspendReasonReset, true, kNoRouting, 0, 0,
         kNoRouting, 1, 0, KELVO_STATUS_RESERVED_BY_OTHER},
        {"power down and restore", kPnPStateSleep, kSuspendReasonStart, true, kGateClosed, kInvalidated,
         kInvalidated, kInvalidated, 2, 0, 0},
        {"power restore refused", kPnPStateSleep, kSuspendReasonStart, false, kGateClosed, kInvalidated,
         kInvalidated, kInvalidated, 1, kNoRouting, kNoRouting},
        {"stop and start", kPnPStateNotStarted, kSuspendReasonRemove, true, kGateClosed, kInvalidated,
         kInvalidated, kInvalidated, 2, 0, 0},
        {"power down from a held suspension", kPnPStateSleep, kSuspendReasonReset, true, kInvalidated,
         kInvalidated, kInvalidated, kInvalidated, 2, 0, 0},
    };
    std::map<std::string, int> modules;
    for (size_t turn = 0; turn < std::size(cases); ++turn) {
        const Case& c = cases[turn];
        const std::string& board = boards()[turn % boards().size()]; // every board in turn
        SCOPED_TRACE(board + ": " + c.name);
        const int index = modules.count(board) != 0 ? modules[board] : (modules[board] = add(board));
        auto module = kelvo_host::module(static_cast<unsigned>(index));
        const int old = open(index);
        PendingWait wait(index, old);

        deviceOf(index)->setRestoreFlag(c.restore ? 1 : 0);
        EXPECT_TRUE(step(index, c.away, c.reason, true)) << "never vetoed";
        std::future<int32_t> away = std::async(std::launch::async, [&] { return topography(old); });
        if (c.reason != kSuspendReasonReset) {
            away.wait(); // a closed gate answers at once; a held one after the resume
        }
        if (c.waitEnds == 0) { // the wait survives the suspension
            const std::vector<uint8_t> data(4096, 0x5A);
            module->dma(0).inject(data.data(), data.size());
            EXPECT_TRUE(step(index, kPnPStateReady, c.reason, false));
            EXPECT_EQ(wait.join(), 0);
            EXPECT_EQ(wait.buffer, data);
        } else {
            EXPECT_EQ(wait.join(), c.waitEnds);
            EXPECT_TRUE(step(index, kPnPStateReady, c.reason, false));
        }
        EXPECT_EQ((std::tuple{away.get(), ASK(kelvo_getSetupLevel, old, 0).status, topography(old)}),
                  std::tuple(c.whileAway, c.oldAfter, c.oldRoute));
        expectMessages(wait.destination, c.messages);

        const int fresh = open(index);
        EXPECT_EQ(
            (std::tuple{ASK(kelvo_getSetupLevel, fresh, 0).setupLevel, topography(fresh), reserveAll(fresh)}),
            std::tuple(c.newAfter == 0 ? 19u : 0u, c.newAfter, c.reserve));
        EXPECT_EQ(inOrder({kelvo_close(fresh), kelvo_close(old)}), 0);
        if (c.newAfter != 0) { // a reset brings it back
            EXPECT_EQ(resetTo(index, 19), 0);
        }
        const int last = open(index);
        EXPECT_EQ(reserveAll(last), 0) << "the closed handles hold nothing";
        EXPECT_EQ(kelvo_close(last), 0);
        EXPECT_FALSE(module->dma(0).running());
        EXPECT_TRUE(module->dma(0).faults().empty());
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        deviceOf(index)->setRestoreFlag(1);
    }
}

// Removal (of the module, or by the host's stop) with handles, a notifier and a wait open, from a
// running or a held device: the wait ends, the notifier closes, the handles answer, nothing is left.
TEST_F(Lifecycle, RemovalWithHandlesAndWaitsOpen) {
    const struct {
        const char* board;
        bool held, stop;
    } cases[] = {{"solstra", false, false},
                 {"duskmere-a", true, false},
                 {"duskmere-b", false, true},
                 {"solstra", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.board) + (c.held ? ", held" : "") + (c.stop ? ", host stopped" : ""));
        const kal::live::Counts live = kal::live::now();
        const int index = add(c.board);
        const int instrument = open(index);
        const int cooling = kelvo_open("nPXICOOLING_17_2_pxiCooling", static_cast<unsigned>(index));
        ASSERT_GE(cooling, 0);
        PendingWait wait(index, instrument);
        if (c.held) {
            EXPECT_TRUE(step(index, kPnPStateIOSuspended, kSuspendReasonReset, false));
        }
        if (c.stop) {
            kelvo_host_stop();
        } else {
            remove(index);
        }
        EXPECT_EQ(wait.join(), kInvalidated);
        expectMessages(wait.destination, 2); // notify, close
        for (int handle : {instrument, cooling}) {
            kelvo_ioctl_header header{};
            EXPECT_EQ(kelvo_ioctl(handle, KELVO_IOCTL_kelvo_getSetupLevel, &header), KELVO_E_STATE);
            EXPECT_EQ(kelvo_close(handle), c.stop ? KELVO_E_STATE : 0);
        }
        EXPECT_TRUE(kelvo_host::faults().empty());
        if (c.stop) {
            ASSERT_EQ(kelvo_host_start(), 0);
        }
        EXPECT_EQ(kal::live::now(), live);
    }
}

// The embedded FPGA image of target 0 or 1 of the device's board, decompressed: a valid custom image.
std::vector<uint8_t> ownImage(int index, uint32_t target) {
    tStatus status;
    const std::unique_ptr<kdut::FirmwareBase> image(kelvo_driver::FirmwareFactory().createEmbeddedFirmware(
        target, *Lifecycle::deviceOf(index)->getKelvoHelper()->getCapsTask().capsPtr, status));
    EXPECT_TRUE(status.isSuccess());
    return std::vector<uint8_t>(image->data(), image->data() + image->size());
}

// Resets to level 19 with custom parameters: the answer and the level reached. Rows with a valid
// image run on every board, the others on one board each in turn.
TEST_F(Lifecycle, ResetWithCustomParameters) {
    using P = kelvo_custom_reset_parameters;
    constexpr int32_t kBadAddress = tStatus::kNotAccessible;
    constexpr int32_t kBadPackage = KELVO_STATUS_INVALID_SUBROUTINE_PACKAGE;
    constexpr uint64_t kBad = 0x10; // a user address that is not mapped
    const std::vector<uint64_t> commands = {0x2000000000000011ull, 0x1C00FF0500000000ull};
    const std::vector<uint32_t> startup = {0x956E9395u, 0x22}, other = {0x11, 0x22}, addresses = {0, 1};
    const uint64_t c = address(commands.data()), a = address(addresses.data());
    auto package = [&](const std::vector<uint32_t>& ids, uint64_t ignore) {
        return P{0, 0, 0, 0, c, commands.size(), address(ids.data()), a, ids.size(), 0, 0, ignore};
    };
    auto with = [](P p, uint64_t P::*word, uint64_t value) { return (p.*word = value, p); };
    struct Case {
        const char* name;
        int image; // the board's own image of target 0 or 1 fills its words (unless at kBad); -1: none
        P words;
        uint32_t level;
        int32_t code;
    };
    const Case cases[] = {
        {"the board's own non-isolated image", 0, {}, 19, 0},
        {"the board's own isolated image", 1, {}, 19, 0},
        {"the non-isolated image at a bad address", 0, with({}, &P::nonIsolatedFirmwarePtr, kBad), 3,
         kBadAddress},
        {"the isolated image at a bad address", 1, with({}, &P::isolatedFirmwarePtr, kBad), 7, kBadAddress},
        {"a package without it, start-up errors ignored", -1, package(other, 1), 19, 0},
        {"an incomplete package, start-up errors ignored", -1,
         with(package(startup, 1), &P::subroutineAddressesPtr, 0), 9, kBadPackage},
        {"the commands at a bad address", -1, with(package(startup, 0), &P::subroutineCommandsPtr, kBad), 9,
         kBadAddress},
        {"the addresses at a bad address", -1, with(package(startup, 0), &P::subroutineAddressesPtr, kBad), 9,
         kBadAddress},
        {"a subroutine count past 32 bits", -1,
         with(package(startup, 0), &P::numberOfSubroutines, 1ull << 32), 0, tStatus::kUnsupportedValue},
        {"a command count past 32 bits", -1,
         with(package(startup, 0), &P::numberOfSubroutineCommands, 1ull << 32), 0,
         tStatus::kUnsupportedValue},
    };
    std::map<std::string, int> modules;
    size_t turn = 0;
    for (const Case& c : cases) {
        const bool valid =
            c.image >= 0 && c.words.nonIsolatedFirmwarePtr == 0 && c.words.isolatedFirmwarePtr == 0;
        for (const std::string& board : valid ? boards() : std::vector{boards()[turn++ % boards().size()]}) {
            SCOPED_TRACE(board + ": " + c.name);
            const int index = modules.count(board) != 0 ? modules[board] : (modules[board] = add(board));
            P words = c.words;
            std::vector<uint8_t> image;
            if (c.image >= 0) {
                image = ownImage(index, static_cast<uint32_t>(c.image));
                const auto pointer = c.image == 0 ? &P::nonIsolatedFirmwarePtr : &P::isolatedFirmwarePtr;
                words.*pointer = words.*pointer != 0 ? words.*pointer : address(image.data());
                (words.*(c.image == 0 ? &P::nonIsolatedFirmwareSize : &P::isolatedFirmwareSize)) =
                    image.size();
            }
            EXPECT_EQ(resetTo(index, 19, &words), c.code);
            EXPECT_EQ(levelOf(index), c.level);
        }
    }
}

// Across a reset, a power cycle and a stop and start: a flushed storage field is kept (an unflushed one
// not), the cooling override stays and wins over the service's requests, no power stays allocated.
TEST_F(Lifecycle, WhatSurvivesResetsAndPowerCycles) {
    enum Transition { kReset, kPowerCycle, kStopStart };
    const struct {
        const char* board;
        Transition transition;
        uint32_t requested; // the cooling mode the board asks of the chassis
    } cases[] = {
        {"solstra", kReset, 0x41000030}, {"duskmere-a", kPowerCycle, 0x20}, {"duskmere-b", kStopStart, 0x20}};
    auto cooling = [](int handle) { return ASK(voquantaPXICooling_getCoolingMode, handle, 0).coolingMode; };
    auto serviceRequest = [](int handle, uint32_t mode) {
        return ASK(pxiCooling_setCoolingMode, handle, mode, 0).status;
    };
    auto serial = [&](int handle, bool write, uint32_t value) { // field 12, the serial number
        EXPECT_EQ(raw(handle, write, kManufacturing, 12, 1, &value, 4), 0);
        return value;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        const int index = add(c.board);
        const int before = open(index);
        serial(before, true, 0x00C0FFEE);
        EXPECT_EQ(ASK_NAMED(storageMap_flush, before, kManufacturing).status, 0);
        serial(before, true, 0x0BADF00D); // not flushed
        EXPECT_EQ(ASK(pxiCooling_getRequestedCoolingMode, before, 0).coolingMode, c.requested);
        EXPECT_EQ(serviceRequest(before, 24), 0);
        EXPECT_EQ(cooling(before), 24u) << "the service's request applies while no override is in force";
        EXPECT_EQ(ASK(voquantaPXICooling_overrideCoolingMode, before, 40, 0).status, 0);
        EXPECT_EQ(serviceRequest(before, 50), 0) << "the dropped request still succeeds";
        EXPECT_EQ(
            inOrder({reserveAll(before), ASK(corran_stagePowerAllocation, before, 0, {}, 1000, 0).status,
                     ASK(corran_commitPowerAllocation, before, 0, {}, 0).status}),
            0);
        if (c.transition == kReset) {
            EXPECT_EQ(ASK(kdut_reset, before, 19, 0, 0, 0, 0).status, 0);
        } else {
            EXPECT_TRUE(step(index, c.transition == kPowerCycle ? kPnPStateSleep : kPnPStateNotStarted,
                             kSuspendReasonStart, false));
            EXPECT_TRUE(step(index, kPnPStateReady, kSuspendReasonStart, false));
        }
        const int after = open(index);
        EXPECT_EQ(serial(after, false, 0), 0x00C0FFEEu);
        EXPECT_EQ(serviceRequest(after, 60), 0);
        EXPECT_EQ(cooling(after), 40u) << "the override lives in the device and stays in force";
        EXPECT_EQ(reserveAll(after), 0);
        const auto power = ASK(corran_getActualPowerAllocation, after, 0, {}, 0);
        EXPECT_EQ(std::make_pair(power.status, power.powerMicrowatts), std::make_pair(0, 0u));
    }
}

using EndToEndControllers = kelvo_test::HostedTest;

// Unreserved, every request answers so; then staged power counts against the budget, a commit makes
// it the actual one and a discard drops what was staged since, so a later commit has nothing to commit.
TEST_F(EndToEndControllers, PowerAllocationNeedsTheChannelsReservation) {
    enum Op { kStage, kCommit, kDiscard, kActual, kReserve };
    const int32_t notReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
    const struct {
        const char* what;
        Op op;
        uint32_t power; // staged, or the actual one answered
        int32_t status;
    } steps[] = {
        {"stage", kStage, 1000, notReserved},
        {"commit", kCommit, 0, notReserved},
        {"discard", kDiscard, 0, notReserved},
        {"actual", kActual, 0, notReserved},
        {"reserve", kReserve, 0, 0},
        {"the whole budget", kStage, 225000000, 0},
        {"commit", kCommit, 0, 0},
        {"actual", kActual, 225000000, 0},
        {"one more microwatt", kStage, 225000001, KELVO_STATUS_POWER_BUDGET_EXCEEDED},
        {"a decrease", kStage, 25000000, 0},
        {"discarded", kDiscard, 0, 0},
        {"a commit after the discard", kCommit, 0, 0},
        {"still the whole budget", kActual, 225000000, 0},
    };
    const int handle = open(add("solstra"));
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        std::pair<int32_t, uint32_t> got; // the status and the result word (the power, of kActual)
        if (step.op == kStage) {
            const auto out = ASK(corran_stagePowerAllocation, handle, 0, {}, step.power, 0);
            got = {out.status, out.result};
        } else if (step.op == kActual) {
            const auto out = ASK(corran_getActualPowerAllocation, handle, 0, {}, 0);
            got = {out.status, out.powerMicrowatts};
        } else {
            got = {step.op == kReserve  ? reserveAll(handle)
                   : step.op == kCommit ? ASK(corran_commitPowerAllocation, handle, 0, {}, 0).status
                                        : ASK(corran_discardPowerAllocation, handle, 0, {}, 0).status,
                   0};
        }
        EXPECT_EQ(got, std::make_pair(step.status, step.op == kActual ? step.power : 0u));
    }
}

using E2EStorage = kelvo_test::HostedTest;

// What the C API adds to a map's own checks: a newer name's warning, the byte count's overflow; past the
// lookup a read the map refuses or fails still hands the caller its bytes, zeros where it read nothing.
// The flash window's size.
TEST_F(E2EStorage, RawAccessBoundsAndNames) {
    const int index = add("solstra");
    const int handle = open(index);
    constexpr int kData = -1; // the caller's buffer holds what was read
    struct Case {
        const char* what;
        std::string map;
        uint64_t count, size;
        bool flashFails; // the map's sector dropped (a failed refresh) and read again while the flash hangs
        int32_t code;
        int zeros; // leading bytes of the caller's buffer that become zeros; the rest stays
    } cases[] = {
        {"serial number", kManufacturing, 1, 4, false, 0, kData},
        {"newer: a warning", "Header_Ver1.0.0d1", 1, 32, false, KELVO_STATUS_CLIENT_VERSION_NEWER, kData},
        {"count 0", kManufacturing, 0, 4, false, KELVO_STATUS_NULL_POINTER, 0},
        {"element size 0", kManufacturing, 1, 0, false, KELVO_STATUS_INDEX_OUT_OF_RANGE, 0},
        {"byte count beyond 64 bits", kManufacturing, uint64_t{1} << 62, 8, false,
         KELVO_STATUS_INDEX_OUT_OF_RANGE, 0},
        {"no map of that name", "Nothing_Ver1.0.0d0", 1, 4, false, KELVO_STATUS_NAME_NOT_FOUND, 0},
        {"more elements than the field has", kManufacturing, 2, 4, false, KELVO_STATUS_INDEX_OUT_OF_RANGE, 8},
        {"the flash read fails", kManufacturing, 1, 4, true, KELVO_STATUS_FLASH_BUSY_TIMEOUT, 4},
    };
    kal::clock::ScopedStepped stepped(10'000); // a hanging flash's time-out in a few thousand clock reads
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buffer(64, 0xEE), untouched(64, 0xEE);
        module(index).flash().setStuckBusy(c.flashFails);
        if (c.flashFails) {
            EXPECT_EQ(ASK_NAMED(storageMap_refresh, handle, kManufacturing).status, c.code);
        }
        EXPECT_EQ(raw(handle, false, c.map, 12, c.count, buffer.data(), c.size), c.code);
        module(index).flash().setStuckBusy(false);
        std::fill_n(untouched.begin(), std::max(c.zeros, 0), 0);
        EXPECT_EQ(buffer == untouched, c.zeros != kData);
    }
    const auto valid = ASK_NAMED(storageMap_isChecksumValid, handle, "Posc_Ver1.0.0d0");
    EXPECT_EQ(std::make_pair(valid.status, valid.valid),
              std::make_pair(int32_t{KELVO_STATUS_NO_CHECKSUM}, uint8_t{0}));
    EXPECT_EQ(ASK_NAMED(deviceWindow_getSizeInBytes, handle, "flashWindow").size, 1048576u)
        << "the flash the maps live in";
}

// A refused read's zeros are written with the map released: while they wait at their first copy, another
// handle's read of the map ends; then the refused read hands back zeros for all it asked, with its code.
TEST_F(E2EStorage, ARefusedReadsZerosHoldUpNoOtherReadOfTheMap) {
    const int index = add("solstra");
    const int a = open(index), b = open(index);
    std::vector<uint8_t> zeros(16384, 0xEE), serial(4, 0xEE);
    std::promise<void> reached, go;
    const auto within = [](const auto& future, int seconds) {
        return future.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
    };
    auto refused = std::async(std::launch::async, [&, resume = go.get_future()] {
        kal::usermem::CopyHook hook([&](uint64_t at, uint64_t, kal::usermem::Access) {
            if (at == address(zeros.data())) { // the first page of zeros
                reached.set_value();
                within(resume, 120);
            }
        });
        return raw(a, false, kManufacturing, 12, zeros.size() / 4, zeros.data(), 4);
    });
    const bool paused = within(reached.get_future(), 30);
    auto beside = std::async(std::launch::async,
                             [&] { return raw(b, false, kManufacturing, 12, 1, serial.data(), 4); });
    const bool ended = within(beside, 30), pausedStill = !within(refused, 0);
    go.set_value();
    EXPECT_EQ(std::make_tuple(paused, ended, pausedStill, beside.get(), refused.get()),
              std::make_tuple(true, true, true, 0, int32_t{KELVO_STATUS_INDEX_OUT_OF_RANGE}));
    EXPECT_EQ(zeros, std::vector<uint8_t>(zeros.size(), 0));
    EXPECT_NE(serial, std::vector<uint8_t>(serial.size(), 0xEE));
}

using E2EBounds = kelvo_test::HostedTest;

// An eight-byte list before a page without access: a count past it fails the reset at level 18 with
// the copy's code; no count asks for more memory than a one-entry list does.
TEST_F(E2EBounds, AResetsErrorListCostsNoAllocationSizedByItsCount) {
    const int index = add("solstra");
    ClientPages pages("wn");
    kelvo_custom_reset_parameters p{};
    p.errorsToDisablePtr = address(pages.at(pageSize() - 8));
    p.numberOfErrorsToDisable = 1;
    kal::memory::resetCounters();
    ASSERT_EQ(resetTo(index, 19, &p), 0);
    const std::uint64_t largest = kal::memory::largestRequest();

    for (const std::uint64_t count : {2ull, 0x10000000ull, 0x1FFFFFFFull, 1ull}) {
        SCOPED_TRACE(count);
        p.numberOfErrorsToDisable = count;
        kal::memory::resetCounters();
        EXPECT_EQ(resetTo(index, 19, &p), count == 1 ? 0 : KELVO_STATUS_NOT_ACCESSIBLE)
            << "the copy's bad-address code";
        EXPECT_EQ(levelOf(index), count == 1 ? 19u : 17u);
        EXPECT_LE(kal::memory::largestRequest(), largest);
    }
}

constexpr uint32_t kRoutingNotifier = 0x80000000;

// A request on a handle that may be closing: the transport code (out is filled when it is 0).
template <class Out, class In> int send(int handle, uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    return kelvo_ioctl(handle, code, &header);
}

kelvo_routing_calculateRoute_in search(const kelvo_route_seed& seed, const std::vector<uint32_t>& to,
                                       void* buffer, uint32_t capacity) {
    const auto count = static_cast<uint32_t>(to.size());
    return {7, address(&seed), 1, 0, address(to.data()), count, 0, address(buffer), capacity, 0};
}

// One thread routes on a handle while another cleans it up (at a point moving from round to round) and
// closes it: every request answers as before or after the cleanup, or as closed; no route stays.
using RoutingUnderLoad = kelvo_test::HostedTest;

TEST_F(RoutingUnderLoad, CleanupAndCloseBesideTheHandlesOwnRequests) {
    const int index = add("solstra");
    const kelvo_route_seed seed{3, 0, 0, {}};
    const std::vector<uint32_t> two = {2};
    const int closed = KELVO_E_INVALID;
    const int refused = nVOAPAL200_statusToKALStatus(kNoRouting);
    int unexpected = 0;
    for (int round = 0; round < 200; ++round) {
        const int handle = open(index);
        std::latch start(2);
        std::thread router([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 6; ++i) {
                kelvo_notifier_payload payload{1, kelvo_destination(handle), kRoutingNotifier};
                const int opened = kelvo_ioctl(handle, KELVO_IOCTL_CREATE_NOTIFIER, &payload);
                kelvo_route_possibility found{};
                kelvo_routing_calculateRoute_out out{};
                const int routed =
                    send(handle, KELVO_IOCTL_routing_calculateRoute, search(seed, two, &found, 1), out);
                kelvo_status_record gone{};
                const int destroyed = send(handle, KELVO_IOCTL_routing_destroyRoute,
                                           kelvo_routing_destroyRoute_in{found.routeID, 0}, gone);
                const int shut = kelvo_ioctl(handle, KELVO_IOCTL_DESTROY_NOTIFIER,
                                             reinterpret_cast<void*>(uintptr_t{kRoutingNotifier}));
                unexpected += !(opened == 0 || opened == refused || opened == closed) ||
                              !(routed == closed || (routed == 0 && out.status == kNoRouting) ||
                                (routed == 0 && out.status == 0 && out.possibilitiesCount == 1)) ||
                              !(destroyed == closed || (destroyed == 0 && gone.status == 0)) ||
                              !(shut == 0 || shut == closed);
            }
        });
        start.arrive_and_wait();
        for (int i = 0; i < round % 6; ++i) {
            ASK(kelvo_getSetupLevel, handle, 0);
        }
        EXPECT_EQ(ASK(kdut_cleanup, handle, 0).status, 0);
        EXPECT_EQ(kelvo_close(handle), 0);
        router.join();
    }
    EXPECT_EQ(unexpected, 0) << "answers neither before nor after the cleanup";
    auto& routing = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::RoutingObjects>();
    EXPECT_EQ(static_cast<voark::RoutingResources*>(routing.getRoutingResources())->database().size(), 0u);
}

// The device serves the test's topography (terminal 1 reaches each terminal of a star twice and the
// far end of a long chain); the board's own is handed back at the end.
class RoutingOnALargeTopography : public kelvo_test::HostedTest {
protected:
    static constexpr uint32_t kStar = 4096;  // terminals 2 .. 4097
    static constexpr uint32_t kChain = 4200; // terminals 4098 .. 8297, in a line from terminal 1
    static constexpr uint32_t kChainEnd = 1 + kStar + kChain;

    void SetUp() override {
        HostedTest::SetUp();
        static const routing_test::Graph graph([] {
            routing_test::GraphPlan plan{routing_test::plainTerminals(kChainEnd), {}, {}};
            for (uint32_t t = 1; t < kChainEnd; ++t) {
                plan.edges.push_back({t <= kStar + 1 ? 0 : t - 1, t});
                if (t <= kStar) {
                    plan.edges.push_back({0, t, 1, 1});
                }
            }
            return plan;
        }());
        index_ = add("solstra");
        tStatus status;
        resources_.emplace(graph.info(), nullptr, status);
        manager_ = deviceOf(index_)->getKelvoHelper()->getRoutingResourcesManager();
        manager_->clearRoutingResources();
        manager_->setRoutingResources(&*resources_);
    }
    void TearDown() override {
        manager_->clearRoutingResources(); // handles still open lose their routes
        deviceOf(index_)->getKelvoHelper()->setRoutingResources();
        resources_.reset();
        HostedTest::TearDown();
    }
    size_t routes() const { return resources_->database().size(); } // every handle's
    // The first count terminals of the star.
    static std::vector<uint32_t> star(uint32_t count) {
        std::vector<uint32_t> ids(count);
        std::iota(ids.begin(), ids.end(), 2u);
        return ids;
    }

    struct Answer {
        int32_t status;
        uint32_t count;
        std::vector<kelvo_route_possibility> records; // the caller's buffer afterwards (0xAB bytes before)
    };
    // A search from terminal 1 into `records` records said to hold capacity (by default two a destination).
    static Answer calculate(int handle, const std::vector<uint32_t>& destinations, uint32_t capacity = 0,
                            uint32_t records = 0) {
        static const kelvo_route_seed seed{1, 0, 0, {}};
        capacity = capacity != 0 ? capacity : static_cast<uint32_t>(2 * destinations.size());
        std::vector<kelvo_route_possibility> buffer(records != 0 ? records : capacity);
        std::memset(buffer.data(), 0xAB, buffer.size() * sizeof(kelvo_route_possibility));
        const auto out = answer<kelvo_routing_calculateRoute_out>(
            handle, KELVO_IOCTL_routing_calculateRoute, search(seed, destinations, buffer.data(), capacity));
        return {out.status, out.possibilitiesCount, buffer};
    }

    int index_ = -1;
    voark::RoutingResourcesManagerInterface* manager_ = nullptr;
    std::optional<voark::RoutingResources> resources_;
};

// A search or reset route past a handle's bound is refused and keeps nothing, room made is used again;
// another handle's route, recorded before them all, is found and destroyed as ever.
TEST_F(RoutingOnALargeTopography, AHandleKeepsBoundedRoutesBesideAnothersRoute) {
    constexpr uint32_t kBound = KELVO_ROUTING_MAX_ROUTES_PER_HANDLE;
    const int other = open(index_);
    const uint32_t early = calculate(other, {kChainEnd}).records[0].routeID;
    const int full = open(index_);
    uint32_t kept = 0;
    for (; kept + 2 * kStar <= kBound - 2; kept += 2 * kStar) {
        ASSERT_EQ(calculate(full, star(kStar)).status, 0);
    }
    const Answer filler = calculate(full, star((kBound - 2 - kept) / 2));
    ASSERT_EQ(kept + filler.count, kBound - 2);
    // Each search to terminal 2 finds two routes.
    const struct {
        const char* what;
        bool makeRoom; // destroy one route first
        int32_t status;
        uint32_t count, keptAfter;
    } searches[] = {
        {"into the last room", false, 0, 2, kBound},
        {"of a full handle", false, tStatus::kOutOfMemory, 0, kBound},
        {"finding two for one room", true, tStatus::kOutOfMemory, 2, kBound - 1},
    };
    for (const auto& c : searches) {
        SCOPED_TRACE(c.what);
        if (c.makeRoom) {
            EXPECT_EQ(ASK(routing_destroyRoute, full, filler.records[0].routeID, 0).status, 0);
        }
        const Answer a = calculate(full, {2});
        EXPECT_EQ(std::make_pair(a.status, a.count), std::make_pair(c.status, c.count));
        EXPECT_EQ(routes(), 1u + c.keptAfter) << "the other handle's route and the full one's";
    }
    const auto resetRoute = [&] { return ASK(routing_calculateResetTerminal, full, 7, 2, 0, 0, 0); };
    EXPECT_EQ(resetRoute().status, 0) << "a reset route into the last room";
    EXPECT_EQ(resetRoute().status, tStatus::kOutOfMemory) << "and none past it";
    EXPECT_EQ(routes(), 1u + kBound);

    std::vector<uint32_t> path(kChain + 1);
    EXPECT_EQ(ASK(routing_getRouteTerminalPath, other, early, 0, address(path.data()), kChain + 1, 0).status,
              0);
    EXPECT_EQ(path.back(), kChainEnd);
    EXPECT_EQ(ASK(routing_destroyRoute, other, early, 0).status, 0);
    EXPECT_EQ(routes(), kBound);
    EXPECT_EQ(inOrder({kelvo_close(full), kelvo_close(other)}), 0);
    EXPECT_EQ(routes(), 0u);
}

// The memory behind a handle's routes follows the routes it keeps, not those it made: keeping the first
// of each search of 100 routes and destroying the rest as it goes costs per kept route what keeping one
// of each search of two does (well under a KiB); destroying the rest only at the end, at most a page.
TEST_F(RoutingOnALargeTopography, RouteMemoryFollowsTheRoutesKept) {
    constexpr uint32_t kKept = 8;
    const struct {
        uint32_t searched; // star terminals: two routes each
        bool destroyedAtTheEnd;
    } patterns[] = {{1, false}, {50, false}, {50, true}};
    std::vector<size_t> perKept;
    for (const auto& p : patterns) {
        SCOPED_TRACE(perKept.size());
        const int handle = open(index_);
        // Refused for want of room, it keeps no route but grows the search queue the resources keep.
        ASSERT_EQ(calculate(handle, star(300), 500).status, tStatus::kBufferTooSmall);
        const size_t before = kal::memory::liveBytes();
        std::vector<uint32_t> rest;
        const auto destroyRest = [&] {
            for (const uint32_t id : std::exchange(rest, {})) {
                ASSERT_EQ(ASK(routing_destroyRoute, handle, id, 0).status, 0);
            }
        };
        for (uint32_t k = 0; k < kKept; ++k) {
            const Answer a = calculate(handle, star(p.searched));
            ASSERT_EQ(std::make_pair(a.status, a.count), std::make_pair(0, 2 * p.searched));
            for (uint32_t i = 1; i < a.count; ++i) {
                rest.push_back(a.records[i].routeID);
            }
            if (!p.destroyedAtTheEnd) {
                destroyRest();
            }
        }
        destroyRest();
        perKept.push_back((kal::memory::liveBytes() - before) / kKept);
        EXPECT_EQ(kelvo_close(handle), 0);
    }
    EXPECT_GT(perKept[0], 0u);
    EXPECT_LT(perKept[0], 1024u);
    EXPECT_LE(perKept[1], 2 * perKept[0]);
    EXPECT_LE(perKept[2], 4096 + perKept[0]);
}

// Answers longer than a page of records fit a capacity that holds them; one short is refused with the
// count needed, writing and keeping nothing; a capacity above the buffer's size costs nothing by itself.
TEST_F(RoutingOnALargeTopography, AnswersLongerThanAPageFitTheCallersCapacity) {
    const int handle = open(index_);
    constexpr uint32_t kFound = 2 * kStar; // a plain and an inverted route to each terminal of the star
    const struct {
        const char* what;
        uint32_t capacity;
        uint32_t records; // the buffer's true size
        int32_t status;
    } searches[] = {
        {"a capacity of the records found", kFound, kFound, 0},
        {"a capacity above the buffer's size", 0xFFFFFFFF, kFound, 0},
        {"a capacity one short", kFound - 1, kFound - 1, tStatus::kBufferTooSmall},
    };
    for (const auto& c : searches) {
        SCOPED_TRACE(c.what);
        const size_t before = routes();
        const Answer a = calculate(handle, star(kStar), c.capacity, c.records);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.count, kFound) << "found, or needed";
        EXPECT_EQ(routes(), before + (c.status == 0 ? kFound : 0)) << "no route kept when refused";
        EXPECT_EQ(a.records.back().routeID == 0xABABABAB, c.status != 0) << "written only when answered";
    }
    const uint32_t line = calculate(handle, {kChainEnd}).records[0].routeID;
    for (const uint32_t capacity : {kChain + 1, kChain}) {
        std::vector<uint32_t> ids(capacity, 0xABABABAB);
        const auto out = ASK(routing_getRouteTerminalPath, handle, line, 0, address(ids.data()), capacity, 0);
        EXPECT_EQ(out.status, capacity > kChain ? 0 : tStatus::kBufferTooSmall);
        EXPECT_EQ(out.pathLength, kChain + 1) << "found, or needed";
        EXPECT_EQ(ids.back(), capacity > kChain ? kChainEnd : 0xABABABABu);
    }
}

} // namespace
