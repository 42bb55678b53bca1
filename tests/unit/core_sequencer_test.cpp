// The sequencer levels (10 to 13, 17 and 18) and their requests through the C API.

#include <algorithm>
#include <cstring>
#include <utility>

#include "bridge/firmware.h"
#include "controllers/isolated_controllers.h"
#include "core/board_startup.h"
#include "core_test_levels.h"
#include "client_pages.h"
#include "core_test_support.h"
#include "regs_fake_accessor.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;

constexpr int32_t kInvalidChannel = KELVO_STATUS_INVALID_CHANNEL;
constexpr int32_t kNotReserved = KELVO_STATUS_CHANNEL_NOT_RESERVED;
constexpr int32_t kBadPackage = KELVO_STATUS_INVALID_SUBROUTINE_PACKAGE;
constexpr int32_t kEngineTimedOut = KELVO_STATUS_SEQUENCE_ENGINE_TIMED_OUT;
constexpr int32_t kNotImplemented = KELVO_STATUS_NOT_IMPLEMENTED;
constexpr int32_t kInvalidParameter = KELVO_STATUS_INVALID_PARAMETER;

struct Board {
    std::string name;
    uint32_t commands, subroutines; // the last subroutine starts at the last command
};
// The channel sequencer's registration on each generation.
const std::string kSolstraSequencer = "SolstraIsoTopRegMap_SeqTopWin_SolstraSeqTopRegMap_ChannelWin_"
                                      "SolstraChSeqTopRegMap_SeqChannelWin_SolstraSeqChRegMap_"
                                      "KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap_Ver1.0.0d379";
const std::string kDuskmereSequencer = "DuskmereNisoTopRegMap_SeqTopWin_DuskmereSeqTopRegMap_ChannelWins0_"
                                       "DuskmereChSeqTopRegMap_SeqChannelWin_DuskmereSeqChRegMap_"
                                       "KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap_Ver1.0.0d379";
const Board kBoards[] = {{"solstra", 321, 18}, {"duskmere-a", 4135, 25}, {"duskmere-b", 4135, 25}};

class SequencerLevels : public HostedTest {
protected:
    static sim::SequencerSide& side(int index) { return *module(index).sequencerSide(); }
    static wexmoortools::SubroutineRegistrarInterface& registrar(int index) {
        auto& task =
            deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::SubroutinePackageRegisterInterface>();
        return *task.getSubroutineRegistrar();
    }
    // body(board, index, handle) on each board added, with a handle open.
    template <class Body> static void eachBoard(Body body) {
        for (const Board& b : kBoards) {
            SCOPED_TRACE(b.name);
            const int index = add(b.name);
            const int handle = open(index);
            body(b, index, handle);
            kelvo_close(handle);
            remove(index);
        }
    }
};

// Levels 10 to 13 leave the package in local RAM; level 18 streams the call of the start-up subroutine and
// the return into the sequencer, which takes both words, runs and stops.
TEST_F(SequencerLevels, EveryBoardReachesCompletionWithItsPackageInLocalRamAndStartsUp) {
    eachBoard([&](const Board& b, int index, int handle) {
        ASSERT_EQ(std::tuple(levelOf(index), setupCode(index)), std::tuple(19u, int64_t{0}));
        sim::SequencerSide& s = side(index);
        tStatus status;
        kelvo_driver::tFirmwarePtr image = kelvo_driver::FirmwareFactory().createSubroutineFirmware(
            *deviceOf(index)->getKelvoHelper()->getCapsTask().capsPtr, status);
        ASSERT_EQ(image->size(), b.commands * 8u);
        // The package, zeros, and the return at the last word.
        std::vector<uint64_t> expected(16384, 0), ram(16384);
        std::memcpy(expected.data(), image->data(), b.commands * 8);
        expected.back() = 0x1C0FFF0500000000ull;
        for (uint32_t word = 0; word < 16384; ++word) {
            ram[word] = s.sequencer().ramWord(word);
        }
        EXPECT_EQ(ram, expected);
        const std::vector<sim::Access> trace = s.localRamBlock().trace();
        ASSERT_EQ(trace.size(), 3u * (b.commands + 1));
        EXPECT_EQ(
            (std::vector<uint64_t>{trace[0].offset, trace[1].offset, trace[2].offset, trace.back().value}),
            (std::vector<uint64_t>{0x8, 0xC, 0x0, 16383}));
        // The default image's board revision, 1, in general-use register 6 (0x118, id 0x8028D30B), still
        // there after the start-up subroutine ran.
        const auto revision =
            answer<kelvo_arm_get_out>(handle, KELVO_IOCTL_arm_get,
                                      named(kelvo_arm_get_in{0, 0, 0x8028D30B, 0},
                                            b.name == "solstra" ? kSolstraSequencer : kDuskmereSequencer));
        EXPECT_EQ(std::tuple(s.sequencer().generalUse(6), revision.status, revision.value),
                  std::tuple(1u, 0, 1u));
        EXPECT_EQ(s.adf4002().words(), (std::vector<uint32_t>{0x1F8093, 0x1F8092, 0x100028, 0x1B01}));
        const auto count = ASK(wexmoor_getNumSubroutines, handle, 0);
        ASSERT_EQ(std::tuple(count.status, count.subroutineCount), std::tuple(0, b.subroutines));
        std::vector<uint32_t> ids(b.subroutines + 1, 0xEEEEEEEE), addresses(ids);
        kelvo_wexmoor_getSubroutines_in in{address(ids.data()), address(addresses.data()), b.subroutines, 0};
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_wexmoor_getSubroutines, in), 0);
        const uint32_t last = b.subroutines - 1;
        EXPECT_EQ((std::vector<uint32_t>{ids[2], addresses[2], ids[last], addresses[last], ids[last + 1]}),
                  (std::vector<uint32_t>{0x956E9395u, 2, 0xEE85CF84u, b.commands - 1, 0xEEEEEEEEu}));
        in.subroutineCount = last;
        EXPECT_EQ(statusOf(handle, KELVO_IOCTL_wexmoor_getSubroutines, in),
                  KELVO_STATUS_SUBROUTINE_COUNT_MISMATCH);
        const uint64_t startUp[] = {0x1D0DFF0200000000ull | 2, 0x1C00FF0500000000ull};
        const auto* bytes = reinterpret_cast<const uint8_t*>(startUp);
        EXPECT_EQ(module(index).dma(1).sunk(), std::vector<uint8_t>(bytes, bytes + sizeof(startUp)));
        EXPECT_EQ(std::tuple(s.sequencer().fifoFullness(), s.sequencer().starts() >= 1,
                             s.sequencer().faults().empty(), s.sequencer().running()),
                  std::tuple(0u, true, true, false));
    });
}

TEST_F(SequencerLevels, ACustomPackageComesFromTheResetParameters) {
    std::vector<uint64_t> commands = {0x2000000000000011ull, 0x0400010800000005ull, 0x1C0FFF0500000000ull,
                                      0x1C0FFF0500000000ull};
    commands.resize(8192); // zeros up to the reserved size
    const uint32_t ids[] = {0x11, 0x22}, addresses[] = {0, 3};
    auto words = [&](uint64_t c, uint64_t n, uint64_t i, uint64_t a, uint64_t s) {
        return kelvo_custom_reset_parameters{0, 0, 0, 0, c, n, i, a, s, 0, 0, 0};
    };
    const uint64_t c = address(commands.data()), i = address(ids), a = address(addresses);
    const struct {
        const char* name;
        kelvo_custom_reset_parameters parameters;
        uint32_t level;
        int32_t code;
    } cases[] = {
        // Level 18 finds no start-up subroutine in it.
        {"complete", words(c, 4, i, a, 2), 17, KELVO_STATUS_UNKNOWN_SUBROUTINE},
        {"no subroutine IDs", words(c, 4, 0, a, 2), 9, kBadPackage},
        {"no subroutine count", words(c, 4, i, a, 0), 9, kBadPackage},
        {"only a count", words(0, 0, 0, 0, 2), 9, kBadPackage},
        {"as many commands as reserved", words(c, 8192, i, a, 2), 17, KELVO_STATUS_UNKNOWN_SUBROUTINE},
        {"more commands than reserved", words(c, 8193, i, a, 2), 9, kBadPackage},
        {"more subroutines than reserved", words(c, 4, i, a, 8193), 9, kBadPackage},
    };
    const int index = add("solstra");
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const int32_t answered = resetTo(index, 19, &k.parameters); // the reset answers the setup's code
        EXPECT_EQ(std::tuple(answered, setupCode(index), levelOf(index)),
                  std::tuple(k.code, int64_t{k.code}, k.level));
        if (k.level == 17) {
            std::vector<uint64_t> ram(k.parameters.numberOfSubroutineCommands);
            for (uint32_t w = 0; w < ram.size(); ++w) {
                ram[w] = side(index).sequencer().ramWord(w);
            }
            EXPECT_EQ(ram, std::vector<uint64_t>(commands.begin(), commands.begin() + ram.size()));
            EXPECT_EQ(side(index).sequencer().ramWord(16383), 0x1C0FFF0500000000ull);
            tStatus status;
            EXPECT_EQ(registrar(index).getSubroutineAddress(0x22, status), 3u);
            EXPECT_EQ(registrar(index).getNumSubroutines(status), 2u);
        }
    }
}

TEST_F(SequencerLevels, EngineAndHardwareErrorRequestsCheckTheirMaskCountAndState) {
    const int index = add("duskmere-a");
    sim::Sequencer& seq = side(index).sequencer();
    const int handle = open(index);
    // The board alone may be checked for hardware errors, not cleared; a channel's clear needs its
    // reservation.
    EXPECT_EQ((std::vector<int32_t>{
                  ASK(hwCondition_checkBoardAndChannelBasedHardwareErrors, handle, 0, 0, 0).status,
                  ASK(hwCondition_clearChannelBasedHardwareErrors, handle, 0, 0, 0).status,
                  ASK(hwCondition_clearChannelBasedHardwareErrors, handle, 1, 0, 0).status}),
              (std::vector<int32_t>{0, kInvalidChannel, kNotReserved}));
    auto start = [&](uint64_t mask, uint32_t count) {
        return ASK(wexmoor_startSequenceEngine, handle, mask, count, 0).status;
    };
    auto running = [&](uint64_t mask) { return ASK(wexmoor_isSequenceEngineRunning, handle, mask, 0, 0); };
    auto resetEngine = [&] { return ASK(wexmoor_resetSequenceEngine, handle, 1, 0, 0).status; };
    // Above the FIFO depth; the depth waits for the FIFO; the FIFO does not hold the count; none.
    EXPECT_EQ(
        (std::vector<int32_t>{running(0).status, start(1, 1025), start(1, 1024), start(1, 2), start(1, 0)}),
        (std::vector<int32_t>{kInvalidChannel, KELVO_STATUS_TOO_MANY_COMMANDS, kEngineTimedOut,
                              kEngineTimedOut, 0}));
    // The reset and the session's cleanup wait for the stop; the cleanup takes the engine off the session.
    seq.setNeverStops(true);
    {
        kal::clock::ScopedStepped stepped(10'000'000); // every clock read 10 ms later
        EXPECT_EQ(
            (std::vector<int32_t>{start(1, 0), resetEngine(), ASK(kdut_cleanup, handle, 0).status}),
            (std::vector<int32_t>{KELVO_STATUS_SEQUENCE_ENGINE_RUNNING, kEngineTimedOut, kEngineTimedOut}));
    }
    seq.setNeverStops(false);
    EXPECT_EQ((std::vector<int32_t>{start(1, 0), resetEngine(), running(2).running}),
              (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(seq.starts(), 3u) << "level 18's and the two starts of 0 alone strobed";
}

TEST_F(SequencerLevels, MeasureUnitTriggerAndEventLatchRequests) {
    eachBoard([&](const Board&, int index, int handle) {
        sim::MeasureUnit& unit = side(index).measureUnit();
        auto arm = [&] { return ASK(measureUnit_arm, handle).status; };
        auto resetUnit = [&] { return ASK(measureUnit_reset, handle).status; };
        auto trigger = [&](uint32_t which) {
            return ASK(triggersAndEvents_overrideTrigger, handle, 0, which, 0);
        };
        auto latch = [&](uint64_t mask, uint16_t event) {
            return ASK(triggersAndEvents_checkEventLatch, handle, mask, event, 0, 0);
        };
        // An arm needs no reservation; a latch's check and clear do.
        EXPECT_EQ((std::vector<int64_t>{trigger(0x40C).status, latch(1, 0x135).status,
                                        ASK(triggersAndEvents_clearEventLatch, handle, 1, 0x135, 0, 0).status,
                                        arm(), trigger(0x40C).result, trigger(0x40D).status}),
                  (std::vector<int64_t>{KELVO_STATUS_TRIGGER_NOT_ARMED, kNotReserved, kNotReserved, 0, 1,
                                        kNotImplemented}));
        ASSERT_EQ(reserveAll(handle), 0);
        EXPECT_EQ(latch(1, 0x135).latched, 1);
        unit.setStatusBit0(true); // and the engine is idle
        EXPECT_EQ((std::vector<int32_t>{latch(1, 0x135).latched, latch(1, 0x129).latched,
                                        latch(1, 0x12C).status, latch(0, 0x135).status, resetUnit()}),
                  (std::vector<int32_t>{0, 1, kNotImplemented, kInvalidChannel, 0}));
        unit.setNeverGenerates(true);
        EXPECT_EQ(arm(), KELVO_STATUS_MEASURE_UNIT_TIMED_OUT);
        unit.setNeverGenerates(false);
        EXPECT_EQ(arm(), 0);
        unit.setNeverAborts(true);
        EXPECT_EQ((std::tuple{resetUnit(), unit.triggerPulses()}),
                  (std::tuple{KELVO_STATUS_MEASURE_UNIT_TIMED_OUT, 1u}));
        // Arm (1) and stop (2) strobes: the failed arm's reset stops; the unacknowledged abort does not.
        std::vector<uint64_t> strobes = side(index).measureUnitBlock().writtenValues(0x60);
        std::transform(strobes.begin(), strobes.end(), strobes.begin(), [](uint64_t v) { return v >> 30; });
        EXPECT_EQ(strobes, (std::vector<uint64_t>{1, 2, 1, 2, 1}));
        EXPECT_EQ(side(index).measureUnitBlock().writeCount(0x0), 4u)
            << "MuCtrl: three aborts and the trigger";
    });
}

TEST_F(SequencerLevels, ChargeBalanceOffsetsAreCalculatedAndConfigured) {
    using Outcome = sim::ChargeBalancer::Outcome;
    eachBoard([&](const Board& b, int index, int handle) {
        sim::ChargeBalancer& balancer = side(index).chargeBalancer();
        auto calculate = [&](uint8_t loop) {
            return ASK(corran_calculateChargeBalanceOffset, handle, 0, loop, 0, 0);
        };
        EXPECT_EQ(calculate(0).status, kNotReserved);
        ASSERT_EQ(reserveAll(handle), 0);
        const struct {
            const char* name;
            uint8_t loop;
            Outcome outcome;
            int32_t code;
        } cases[] = {
            {"done", 1, Outcome::kDone, 0},
            {"failed", 2, Outcome::kFailed, KELVO_STATUS_CHARGE_BALANCE_FAILED},
            {"done and failed", 3, Outcome::kBoth, KELVO_STATUS_CHARGE_BALANCE_FAILED},
            {"never", 0, Outcome::kNever, KELVO_STATUS_CHARGE_BALANCE_TIMED_OUT},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            balancer.setOutcome(c.loop, c.outcome);
            balancer.setResult(c.loop, 0x2A00u + c.loop);
            const auto out = calculate(c.loop); // a failure answers no offset
            EXPECT_EQ(std::tuple(out.status, out.offset, balancer.strobes(c.loop)),
                      std::tuple(c.code, c.code == 0 ? 0x2A00u + c.loop : 0u, 1u));
        }
        EXPECT_EQ(calculate(4).status, KELVO_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(ASK(corran_configureChargeBalanceOffset, handle, 0, 2, 0xFFFF, 0).status, 0);
        EXPECT_EQ(balancer.offset(2) & 0x3FFFu, 0x3FFFu);
        if (b.name != "solstra") {
            // The secondary offset register of the non-isolated side.
            EXPECT_EQ(module(index).nisoFpga().peek(0xC008), 0x3FFFu);
        }
    });
}

TEST_F(SequencerLevels, LocalRamBoundsAndReadBack) {
    const int index = add("solstra");
    auto& task = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::IsolatedObjectsInterface>();
    kelvo_driver::LocalRAMControllerType& ram = *task.getIsolatedControllers()->getLocalRAM();
    sim::Block& block = side(index).localRamBlock();
    // Three register accesses a word, written or read back; a block that does not fit touches nothing.
    const struct {
        const char* name;
        uint32_t count, start;
        int64_t code;
    } cases[] = {
        {"the whole RAM", 16384, 0, 0},
        {"two words from the last address", 2, 16383, KELVO_STATUS_INVALID_PARAMETER},
        {"an empty block", 0, 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vohtl::Vector<wexmoortools::Command> words, back;
        tStatus status, readStatus;
        for (uint32_t k = 0; k < c.count; ++k) {
            words.pushBack(0xA000000000000000ull | (uint64_t{c.start + k} << 32) | k, status);
        }
        back.resize(c.count, readStatus);
        block.clearTrace();
        ram.write(words, c.start, status);
        const size_t writes = block.trace().size(), accesses = c.code == 0 ? 3u * c.count : 0u;
        block.clearTrace();
        ram.read(back, c.start, readStatus);
        EXPECT_EQ(std::tuple(status.getCode(), writes, readStatus.getCode(), block.trace().size()),
                  std::tuple(c.code, accesses, c.code, accesses));
        EXPECT_EQ(std::vector<uint64_t>(back.begin(), back.end()),
                  c.code == 0 ? std::vector<uint64_t>(words.begin(), words.end())
                              : std::vector<uint64_t>(c.count));
    }
}

using BoardStartupLevel = SequencerLevels;

// A case with a knob leaves the engine or the stream running: the next case takes a fresh module.
TEST_F(BoardStartupLevel, TheErrorListWordsAndAnEngineOrAStreamThatNeverStops) {
    auto words = [](uint64_t list9, uint64_t count10, uint64_t ignore11) {
        return kelvo_custom_reset_parameters{0, 0, 0, 0, 0, 0, 0, 0, 0, list9, count10, ignore11};
    };
    // The program keeps the engine running far beyond the 5 s the start-up waits.
    auto neverStops = [](sim::Module& m, bool on) {
        m.sequencerSide()->sequencer().setStepNanoseconds(on ? 100000000000ull : 1000);
    };
    auto streamNeverEnds = [](sim::Module& m, bool on) { m.dma(1).setNeverEnds(on); };
    const std::vector<uint64_t> list = {0x11, 0x22};
    const uint64_t l = address(list.data());
    const struct {
        const char* name;
        std::function<void(sim::Module&, bool)> knob; // on, then off again
        kelvo_custom_reset_parameters parameters;
        uint32_t level;
        int64_t code; // 1: any error
        bool holdsBuffer;
    } cases[] = {
        {"an error list is read and dropped", {}, words(l, 2, 0), 19, 0, false},
        {"no count: the address is never read", {}, words(0x10, 0, 0), 19, 0, false},
        {"a list at a bad address, errors ignored", {}, words(0x10, 1, 1), 17, 1, false},
        {"a count without an address", {}, words(0, 1, 0), 17, kInvalidParameter, false},
        {"a count too large, errors ignored", {}, words(l, 0x20000000, 1), 17, kInvalidParameter, false},
        {"an engine that never stops", neverStops, words(0, 0, 0), 17, KELVO_STATUS_STARTUP_TIMED_OUT, false},
        {"an engine that never stops, errors ignored", neverStops, words(0, 0, 1), 19, 0, false},
        {"a stream that never stops, errors ignored", streamNeverEnds, words(0, 0, 1), 19, 0, true},
    };
    int index = add("solstra");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.knob) {
            c.knob(module(index), true);
        }
        const int32_t answered = resetTo(index, 19, &c.parameters);
        EXPECT_EQ(std::tuple(answered, levelOf(index)), std::tuple(setupCode(index), c.level));
        EXPECT_TRUE(c.code == 1 ? setupCode(index) < 0 : setupCode(index) == c.code) << setupCode(index);
        if (c.level == 19) {
            auto& task = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::BoardStartup>();
            EXPECT_EQ(std::tuple(task.ran(), task.holdsBuffer()), std::tuple(true, c.holdsBuffer));
        }
        if (c.knob) {
            c.knob(module(index), false);
            remove(index);
            index = add("solstra");
        }
    }
    remove(index);
}

// Level 18 as the product's, its traces starting with it, and with its tCOREDR read failing (through a map
// over an accessor that fails it) or else its DMA buffer's allocation.
bool gCoreReadFails = false;
sim::Module* gStartupModule = nullptr;
constexpr int64_t kCoreReadFailed = KELVO_STATUS_REGISTER_ACCESS_FAILED;

kelvo_driver::SetupTask* faultyStartup(kelvo_driver::KelvoHelper& helper,
                                       const kelvo_driver::SetupInputs& inputs, tStatus& status) {
    gStartupModule->nisoFpga().clearTrace();
    gStartupModule->sequencerSide()->channelSequencerBlock().clearTrace();
    auto& core = helper.getTaskAs<kelvo_driver::TYMOObjectsInterface>().getTYMORegMaps().brixelRegMap.COREDR;
    FakeAccessor failing;
    failing.failNext(1, kCoreReadFailed);
    brixeltools::tIOPort2RegMapWithOffset<0u> elsewhere(failing);
    arm::tSizedRegisterMapBase* const owner =
        std::exchange(core.owner, gCoreReadFails ? &elsewhere : core.owner);
    kal::memory::failNth(gCoreReadFails ? 0 : 2); // the task's own allocation, then the buffer's
    kelvo_driver::SetupTask* task =
        kelvo_driver::getProductSetupLevelTable().tasks[17](helper, inputs, status);
    kal::memory::clearFaults();
    core.owner = owner;
    return task;
}

// The engine's reset (its status read) and the stream's stop (the credits' stop strobe, then the stream
// circuit's status read) after a failure before the start, each with its own status: the first error stays.
TEST_F(BoardStartupLevel, TheEngineResetAndTheStreamStopRunAfterAFailureBeforeTheStart) {
    constexpr uint64_t kSequencerStatus = 0x44, kCreditControl = sim::Module::kSolstraCredits + 4,
                       kStreamStatus =
                           sim::Module::kStreamCircuitBase + sim::Module::kStreamCircuitStride + 0x800;
    const struct {
        bool coreReadFails, creditsNeverStop; // the stream's stop then never asks the stream circuit
        int64_t code;
    } cases[] = {{true, true, kCoreReadFailed}, {false, false, KELVO_STATUS_OUT_OF_MEMORY}};
    kelvo_driver::SetupLevelTable table = kelvo_driver::getProductSetupLevelTable();
    table.tasks[17] = faultyStartup;
    setSetupLevelTable(&table);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        gCoreReadFails = c.coreReadFails;
        const int index = add("solstra", [&](sim::Module& m) {
            gStartupModule = &m;
            m.dma(1).setCreditsNeverStop(c.creditsNeverStop);
        });
        sim::Module& m = module(index);
        const auto seen = [](const std::vector<sim::Access>& trace, bool write, uint64_t at, uint64_t bits) {
            return std::ranges::any_of(trace, [&](auto& a) {
                return a.write == write && a.offset == at && (a.value & bits) == bits;
            });
        };
        const std::vector<sim::Access> niso = m.nisoFpga().trace();
        EXPECT_EQ(
            std::tuple(levelOf(index), setupCode(index),
                       seen(m.sequencerSide()->channelSequencerBlock().trace(), false, kSequencerStatus, 0),
                       seen(niso, true, kCreditControl, 1u << 17), seen(niso, false, kStreamStatus, 0)),
            std::tuple(17u, c.code, true, true, !c.creditsNeverStop));
        m.dma(1).setCreditsNeverStop(false);
        remove(index);
    }
    setSetupLevelTable(nullptr);
}

} // namespace
