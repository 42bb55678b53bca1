// Every allocation of a range of the product's levels failing in turn while a module is added: setup
// stops below the range's last level with -52000 and removal leaves nothing. Every creation of the other
// kinds (mutexes, spin locks, DPCs, ...) at every level is the allocation-failure sweep's
// (alloc_sweep_objects_*), with the code each answers.
#include <algorithm>

#include "core_test_support.h"
#include "level_sweep.h"

namespace {

using kelvo_test::FaultWindow;

// Levels 4 and 8 as stand-ins that find their FPGA loaded already: a run streams no image.
kelvo_driver::SetupTask* loadedAlready(kelvo_driver::KelvoHelper&, const kelvo_driver::SetupInputs&,
                                       nVOAPALS100::tStatus& status) {
    return new (status, false) kelvo_driver::SetupTask();
}

struct Row {
    bool streamed; // the product's downloads; otherwise the stand-ins
    const char* board;
    uint32_t first, last;
    uint32_t top; // the product's levels up to it
    uint32_t minFailures;
};
// One row a test, each a hundred setups or more. Levels 4 and 8 are the downloads, 5 the maps,
// 10 to 13 the sequencer, 14 to 16 DMA and routing, 17 and 18 the start-up.
const Row kRows[] = {
    {true, "solstra", 4, 4, 5, 1},      {false, "solstra", 5, 5, 5, 1},
    {false, "solstra", 6, 9, 19, 1},    {true, "solstra", 8, 8, 19, 1},
    {false, "solstra", 10, 13, 19, 10}, {false, "duskmere-a", 10, 13, 19, 10},
    {false, "solstra", 14, 16, 19, 12}, {false, "solstra", 17, 18, 19, 4},
};

std::string rowName(const Row& row) {
    std::string name = std::string(row.board) + "_levels_" + std::to_string(row.first) + "_to_" +
                       std::to_string(row.last) + "_allocation";
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class LevelSweep : public kelvo_test::HostedTest, public ::testing::WithParamInterface<Row> {};

TEST_P(LevelSweep, EveryFailedAllocationInALevelEndsCleanly) {
    kal::clock::ScopedScale scale(100.0); // the downloads' 500 ms time-outs in 5 ms
    const Row& row = GetParam();
    kelvo_driver::SetupLevelTable base = kelvo_test::productLevelsUpTo(row.top);
    if (!row.streamed) {
        base.tasks[3] = base.tasks[7] = loadedAlready;
    }
    FaultWindow window(base, row.first, row.last);
    kelvo_host::setFpgasLoadedAtPlugging(!row.streamed, !row.streamed);
    struct Restore {
        ~Restore() { kelvo_host::setFpgasLoadedAtPlugging(false, false); }
    } restore;
    const int clean = add(row.board);
    ASSERT_EQ(levelOf(clean), row.top);
    remove(clean);
    const uint64_t count = window.counted();
    uint32_t failures = 0;
    for (uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(n);
        const kal::live::Counts live = kal::live::now();
        window.arm(n);
        const int index = add(row.board);
        FaultWindow::disarm(); // when setup stopped before the window's last level
        const uint32_t reached = levelOf(index);
        const int64_t code = setupCode(index);
        remove(index);
        EXPECT_EQ(kal::live::now(), live);
        ASSERT_NE(reached, row.top) << "a failed allocation went unnoticed";
        ++failures;
        EXPECT_TRUE(code == KELVO_STATUS_OUT_OF_MEMORY && reached >= row.first - 1 && reached < row.last)
            << code << " at " << reached;
    }
    EXPECT_GE(failures, row.minFailures);
}

INSTANTIATE_TEST_SUITE_P(Rows, LevelSweep, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return rowName(info.param); });

} // namespace
