// Level 18, the board start-up, with the product's level table: the program
// it streams to the sequencer over DMA channel 1, the engine that never
// stops, the stream that never stops and the error list of the reset words.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "control.h"
#include "core/board_startup.h"
#include "core/kelvo_helper.h"
#include "core/sequencer_tasks.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"

namespace {

using nVOAPALS100::tStatus;

constexpr int32_t kStartupTimedOut = static_cast<int32_t>(0xBFFA4690u);
constexpr int32_t kInvalidParameter = -52005;

using kelvo_test::address;
using BoardStartupLevel = kelvo_test::HostedTest;

TEST_F(BoardStartupLevel, TheProgramStreamsIntoTheSequencerAndRunsTheStartupSubroutine) {
    for (const std::string& board : kelvo_test::boards()) {
        SCOPED_TRACE(board);
        const int index = add(board);
        ASSERT_EQ(levelOf(index), 19u);
        tStatus status;
        const uint32_t start = static_cast<kelvo_driver::SubroutinePackageRegisterInterface&>(
                                   deviceOf(index)->getKelvoHelper()->getTask(10))
                                   .getSubroutineRegistrar()
                                   ->getSubroutineAddress(0x956E9395u, status);
        ASSERT_TRUE(status.isSuccess());
        // Channel 1 carried exactly the call of the start-up subroutine and the return.
        const std::vector<uint64_t> expected = {0x1D0DFF0200000000ull | start, 0x1C00FF0500000000ull};
        const std::vector<uint8_t> sunk = module(index).dma(1).sunk();
        ASSERT_EQ(sunk.size(), 16u);
        std::vector<uint64_t> words(2);
        std::memcpy(words.data(), sunk.data(), 16);
        EXPECT_EQ(words, expected);
        sim::Sequencer& sequencer = module(index).sequencerSide()->sequencer();
        EXPECT_EQ(sequencer.fifoFullness(), 0u) << "the engine took both words";
        EXPECT_GE(sequencer.starts(), 1u);
        EXPECT_TRUE(sequencer.faults().empty());
        EXPECT_FALSE(sequencer.running());
        remove(index);
    }
}

kelvo_custom_reset_parameters words(uint64_t list9, uint64_t count10, uint64_t ignore11) {
    kelvo_custom_reset_parameters p{};
    p.errorsToDisablePtr = list9;
    p.numberOfErrorsToDisable = count10;
    p.ignoreStartupErrors = ignore11;
    return p;
}

struct Case {
    const char* name;
    std::function<void(sim::Module&, bool)> knob; // on, then off again
    kelvo_custom_reset_parameters parameters;
    uint32_t level;
    int64_t code; // 1: any error
    bool holdsBuffer;
};

// Each case resets a Solstra module with its words; a case with a knob
// leaves the engine or the stream running, so the next case takes a fresh
// module (the teardown resets a stream still in progress and frees its buffer).
void runCases(const std::vector<Case>& cases) {
    using T = BoardStartupLevel;
    int index = T::add("solstra");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.knob) {
            c.knob(T::module(index), true);
        }
        const int32_t answered = T::resetTo(index, 19, &c.parameters);
        EXPECT_EQ(answered, T::setupCode(index));
        EXPECT_EQ(T::levelOf(index), c.level);
        if (c.code == 1) {
            EXPECT_LT(T::setupCode(index), 0);
        } else {
            EXPECT_EQ(T::setupCode(index), c.code);
        }
        if (c.level == 19) {
            auto& task =
                static_cast<kelvo_driver::BoardStartup&>(T::deviceOf(index)->getKelvoHelper()->getTask(18));
            EXPECT_TRUE(task.ran());
            EXPECT_EQ(task.holdsBuffer(), c.holdsBuffer);
        }
        if (c.knob) {
            c.knob(T::module(index), false);
            T::remove(index);
            index = T::add("solstra");
        }
    }
    T::remove(index);
}

TEST_F(BoardStartupLevel, TheErrorListWords) {
    const std::vector<uint64_t> list = {0x11, 0x22};
    const uint64_t l = address(list.data());
    runCases({
        {"an error list is read and dropped", {}, words(l, 2, 0), 19, 0, false},
        {"no count: the address is never read", {}, words(0x10, 0, 0), 19, 0, false},
        {"a list at a bad address, errors ignored", {}, words(0x10, 1, 1), 17, 1, false},
        {"a count without an address", {}, words(0, 1, 0), 17, kInvalidParameter, false},
        {"a count without an address, errors ignored", {}, words(0, 1, 1), 17, kInvalidParameter, false},
        {"a count too large, errors ignored", {}, words(l, 0x20000000, 1), 17, kInvalidParameter, false},
    });
}

TEST_F(BoardStartupLevel, AnEngineOrAStreamThatNeverStops) {
    // The program keeps the engine running far beyond the 5 s the start-up waits.
    auto neverStops = [](sim::Module& m, bool on) {
        m.sequencerSide()->sequencer().setStepNanoseconds(on ? 100000000000ull : 1000);
    };
    auto streamNeverEnds = [](sim::Module& m, bool on) { m.dma(1).setNeverEnds(on); };
    runCases({
        {"an engine that never stops", neverStops, words(0, 0, 0), 17, kStartupTimedOut, false},
        {"an engine that never stops, errors ignored", neverStops, words(0, 0, 1), 19, 0, false},
        {"a stream that never stops, errors ignored", streamNeverEnds, words(0, 0, 1), 19, 0, true},
    });
}

} // namespace
