// Every creation of the product's levels failing in turn, level range by level
// range: each allocation (and each mutex or DPC the range creates) made to fail
// while a module is added. The setup stops below the range's last level with
// the creation's code, removing the module leaves nothing behind, and a clean
// run reaches the top.
#include <cstdint>
#include <ostream>
#include <string>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "level_sweep.h"

namespace {

using kelvo_test::FaultKind;
using kelvo_test::FaultWindow;

// Levels 4 and 8 as stand-ins that find their FPGA loaded already (the
// module is plugged with both images), so that a run streams no image.
kelvo_driver::SetupTask* loadedAlready(kelvo_driver::KelvoHelper&, const kelvo_driver::SetupInputs&,
                                       nVOAPALS100::tStatus& status) {
    return new (status, false) kelvo_driver::SetupTask();
}

struct Row {
    const char* name;
    bool streamed; // the product's downloads; otherwise the stand-ins
    const char* board;
    uint32_t first, last;
    FaultKind kind;
    int64_t code;
    uint32_t top; // the product's levels up to it
    uint32_t minFailures;
};
// One row a test: each sets a module up a hundred times or more.
const Row kRows[] = {
    {"the non-isolated download", true, "solstra", 4, 4, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY,
     5, 1},
    {"the non-isolated maps", false, "solstra", 5, 5, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY, 5,
     1},
    {"levels 6, 7 and 9", false, "solstra", 6, 9, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY, 19, 1},
    {"the isolated download", true, "solstra", 8, 8, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY, 19,
     1},
    {"the sequencer levels", false, "solstra", 10, 13, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY, 19,
     10},
    {"the sequencer levels", false, "duskmere-a", 10, 13, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY,
     19, 10},
    {"the sequencer levels' mutexes (local RAM, engine, measure unit, charge balance)", false, "solstra", 10,
     13, FaultKind::kMutex, KELVO_STATUS_OUT_OF_MEMORY, 19, 4},
    {"the DMA and routing levels", false, "solstra", 14, 16, FaultKind::kAllocation,
     KELVO_STATUS_OUT_OF_MEMORY, 19, 12},
    {"the DMA levels' DPCs", false, "solstra", 14, 15, FaultKind::kDPC, KELVO_STATUS_UNEXPECTED_KERNEL_RESULT,
     19, 1},
    {"the start-up levels", false, "solstra", 17, 18, FaultKind::kAllocation, KELVO_STATUS_OUT_OF_MEMORY, 19,
     4},
};

// A row's name in test lists: board, levels and what fails, e.g.
// "solstra_levels_10_to_13_mutex".
std::string rowName(const Row& row) {
    static const char* const kKinds[] = {"allocation", "mutex", "DPC"};
    std::string name = std::string(row.board) + "_levels_" + std::to_string(row.first) + "_to_" +
                       std::to_string(row.last) + "_" + kKinds[static_cast<int>(row.kind)];
    for (char& c : name) {
        c = c == '-' ? '_' : c;
    }
    return name;
}

// What ctest shows in place of the value.
[[maybe_unused]] void PrintTo(const Row& row, std::ostream* out) {
    *out << rowName(row);
}

class LevelSweep : public kelvo_test::HostedTest, public ::testing::WithParamInterface<Row> {};

TEST_P(LevelSweep, EveryFailedCreationInALevelEndsCleanly) {
    kal::clock::ScopedScale scale(100.0); // the downloads' 500 ms time-outs in 5 ms
    const Row& row = GetParam();
    SCOPED_TRACE(std::string(row.name) + " on " + row.board);
    kelvo_driver::SetupLevelTable base = kelvo_test::productLevelsUpTo(row.top);
    if (!row.streamed) {
        base.tasks[3] = base.tasks[7] = loadedAlready;
    }
    FaultWindow window(base, row.first, row.last, row.kind);
    kelvo_test::setSetupLevelTable(&window.table());
    kelvo_host::setFpgasLoadedAtPlugging(!row.streamed, !row.streamed);
    struct Restore {
        ~Restore() {
            kelvo_test::setSetupLevelTable(nullptr);
            kelvo_host::setFpgasLoadedAtPlugging(false, false);
        }
    } restore;
    const int clean = add(row.board);
    ASSERT_EQ(levelOf(clean), row.top);
    remove(clean);
    const uint64_t count = row.kind == FaultKind::kDPC ? 100 : window.counted();
    uint32_t failures = 0;
    for (uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(n);
        const kal::live::Counts live = kal::live::now();
        window.arm(n);
        const int index = add(row.board);
        window.arm(0);
        FaultWindow::disarm();
        const uint32_t reached = levelOf(index);
        const int64_t code = setupCode(index);
        remove(index);
        EXPECT_EQ(kal::live::now(), live);
        if (reached == row.top) {
            EXPECT_EQ(row.kind, FaultKind::kDPC) << "a failed creation went unnoticed";
            break; // the window created no nth DPC
        }
        ++failures;
        EXPECT_EQ(code, row.code);
        EXPECT_GE(reached, row.first - 1);
        EXPECT_LT(reached, row.last);
    }
    EXPECT_GE(failures, row.minFailures);
}

INSTANTIATE_TEST_SUITE_P(Rows, LevelSweep, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return rowName(info.param); });

} // namespace
