// Register access from several handles through the C API: what one request does with a tree of register
// maps (a set and its flush, a whole SPI transaction, a poll's read, a write-protect toggle, a whole-map
// flush) is never interleaved with another handle's request on the same tree, whichever name, whole map or
// controller either reaches it through. Each race is made to happen every time: one request is stopped in
// the simulated module at its access to a register (a tap), and the other runs meanwhile; it must wait
// for the first on the tree's lock, the only lock the two share.
#include "client_pages.h"
#include "core/reg_maps_task.h"
#include "core_test_support.h"
#include "regmaps/isolated_reg_maps.h"
#include "test_worker.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;

// The maps by name: the measure unit's, the Solstra board's (whose prefix its sub-maps share), the
// bridge's and the timing chip's.
#define KELVO_MAP(name) name "_Ver1.0.0d379"
#define KELVO_FLEX_LOOP(board) "SeqChannelWin_" board "SeqChRegMap_KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap"
#define KELVO_SOLSTRA(window) KELVO_MAP("SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap" window)
#define KELVO_SOLSTRA_SEQ(window)                                                                            \
    KELVO_MAP("SolstraIsoTopRegMap_SeqTopWin_SolstraSeqTopRegMap_ChannelWin_SolstraChSeqTopRegMap_" window)
constexpr const char* kSolstraFlexLoop = KELVO_SOLSTRA_SEQ(KELVO_FLEX_LOOP("Solstra"));
constexpr const char* kSolstraEngine = // the sequence engine's map, in the isolated FPGA
    KELVO_SOLSTRA_SEQ("SeqChannelWin_SolstraSeqChRegMap_KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap");
constexpr const char* kDuskmereFlexLoop =
    KELVO_MAP("DuskmereNisoTopRegMap_SeqTopWin_DuskmereSeqTopRegMap_"
              "ChannelWins0_DuskmereChSeqTopRegMap_" KELVO_FLEX_LOOP("Duskmere"));
constexpr const char* kBoard = KELVO_SOLSTRA("");
constexpr const char* kStandard = KELVO_SOLSTRA("_StandardRegsWin_SolstraStandardRegs");
constexpr const char* kRequired =
    KELVO_SOLSTRA("_StandardRegsWin_SolstraStandardRegs_RequiredRegsWin_RequiredRegs");
constexpr const char* kStreamControl = KELVO_SOLSTRA("_StreamControlWin_KelvoStreamControlRegMap");
constexpr const char* kLink = KELVO_SOLSTRA("_IsoRegAccessWin0_KelvoRegAccessRegMap");
constexpr const char* kCredits = KELVO_MAP("SolstraNisoTopRegMap_ChannelWin_SolstraNisoChRegMap_"
                                           "KelvoNisoStreamControlWin_KelvoNisoStreamControlRegMap");
constexpr const char* kSpi = "BrixelConfigPortSPI_Ver2.3.0f7";
constexpr const char* kOutputs = "DO_Ver200a13081315";
constexpr uint64_t kSector = 0x8000; // a flash sector that setup does not read

// What a row's two requests do: by name on the row's register (the whole-map flushes on its tree's top,
// All forced), or a sequence of a controller through it.
// clang-format off
enum Op {
    kSet, kGet, kRead, kWrite, kFlush, kRefresh, kFlushMap, kFlushAll,
    kTrigger, kLatch, kAbort,   // the measure unit: overrideTrigger, checkEventLatch, its reset
    kEngineStart,               // the sequence engine's start with one command (the running flag, the
                                //   command FIFO's fullness, the start strobe)
    kFlashRead, kFlashWrite,    // "flashWindow": a read; the flush of a set (the write protection off first)
    kCheck, kTemperature,       // the hardware-state check (the signature verifiers), the Vref temperature
    kSend, kHalt, kStream,      // DMA: a start and a stop of channel 1 (the credits), a start of 0 (its
    kClearFifo,                 //   status poll); a reset of channel 0's FIFO
    kPortRead,                  // a read by name of the IO port (a transaction of the bridge's port)
    kRelink,                    // another isolated group built over the link (its lock installed on the map)
};
// clang-format on

struct Row {
    const char* board;
    Op paused;       // stopped at its access to the register
    Op beside;       // another handle's request meanwhile
    const char* map; // the register: its map, its register or field id, what a set or a write puts there
    uint32_t id;
    uint32_t value = 0;
    int nth = 1;                 // it stops at its nth access there
    const char* block = nullptr; // where it stops when not at the register: a block of BAR 0 and an offset
    uint64_t offset = 0;
};

class RegisterAccess : public HostedTest {
protected:
    void plug(const std::string& board) {
        index = add(board, [](sim::Module& m) { m.enableDma(); });
        a = open(index);
        b = open(index);
    }
    void unplug() {
        EXPECT_EQ(module(index).deviceErrorCount(), 0u)
            << ::testing::PrintToString(module(index).deviceErrors());
        kelvo_close(a);
        kelvo_close(b);
        remove(index);
    }
    kelvo_driver::KelvoHelper& helper() const { return *deviceOf(index)->getKelvoHelper(); }
    // Starts request on a worker and returns once it ended or blocks.
    static void meanwhile(std::optional<Worker>& worker, const std::function<void()>& request) {
        worker.emplace(request);
        while (!worker->done() && !kal::thread::isBlocked(worker->id())) {
            std::this_thread::yield();
        }
    }

    // Where a row's register meets the module: a block and the offset in it, and the bits of its field.
    struct Place {
        sim::Block* block;
        uint64_t offset;
        uint32_t lsb = 0, width = 32;
    };
    // The register's address on its map's bus and its field's bits.
    template <class Map> static Place fieldOf(Map& map, uint32_t id) {
        const auto& tables = map.tables();
        for (const auto* table : {&tables.get, &tables.set, &tables.read, &tables.write}) {
            if (const auto* entry = arm::findSortedEntry(table->entries, table->count, arm::dataKey(id))) {
                return {nullptr, *static_cast<const uint32_t*>(tables.recordAt(map, entry->reg)), entry->lsb,
                        entry->width};
            }
        }
        ADD_FAILURE() << std::hex << id;
        return {nullptr, 0};
    }
    Place placeOf(const Row& row) const {
        sim::Module& m = module(index);
        if (row.block != nullptr) {
            return {m.bar0().find(row.block), row.offset};
        }
        tStatus status;
        arm::DynamicAccessInterfaceBase<tStatus>* map = nullptr;
        helper().getARMDispatcher().getRegistration(row.map, &map, status, nullptr);
        const std::string name = row.map;
        Place place{nullptr, 0};
        if (name.find("TopRegMap") == std::string::npos) { // the bridge's or the timing chip's: in BAR 0
            auto& sized = *static_cast<arm::tSizedRegisterMapBase*>(map);
            place = fieldOf(sized, row.id);
            place.offset += sized.bus().memory()->base() -
                            helper().getTaskAs<kelvo_driver::TYMOObjectsInterface>().getMappedWindow();
        } else {
            place = fieldOf(*static_cast<arm::tRegisterMapBase*>(map), row.id);
            if (name.find("IsoTopRegMap") != std::string::npos) { // through the link
                return {&m.isoFpga(), place.offset, place.lsb, place.width};
            }
            place.offset += sim::Module::kNisoFpgaBase;
        }
        std::tie(place.block, place.offset) = m.bar0().blockAt(place.offset);
        return place;
    }

    // What a request needs first: the measure unit armed, a byte of the flash sector changed, a channel's
    // reservation and a transfer added (and started, to stop it), the register dirty for a flush.
    void prepare(const Row& row, Op op, int handle) {
        const uint64_t at = address(page.data());
        if (op == kTrigger || op == kLatch || op == kAbort) {
            EXPECT_EQ(
                inOrder({op == kLatch ? reserveAll(handle) : 0, ASK(measureUnit_arm, handle, 0, 0).status}),
                0);
        } else if (op == kEngineStart) {
            module(index).sequencerSide()->sequencer().pushCommand(0); // a no-op
        } else if (op == kFlashWrite) {
            const uint8_t changed = static_cast<uint8_t>(~module(index).flash().contents()[kSector]);
            const kelvo_deviceWindow_set_in in{0, 0, address(&changed), kSector, 1, 0, 0};
            EXPECT_EQ(statusOf(handle, KELVO_IOCTL_deviceWindow_set, named(in, "flashWindow")), 0);
        } else if (op == kStream || op == kClearFifo) {
            EXPECT_EQ(inOrder({reserveAll(handle),
                               ASK(brixelTools_addTransferFromDevice, handle, 0, 0, at, 4096, 0, 0).status}),
                      0);
        } else if (op == kSend || op == kHalt) {
            EXPECT_EQ(inOrder({reserveAll(handle),
                               ASK(brixelTools_addTransferToDevice, handle, 1, 0, at, 4096, 1, 0).status,
                               op == kHalt ? request(row, kSend, handle) : 0}),
                      0);
        } else if (op == kFlush || op == kFlushMap) { // another value than a set beside puts there
            EXPECT_EQ(request({row.board, kSet, kSet, row.map, row.id, ~row.value}, kSet, handle), 0);
        }
    }
    int32_t request(const Row& row, Op op, int handle) {
        const uint64_t name = address(row.map), length = std::strlen(row.map);
        const std::string map = row.map, top = map.substr(0, map.find('_')) + map.substr(map.rfind("_Ver"));
        constexpr const char* kPort = "IOPort2RegMap_Ver2.3.0f7";
        switch (op) {
        case kSet:
            return statusOf(handle, KELVO_IOCTL_arm_set,
                            kelvo_arm_set_in{name, length, row.id, row.value, 0, 0});
        case kGet:
            return ASK(arm_get, handle, name, length, row.id, 0).status;
        case kRead:
            return ASK(arm_read, handle, name, length, row.id, 0).status;
        case kWrite:
            return statusOf(handle, KELVO_IOCTL_arm_write,
                            kelvo_arm_write_in{name, length, row.id, row.value, 1, {}, 0});
        case kFlush:
            return statusOf(handle, KELVO_IOCTL_arm_flushRegister,
                            kelvo_arm_flushRegister_in{name, length, row.id, 0, {}, 0, 0});
        case kRefresh:
            return ASK(arm_refreshRegister, handle, name, length, row.id, 0).status;
        case kFlushMap:
        case kFlushAll:
            return statusOf(handle, KELVO_IOCTL_arm_flushRegMap,
                            named(kelvo_arm_flushRegMap_in{0, 0, op == kFlushAll, {}, 0}, top));
        case kTrigger: {
            const auto out = ASK(triggersAndEvents_overrideTrigger, handle, 0, 0x40C, 0);
            return out.status != 0 ? out.status : static_cast<int32_t>(out.result) - 1; // 0: a pulse sent
        }
        case kLatch: // the measure unit's event
            return ASK(triggersAndEvents_checkEventLatch, handle, 1, 0x135, 0, 0).status;
        case kAbort:
            return ASK(measureUnit_reset, handle, 0, 0).status;
        case kEngineStart:
            return ASK(wexmoor_startSequenceEngine, handle, 1, 1, 0).status;
        case kFlashRead: {
            std::vector<uint8_t> bytes(64);
            const kelvo_deviceWindow_read_in in{0, 0, kSector, bytes.size(), address(bytes.data()), 0, 0};
            return statusOf(handle, KELVO_IOCTL_deviceWindow_read, named(in, "flashWindow"));
        }
        case kFlashWrite:
            return statusOf(handle, KELVO_IOCTL_deviceWindow_flush,
                            named(kelvo_deviceWindow_flush_in{0, 0, kSector, 1, 0, {}, 0}, "flashWindow"));
        case kCheck:
            return ASK(kdut_checkHardwareState, handle, 0, 0, 0).status;
        case kTemperature:
            return ASK(corran_readTemperatureSensor, handle, 0, 0).status;
        case kSend:
        case kStream:
            return ASK(brixelTools_startDMA, handle, op == kSend ? 1u : 0u, 0, {}, 0).status;
        case kHalt:
        case kClearFifo:
            return statusOf(handle,
                            op == kHalt ? KELVO_IOCTL_brixelTools_stopDMA
                                        : KELVO_IOCTL_brixelTools_clearApplicationFIFO,
                            kelvo_brixelTools_stopDMA_in{op == kHalt ? 1u : 0u, 0});
        case kPortRead: // its control register
            return ASK(arm_read, handle, address(kPort), std::strlen(kPort), 0x80000000, 0).status;
        case kRelink: { // with dispatchers of its own; its construction installs its lock on the link's map
            armki::ARMDispatcher arms;
            devicewindow::DeviceWindowDispatcher windows;
            auto& niso =
                helper().getTaskAs<kelvo_driver::NonIsolatedRegMapsTaskInterface>().getNonIsolatedRegMaps();
            tStatus status;
            delete new (status, false) kelvo_driver::IsolatedRegMaps(
                niso.wrapper, arms, windows, nullptr, nullptr, helper().getCapsTask().capsPtr, status);
            return static_cast<int32_t>(status.getCode());
        }
        }
        return -1;
    }

    int index = -1;
    int a = -1, b = -1;
    std::vector<uint8_t> page = std::vector<uint8_t>(4096);
};

// One request is stopped in the module at its access to a register, holding its tree's lock; another
// handle's request on the same tree, sharing no other lock with it, starts meanwhile and must wait in the
// driver: ended, or reaching the module (waiting for the module's lock, which the tap holds), it went past
// the tree's lock. Once both ended, a set's field flushed by name is the register's last write: let through,
// a set landing between a flush's write and its clearing of the dirty flag is lost. Steps that only setup
// runs (the transformer drive, the link's commands, the board revision, the local RAM) take no tree lock
// and have no row: no request runs beside setup.
TEST_F(RegisterAccess, AnotherHandlesRequestOnTheSameTreeWaits) {
    constexpr uint32_t kMuCtrl = 0x8094F055, kMuStatus = 0x80787BBA;        // the main measure unit's
    constexpr uint32_t kScratch = 0x8033B4C6;                               // RequiredRegs' BasicScratch0
    constexpr uint32_t kReadMode = 0x80000004, kReadModeSpare = 0x18000004; // the SPI map's, and its bit 6
    constexpr uint32_t kStatic = 0x80000004, kCreditControl = 0x809E2E0B;   // the static outputs, the credits
    const Row rows[] = {
        {"solstra", kTrigger, kSet, kSolstraFlexLoop, kMuCtrl, 2},
        {"duskmere-a", kLatch, kGet, kDuskmereFlexLoop, kMuStatus},
        {"duskmere-a", kAbort, kSet, kDuskmereFlexLoop, kMuCtrl, 1},
        {"solstra", kEngineStart, kGet, kSolstraEngine, 0x8001D98C},    // SequencerStatus: running?
        {"solstra", kEngineStart, kGet, kSolstraEngine, 0x80B1F0DE},    // CommandFifoFullness
        {"solstra", kEngineStart, kSet, kSolstraEngine, 0x804DA5B3, 2}, // SequencerControl (the strobe)
        {"solstra", kFlushMap, kSet, kRequired, kScratch, 0x2222},
        {"solstra", kFlush, kTemperature, kRequired, kScratch},
        {"solstra", kRefresh, kTemperature, kRequired, kScratch},
        {"solstra", kRead, kTemperature, kBoard, 0x8051F68F}, // VrefTemperature
        {"solstra", kCheck, kGet, kStandard, 0x8029F3D0},     // the board's signature
        {"solstra", kFlashRead, kSet, kSpi, kReadModeSpare, 1},
        {"solstra", kFlashRead, kGet, kSpi, kReadMode},
        {"solstra", kRead, kFlashRead, kSpi, kReadMode},
        {"solstra", kWrite, kFlashRead, kSpi, kReadMode, 0x5A},
        {"solstra", kFlush, kFlashRead, kSpi, kReadMode},
        {"solstra", kRefresh, kFlashRead, kSpi, kReadMode},
        {"solstra", kFlashRead, kGet, "BrixelConfigPortWindow_Ver2.3.0f7", 0x800000E0}, // the flash address
        {"solstra", kFlashWrite, kSet, kOutputs, kStatic, 1},    // write protection off
        {"solstra", kFlashWrite, kSet, kOutputs, kStatic, 1, 2}, // and on again
        {"solstra", kFlushAll, kFlashWrite, kOutputs, kStatic, 0, 1, "timing-chip", 0x38}, // the output timer
        {"solstra", kCheck, kGet, "Brixel_Ver2.3.0f7", 0xC0000000}, // the bridge's signature
        {"solstra", kPortRead, kGet, "SwitchedBrixelBimRegMap_Ver2.3.0f7", 0x80000688}, // its port command
        {"solstra", kSend, kSet, kCredits, kCreditControl, 1u << 16},                   // the credits' start
        {"solstra", kHalt, kSet, kCredits, kCreditControl, 1u << 17},                   // and stop
        {"solstra", kHalt, kGet, kCredits, 0x80D70687},                                 // stopped?
        {"solstra", kClearFifo, kSet, kStreamControl, 0x8058357D, 1},           // channel 0's FIFO reset
        {"solstra", kStream, kGet, "BrixelDMAChannel0_Ver2.3.0f7", 0xC0000060}, // the channel's status
        {"solstra", kWrite, kRelink, kLink, 0x80E420F1, 0x5EED},                // the link's write data
    };
    enum Beside { kEnded, kWaitsInTheDriver, kReachesTheModule, kRunning };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "row " << &row - rows << ": " << row.paused << " stopped at " << row.map << " "
                     << std::hex << row.id << ", " << std::dec << row.beside << " beside");
        plug(row.board);
        prepare(row, row.paused, a);
        prepare(row, row.beside, b);
        const Place place = placeOf(row);
        std::atomic<const void*> pausedTag = nullptr, besideTag = nullptr;
        std::atomic<bool> reached = false, go = false;
        int accesses = 0; // the paused request's, at the place
        place.block->setTap(place.offset, [&] {
            if (sim::ModuleMutex::threadTag() == pausedTag && ++accesses == row.nth) {
                for (reached = true; !go;) {
                    std::this_thread::yield();
                }
            }
        });
        int32_t pausedCode = -1, besideCode = -1;
        Worker paused(
            [&] { pausedTag = sim::ModuleMutex::threadTag(), pausedCode = request(row, row.paused, a); });
        while (!reached && !paused.done()) {
            std::this_thread::yield();
        }
        Worker beside(
            [&] { besideTag = sim::ModuleMutex::threadTag(), besideCode = request(row, row.beside, b); });
        Beside state = kRunning;
        while (state == kRunning) {
            std::this_thread::yield();
            const void* tag = besideTag;
            state = beside.done()                            ? kEnded
                    : kal::thread::isBlocked(beside.id())    ? kWaitsInTheDriver
                    : tag && module(index).waitsForLock(tag) ? kReachesTheModule
                                                             : kRunning;
        }
        go = true;
        paused.join();
        beside.join();
        place.block->setTap(place.offset, {});
        EXPECT_EQ(std::tuple(reached.load(), state, pausedCode, besideCode),
                  std::tuple(true, kWaitsInTheDriver, 0, 0));
        if (row.beside == kSet) {
            EXPECT_EQ(request(row, kFlush, b), 0);
            const std::vector<uint64_t> writes = place.block->writtenValues(place.offset);
            const uint64_t mask = place.width >= 32 ? 0xFFFFFFFFu : (1u << place.width) - 1;
            EXPECT_EQ(writes.empty() ? ~0ULL : writes.back() >> place.lsb & mask, row.value);
        }
        unplug();
    }
}

// A forced whole-map flush of the isolated top map over a slow link holds the tree's lock for one handshake
// at a time: another handle's request on the tree (a hardware-state check reads the isolated board's
// signature) or close (its armed measure unit's reset; in the isolated FPGA on Solstra only) coming between
// two records answers before the flush's last write. The flush stops at its next lock after its tenth write
// until the other ends or blocks (on stepped time only at a lock).
TEST_F(RegisterAccess, AWholeMapFlushHoldsOffAnotherRequestForOneRecordAtMost) {
    enum Beside { kCheck, kClose };
    const std::pair<Beside, std::string> rows[] = {
        {kCheck, "solstra"}, {kCheck, "duskmere-a"}, {kClose, "solstra"}};
    for (const auto& row : rows) {
        const Beside beside = row.first; // (a structured binding cannot be captured)
        const std::string& board = row.second;
        SCOPED_TRACE(std::to_string(beside) + " on " + board);
        plug(board);
        const int c = open(index);
        EXPECT_EQ(ASK(measureUnit_arm, c).status, 0);
        sim::IsolationLink& link = module(index).isolationLink();
        link.setSlow(1, 1);
        const std::string top =
            (board == "solstra" ? "Solstra" : "Duskmere") + std::string("IsoTopRegMap_Ver1.0.0d379");
        const size_t start = link.isolatedWrites();
        size_t writtenWhenAnswered = 0;
        std::optional<Worker> other;
        const auto request = [&] {
            EXPECT_EQ(beside == kCheck ? ASK(kdut_checkHardwareState, c, 0, 0, 0).status : kelvo_close(c), 0);
            writtenWhenAnswered = link.isolatedWrites() - start;
            link.setSlow(0, 0); // the rest of the flush at once
        };
        {
            const kal::clock::ScopedStepped stepped(1000); // a poll ends by its reads, a spin by clock reads
            Worker flush([&] {
                kal::thread::onMutexAcquire([&] {
                    if (!other && link.isolatedWrites() >= start + 10) {
                        meanwhile(other, request);
                    }
                });
                const auto in = named(kelvo_arm_flushRegMap_in{0, 0, 1, {}, 0}, top);
                EXPECT_EQ(statusOf(b, KELVO_IOCTL_arm_flushRegMap, in), 0);
                kal::thread::onMutexAcquire({});
            });
            flush.join();
            ASSERT_TRUE(other.has_value());
            other->join();
        }
        EXPECT_LT(writtenWhenAnswered, link.isolatedWrites() - start);
        if (beside == kCheck) {
            kelvo_close(c);
        }
        unplug();
    }
}

} // namespace
