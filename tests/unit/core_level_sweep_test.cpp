// Every creation of the product's levels failing in turn, level range by level
// range: each allocation (and each mutex or DPC the range creates) made to fail
// while a module is added. The setup stops below the range with the
// creation's code (or, where the range tolerates it, still reaches the top),
// removing the module leaves nothing behind, and a clean run reaches the top.
#include <cstdint>
#include <string>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "level_sweep.h"

namespace {

using kelvo_test::FaultKind;
using kelvo_test::FaultWindow;

// The product's levels 1 to 5; standInLevel4: with the test table's level 4
// (the FPGA holds its image already, so no run reloads it).
const kelvo_driver::SetupLevelTable& productUpTo5(bool standInLevel4) {
    static const auto make = [](bool standIn) {
        kelvo_driver::SetupLevelTable table = kelvo_driver::getProductSetupLevelTable();
        for (uint32_t level = 6; level <= kelvo_driver::kNumberOfSetupTasks; ++level) {
            table.tasks[level - 1] = nullptr;
        }
        if (standIn) {
            table.tasks[3] = kelvo_test::testSetupLevelTable().tasks[3];
        }
        return table;
    };
    static const kelvo_driver::SetupLevelTable tables[] = {make(false), make(true)};
    return tables[standInLevel4 ? 1 : 0];
}
const kelvo_driver::SetupLevelTable& productUpTo5() {
    return productUpTo5(false);
}
const kelvo_driver::SetupLevelTable& productUpTo5OverAStandInDownload() {
    return productUpTo5(true);
}

// The product's levels 1 to 9 with the test table's downloads (levels 4 and 8):
// a sweep over levels 6, 7 and 9 costs no image streaming.
const kelvo_driver::SetupLevelTable& productLevelsWithoutDownloads() {
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t = kelvo_test::testSetupLevelTableOverProductLevels();
        t.tasks[3] = kelvo_test::testSetupLevelTable().tasks[3];
        t.tasks[7] = kelvo_test::testSetupLevelTable().tasks[7];
        return t;
    }();
    return table;
}

using LevelSweep = kelvo_test::HostedTest;

TEST_F(LevelSweep, EveryFailedCreationInALevelEndsCleanly) {
    struct Row {
        const char* name;
        const kelvo_driver::SetupLevelTable& (*table)();
        bool nisoLoaded, isoLoaded; // at plugging
        const char* board;
        uint32_t first, last;
        FaultKind kind;
        int64_t code;
        uint32_t top;
        bool tolerated; // a failure may leave the setup complete
        uint32_t minFailures;
    };
    const Row rows[] = {
        {"the non-isolated download", productUpTo5, false, false, "solstra", 4, 4, FaultKind::kAllocation,
         -52000, 5, false, 1},
        {"the non-isolated maps", productUpTo5OverAStandInDownload, true, false, "solstra", 5, 5,
         FaultKind::kAllocation, -52000, 5, false, 1},
        {"levels 6 to 9", productLevelsWithoutDownloads, true, false, "solstra", 6, 9, FaultKind::kAllocation,
         -52000, 19, true, 1},
        {"the isolated download", kelvo_test::testSetupLevelTableOverProductLevels, false, false, "solstra",
         8, 8, FaultKind::kAllocation, -52000, 19, true, 1},
        {"the sequencer levels", kelvo_test::testSetupLevelTableOverRealSequencer, true, true, "solstra", 10,
         17, FaultKind::kAllocation, -52000, 19, false, 10},
        {"the sequencer levels", kelvo_test::testSetupLevelTableOverRealSequencer, true, true, "duskmere-a",
         10, 17, FaultKind::kAllocation, -52000, 19, false, 10},
        {"the sequencer levels' mutexes (local RAM, engine, measure unit, charge balance)",
         kelvo_test::testSetupLevelTableOverRealSequencer, true, true, "solstra", 10, 17, FaultKind::kMutex,
         -52000, 19, false, 4},
        {"the DMA levels", kelvo_test::testSetupLevelTableWithRealDMA, true, true, "solstra", 14, 15,
         FaultKind::kAllocation, -52000, 19, false, 10},
        {"the DMA levels' DPCs", kelvo_test::testSetupLevelTableWithRealDMA, true, true, "solstra", 14, 15,
         FaultKind::kDPC, -52008, 19, false, 1},
    };
    kal::clock::ScopedScale scale(100.0); // the downloads' 500 ms time-outs in 5 ms
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " on " + row.board);
        kelvo_test::standIns().reset();
        FaultWindow window(row.table(), row.first, row.last, row.kind);
        kelvo_driver::setSetupLevelTableForTests(&window.table());
        kelvo_host::setFpgasLoadedAtPlugging(row.nisoLoaded, row.isoLoaded);
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
                if (row.kind == FaultKind::kDPC) {
                    break; // the window created no nth DPC
                }
                EXPECT_TRUE(row.tolerated) << "a failed creation went unnoticed";
                continue;
            }
            ++failures;
            EXPECT_EQ(code, row.code);
            EXPECT_GE(reached, row.first - 1);
            EXPECT_TRUE(row.tolerated || reached < row.last) << reached;
        }
        EXPECT_GE(failures, row.minFailures);
        kelvo_driver::setSetupLevelTableForTests(nullptr);
        kelvo_host::setFpgasLoadedAtPlugging(false, false);
    }
}

} // namespace
