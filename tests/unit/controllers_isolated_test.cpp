// The sequencer side's controllers of a device set up to completion, called
// directly and judged by the simulated module's register traces: the measure
// units beside the main one, the main unit's reset, and the PLL loader.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "controllers/isolated_controllers.h"
#include "core/kelvo_helper.h"
#include "core/sequencer_tasks.h"
#include "core_test_support.h"

namespace {

using kelvo_driver::MeasureUnitController;
using nVOAPALS100::tStatus;

constexpr int64_t kInvalidParameter = -52005;

// (write, offset) of a trace, for sequences where the values do not matter.
std::vector<std::pair<bool, uint64_t>> accesses(const std::vector<sim::Access>& trace) {
    std::vector<std::pair<bool, uint64_t>> out;
    for (const sim::Access& a : trace) {
        out.emplace_back(a.write, a.offset);
    }
    return out;
}

class IsolatedControllersOnTheBoard : public kelvo_test::HostedTest {
protected:
    static sim::SequencerSide& side(int index) { return *module(index).sequencerSide(); }
    static MeasureUnitController& measureUnit(int index) {
        auto& task = static_cast<kelvo_driver::IsolatedObjectsInterface&>(
            deviceOf(index)->getKelvoHelper()->getTask(11));
        return *task.getIsolatedControllers()->getMeasureUnitController();
    }
};

// The measure-unit block starts at the flex-loop map's 0x100: unit n's
// control at 0x10 * n, its CIC filter at + 0x8, its record configuration at + 0xC.
TEST_F(IsolatedControllersOnTheBoard, OtherMeasureUnitsTakeAConfigurationThatFitsTheirFields) {
    const int index = add("solstra");
    ASSERT_EQ(levelOf(index), 19u);
    MeasureUnitController& mu = measureUnit(index);
    sim::Block& block = side(index).measureUnitBlock();
    using Writes = std::vector<std::pair<uint64_t, uint64_t>>;
    struct Case {
        const char* what;
        uint32_t unit;
        MeasureUnitController::UnitConfiguration configuration;
        int64_t entering;
        int64_t code;
        Writes writes;
    };
    const Case cases[] = {
        {"every field at its widest", 1, {0x3FFFFF, 3, 7, true, 0x1FFFFFF, true}, 0, 0,
         {{0x10, 0x2}, {0x18, 0xF33FFFFF}, {0x1C, 0x11FFFFFF}}},
        {"another unit, other values", 2, {100, 1, 2, false, 5000, false}, 0, 0,
         {{0x20, 0x2}, {0x28, 0x21000064}, {0x2C, 5000}}},
        {"the same configuration again is written again", 2, {100, 1, 2, false, 5000, false}, 0, 0,
         {{0x20, 0x2}, {0x28, 0x21000064}, {0x2C, 5000}}},
        {"the main unit", 0, {1, 0, 0, false, 1, false}, 0, kInvalidParameter, {}},
        {"a unit without a lock", 3, {1, 0, 0, false, 1, false}, 0, kInvalidParameter, {}},
        {"a downsample rate past 22 bits", 1, {0x400000, 0, 0, false, 1, false}, 0, kInvalidParameter, {}},
        {"a filter order past 2 bits", 1, {1, 4, 0, false, 1, false}, 0, kInvalidParameter, {}},
        {"a window past 3 bits", 1, {1, 0, 8, false, 1, false}, 0, kInvalidParameter, {}},
        {"points per record past 25 bits", 1, {1, 0, 0, false, 0x2000000, false}, 0, kInvalidParameter, {}},
        {"an error going in", 1, {1, 0, 0, false, 1, false}, -50400, -50400, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        block.clearTrace();
        tStatus s;
        if (c.entering != 0) {
            KELVO_SET_STATUS(s, c.entering);
        }
        mu.configure(c.unit, c.configuration, s);
        EXPECT_EQ(s.getCode(), c.code);
        Writes writes;
        for (const sim::Access& a : block.trace()) {
            EXPECT_TRUE(a.write) << "nothing is read";
            writes.emplace_back(a.offset, a.value);
        }
        EXPECT_EQ(writes, c.writes);
    }
    EXPECT_FALSE(mu.isConfigured(0));
    EXPECT_TRUE(mu.isConfigured(1));
    EXPECT_TRUE(mu.isConfigured(2));
    EXPECT_FALSE(mu.isConfigured(3));
    EXPECT_FALSE(side(index).measureUnit().aborted()) << "the main unit was not aborted";
}

TEST_F(IsolatedControllersOnTheBoard, OtherMeasureUnitsReadNoPoints) {
    const int index = add("duskmere-a");
    ASSERT_EQ(levelOf(index), 19u);
    MeasureUnitController& mu = measureUnit(index);
    sim::Block& block = side(index).measureUnitBlock();
    block.clearTrace();
    struct Case {
        uint32_t unit;
        int64_t entering;
        int64_t code;
        size_t points; // of three going in
    };
    const Case cases[] = {
        {1, 0, 0, 0}, {2, 0, 0, 0}, {0, 0, kInvalidParameter, 3}, {3, 0, kInvalidParameter, 3},
        {1, -50400, -50400, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        tStatus s;
        vohtl::Vector<uint32_t> points;
        for (uint32_t v : {7u, 8u, 9u}) {
            points.pushBack(v, s);
        }
        if (c.entering != 0) {
            KELVO_SET_STATUS(s, c.entering);
        }
        mu.read(c.unit, points, s);
        EXPECT_EQ(s.getCode(), c.code);
        EXPECT_EQ(points.size(), c.points);
    }
    EXPECT_TRUE(block.trace().empty());
}

// After its stop strobe the reset polls the unit's status until packet
// generation has ended, or reports the time-out.
TEST_F(IsolatedControllersOnTheBoard, AResetWaitsUntilPacketGenerationHasEnded) {
    constexpr uint64_t kMuStatus = 0x4;
    constexpr uint64_t kPacketGenConfig = 0x60;
    struct Case {
        const char* board;
        bool neverStops;
        int64_t code;
    };
    const Case cases[] = {
        {"solstra", false, 0},
        {"duskmere-a", false, 0},
        {"solstra", true, kelvo_driver::kMeasureUnitTimedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.board) + (c.neverStops ? ", never stops" : ""));
        const int index = add(c.board);
        ASSERT_EQ(levelOf(index), 19u);
        MeasureUnitController& mu = measureUnit(index);
        sim::SequencerSide& s = side(index);
        s.measureUnit().setNeverStops(c.neverStops);
        tStatus armed;
        mu.arm(armed);
        ASSERT_TRUE(armed.isSuccess());
        s.measureUnitBlock().clearTrace();
        tStatus status;
        mu.reset(status);
        EXPECT_EQ(status.getCode(), c.code);
        const std::vector<sim::Access> trace = s.measureUnitBlock().trace();
        size_t stop = trace.size();
        for (size_t i = 0; i < trace.size(); ++i) {
            if (trace[i].write && trace[i].offset == kPacketGenConfig && (trace[i].value >> 31) != 0) {
                stop = i;
            }
        }
        ASSERT_LT(stop, trace.size()) << "the stop strobe";
        size_t polls = 0;
        for (size_t i = stop + 1; i < trace.size(); ++i) {
            EXPECT_TRUE(!trace[i].write && trace[i].offset == kMuStatus) << i;
            ++polls;
        }
        ASSERT_GT(polls, 0u);
        EXPECT_EQ((trace.back().value & 0x2) != 0, c.neverStops) << "what the last poll saw";
        s.measureUnit().setNeverStops(false);
        remove(index);
    }
}

// With mask and expected value 0 the wait before each word is satisfied at
// once, but still reads the status: read, shift, four times, then the lock check.
TEST_F(IsolatedControllersOnTheBoard, ThePLLLoaderReadsTheStatusBeforeEveryWord) {
    constexpr uint64_t kShift = 0x0;
    constexpr uint64_t kStatus = 0x4;
    const std::vector<std::pair<bool, uint64_t>> expected = {
        {false, kStatus}, {true, kShift}, {false, kStatus}, {true, kShift}, {false, kStatus},
        {true, kShift},   {false, kStatus}, {true, kShift}, {false, kStatus}};
    struct Case {
        const char* board;
        bool neverLocks;
        uint32_t level;
    };
    const Case cases[] = {{"solstra", false, 19}, {"duskmere-b", false, 19}, {"duskmere-a", true, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.board);
        const int index =
            add(c.board, [&](sim::Module& m) { m.sequencerSide()->adf4002().setNeverLocks(c.neverLocks); });
        EXPECT_EQ(levelOf(index), c.level);
        EXPECT_EQ(accesses(side(index).adf4002Block().trace()), expected);
        EXPECT_EQ(side(index).adf4002().words().size(), 4u);
        remove(index);
    }
}

} // namespace
