// Setup levels 6 to 9 on the simulated boards, with the clock sped up so that
// the transformer's settle and the link's polls cost milliseconds: what the
// board saw (transformer, link commands, the isolated load) and the isolated
// side through its window afterwards.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "regmaps/isolated_reg_maps.h"

namespace {

using nVOAPALS100::tStatus;

constexpr uint64_t kScratchOffset = 0x18; // the required block's scratch register

using kelvo_test::address;
using kelvo_test::answer;

class CoreBringup : public kelvo_test::HostedTest {
protected:
    kal::clock::ScopedScale fast_{1000};
};

TEST_F(CoreBringup, EveryBoardClimbsTheRealLevelsAndReachesTheIsolatedSide) {
    for (const char* board : {"solstra", "duskmere-a", "duskmere-b"}) {
        SCOPED_TRACE(board);
        const int index = add(board);
        sim::Module& m = module(index);
        EXPECT_EQ(levelOf(index), 19u);
        EXPECT_EQ(setupCode(index), 0);
        // Level 7 on a fresh map: A without the enable, B, then A with it.
        EXPECT_EQ(m.transformer().writtenValues(0), (std::vector<uint64_t>{0x18F, 0x8000018F}));
        EXPECT_EQ(m.transformer().writtenValues(4), (std::vector<uint64_t>{0xC7}));
        // Level 8: link command 1, the isolated load, command 2, the DC bus.
        EXPECT_EQ(m.isoComm().commands(), (std::vector<uint32_t>{1, 2}));
        EXPECT_EQ(m.isoComm().writtenValues(0), (std::vector<uint64_t>{0x1, 0x2, 0x100}));
        EXPECT_TRUE(m.isoComm().dcBusStarted());
        EXPECT_TRUE(m.bridgeRegisters().fpgaLoading().configured(1));

        const int handle = open(index);
        // "IsoFpgaWindow" carries a read through the link to the isolated FPGA.
        m.isoFpga().poke(kScratchOffset, 0x5EA1AB1E);
        const std::string window = "IsoFpgaWindow";
        uint32_t word = 0;
        const auto read = answer<kelvo_deviceWindow_read_out>(
            handle, KELVO_IOCTL_deviceWindow_read,
            kelvo_deviceWindow_read_in{address(window.data()), window.size(), kScratchOffset, 4,
                                       address(&word), 0, 0});
        EXPECT_EQ(read.status, 0);
        EXPECT_EQ(word, 0x5EA1AB1Eu);
        EXPECT_EQ(kelvo_close(handle), 0);
        EXPECT_EQ(m.deviceErrorCount(), 0u) << ::testing::PrintToString(m.deviceErrors());
        remove(index);
    }
}

// The loading engine turns never ready as level 8 begins, so that only the
// isolated load meets it.
sim::Module* gModule = nullptr;
kelvo_driver::SetupTask* isolatedDownloadNeverReady(kelvo_driver::KelvoHelper& helper,
                                                    const kelvo_driver::SetupInputs& inputs,
                                                    tStatus& status) {
    gModule->bridgeRegisters().fpgaLoading().setReadyNever(true);
    return kelvo_driver::getProductSetupLevelTable().tasks[7](helper, inputs, status);
}

TEST_F(CoreBringup, AnIsolatedLoadThatTimesOutIsClearedAndLeavesTheIsolatedFpgaSilent) {
    kelvo_driver::SetupLevelTable table = kelvo_driver::getProductSetupLevelTable();
    table.tasks[7] = isolatedDownloadNeverReady;
    kelvo_driver::setSetupLevelTableForTests(&table);
    const int index = add("solstra", [](sim::Module& m) { gModule = &m; });
    kelvo_driver::setSetupLevelTableForTests(nullptr);
    sim::Module& m = module(index);
    // The loading time-out is no failure of level 8; level 11 finds the isolated FPGA silent.
    EXPECT_EQ(levelOf(index), 10u);
    EXPECT_EQ(m.isoComm().commands(), (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(m.isoComm().dcBusStarted());
    EXPECT_FALSE(m.bridgeRegisters().fpgaLoading().configured(1));
    // The isolated FPGA does not answer: a read through the link gives all ones.
    m.isoFpga().poke(kScratchOffset, 0x5EA1AB1E);
    kelvo_driver::IsolatedRegMaps& group = deviceOf(index)->getKelvoHelper()->getIsolatedRegMaps();
    tStatus status;
    EXPECT_EQ(group.getWindowedAccessor()->read32(kScratchOffset, status), 0xFFFFFFFFu);
}

} // namespace
