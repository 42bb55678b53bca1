// The sequencer side's controllers of a set-up device, judged by the register traces.

#include <sstream>
#include <tuple>
#include <vector>

#include "controllers/isolated_controllers.h"
#include "core/kelvo_helper.h"
#include "core/sequencer_tasks.h"
#include "core_test_support.h"

namespace {

using kelvo_driver::MeasureUnitController;
using nVOAPALS100::tStatus;

constexpr int64_t kRefused = tStatus::kInvalidParameter;

// A trace as words "r<offset>" and "w<offset>" (hexadecimal), with "=<value>" when asked.
std::string accesses(const std::vector<sim::Access>& trace, bool values = false) {
    std::ostringstream out;
    for (const sim::Access& a : trace) {
        out << (out.tellp() == 0 ? "" : " ") << (a.write ? "w" : "r") << std::hex << a.offset;
        if (values) {
            out << "=" << a.value;
        }
    }
    return out.str();
}

class IsolatedControllersOnTheBoard : public kelvo_test::HostedTest {
protected:
    static sim::SequencerSide& side(int index) { return *module(index).sequencerSide(); }
    static MeasureUnitController& measureUnit(int index) {
        auto& task = deviceOf(index)->getKelvoHelper()->getTaskAs<kelvo_driver::IsolatedObjectsInterface>();
        return *task.getIsolatedControllers()->getMeasureUnitController();
    }
};

// Unit n's control is at 0x10 * n of the block, its CIC filter at + 0x8, its record configuration at + 0xC.
// Units 1 and 2 read no points and touch nothing doing so; a refused unit or an error going in leaves the
// three points there.
TEST_F(IsolatedControllersOnTheBoard, OtherMeasureUnitsTakeAConfigurationThatFitsTheirFieldsAndReadNoPoints) {
    const int index = add("solstra");
    MeasureUnitController& mu = measureUnit(index);
    const struct {
        uint32_t unit;
        MeasureUnitController::UnitConfiguration configuration;
        int64_t entering, code, read;
        const char* writes;
    } cases[] = {
        {1, {0x3FFFFF, 3, 7, true, 0x1FFFFFF, true}, 0, 0, 0, "w10=2 w18=f33fffff w1c=11ffffff"},
        {2, {100, 1, 2, false, 5000, false}, 0, 0, 0, "w20=2 w28=21000064 w2c=1388"},
        {2, {100, 1, 2, false, 5000, false}, 0, 0, 0, "w20=2 w28=21000064 w2c=1388"}, // written again
        {0, {1, 0, 0, false, 1, false}, 0, kRefused, kRefused, ""},                   // the main unit
        {3, {1, 0, 0, false, 1, false}, 0, kRefused, kRefused, ""},                   // no lock
        {1, {0x400000, 0, 0, false, 1, false}, 0, kRefused, 0, ""},                   // past 22 bits
        {1, {1, 4, 0, false, 1, false}, 0, kRefused, 0, ""},                          // past 2 bits
        {1, {1, 0, 8, false, 1, false}, 0, kRefused, 0, ""},                          // past 3 bits
        {1, {1, 0, 0, false, 0x2000000, false}, 0, kRefused, 0, ""},                  // past 25 bits
        {1, {1, 0, 0, false, 1, false}, -50400, -50400, -50400, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        side(index).measureUnitBlock().clearTrace();
        tStatus s;
        vohtl::Vector<uint32_t> points;
        points.resize(3, s);
        if (c.entering != 0) {
            KELVO_SET_STATUS(s, c.entering);
        }
        tStatus read = s;
        mu.read(c.unit, points, read);
        EXPECT_EQ(std::tuple(read.getCode(), points.size()), std::tuple(c.read, c.read == 0 ? 0u : 3u));
        mu.configure(c.unit, c.configuration, s);
        EXPECT_EQ(s.getCode(), c.code);
        EXPECT_EQ(accesses(side(index).measureUnitBlock().trace(), true), c.writes);
    }
    for (uint32_t unit : {0u, 1u, 2u, 3u}) {
        EXPECT_EQ(mu.isConfigured(unit), unit == 1 || unit == 2) << unit;
    }
}

// After the abort (0) and the stop strobe (0x60) the reset polls the status (4) until generation has ended.
// With an error going in, neither the arm nor the reset touches the unit.
TEST_F(IsolatedControllersOnTheBoard, AResetWaitsUntilPacketGenerationHasEnded) {
    const std::tuple<const char*, bool, int64_t, int64_t> cases[] = {
        {"solstra", false, 0, 0},
        {"duskmere-a", false, 0, 0},
        {"solstra", true, 0, kelvo_driver::kMeasureUnitTimedOut},
        {"solstra", false, -50400, -50400}};
    for (const auto& [board, neverStops, entering, code] : cases) {
        SCOPED_TRACE(std::string(board) + (neverStops ? ", never stops" : ""));
        const int index = add(board);
        sim::SequencerSide& s = side(index);
        s.measureUnit().setNeverStops(neverStops);
        tStatus status;
        if (entering != 0) {
            KELVO_SET_STATUS(status, entering);
        }
        s.measureUnitBlock().clearTrace();
        measureUnit(index).arm(status);
        if (entering == 0) {
            s.measureUnitBlock().clearTrace();
        }
        measureUnit(index).reset(status);
        EXPECT_EQ(status.getCode(), code);
        const std::vector<sim::Access> trace = s.measureUnitBlock().trace();
        if (entering != 0) {
            EXPECT_EQ(accesses(trace), "");
            remove(index);
            continue;
        }
        const std::string sequence = accesses(trace);
        EXPECT_EQ(sequence.substr(0, 9), "w0 w60 r4") << sequence;
        EXPECT_EQ(sequence.find('w', 4), std::string::npos) << "only polls after the stop strobe";
        EXPECT_EQ(trace[1].value >> 30, 2u) << "the stop strobe";
        EXPECT_EQ((trace.back().value & 0x2) != 0, neverStops) << "what the last poll saw";
        remove(index);
    }
}

// The wait before each word (mask and value 0) still reads the status (4); then the lock check.
TEST_F(IsolatedControllersOnTheBoard, ThePLLLoaderReadsTheStatusBeforeEveryWord) {
    const std::tuple<const char*, bool, uint32_t> cases[] = {
        {"solstra", false, 19}, {"duskmere-b", false, 19}, {"duskmere-a", true, 12}};
    for (const auto& [board, neverLocks, level] : cases) {
        SCOPED_TRACE(board);
        const bool never = neverLocks; // clang 14 captures no structured binding
        const int index =
            add(board, [never](sim::Module& m) { m.sequencerSide()->adf4002().setNeverLocks(never); });
        EXPECT_EQ(levelOf(index), level);
        EXPECT_EQ(accesses(side(index).adf4002Block().trace()), "r4 w0 r4 w0 r4 w0 r4 w0 r4");
        remove(index);
    }
}

} // namespace
