// Setup levels 6 to 9 on the simulated boards: the real tasks over the
// product's lower levels (stand-ins above level 9), with the clock sped up so
// that the transformer's settle and the link's polls cost milliseconds.
// What the board saw (transformer, link commands, the isolated load), the
// isolated side through its window afterwards, and how each failure ends the
// setup.
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core_test_levels.h"
#include "core_test_support.h"
#include "kelvo/ioctl.h"
#include "regmaps/isolated_reg_maps.h"

namespace {

using nVOAPALS100::tStatus;

constexpr int64_t kLinkTimeout = kelvoDriverCode(0xBFFA4678);
constexpr int64_t kDcBusTimeout = kelvoDriverCode(0xBFFA4683);
constexpr uint64_t kScratchOffset = 0x18; // the required block's scratch register

using kelvo_test::address;
using kelvo_test::answer;

class CoreBringup : public kelvo_test::HostedTest {
protected:
    kelvo_test::ScopedTestLevels levels_{kelvo_test::testSetupLevelTableOverProductLevels()};
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

struct Failure {
    const char* what;
    std::function<void(sim::Module&)> prepare;
    uint32_t levelReached;
    int64_t code;
    std::vector<uint32_t> linkCommands;
};

TEST_F(CoreBringup, EachFailureOfTheBoardStopsTheSetupBelowItsLevel) {
    const std::vector<Failure> cases = {
        {"link never reaches state 1",
         [](sim::Module& m) { m.isoComm().setLinkNeverAnswers(true); },
         7,
         kLinkTimeout,
         {1}},
        {"DC bus never starts",
         [](sim::Module& m) { m.isoComm().setDcBusNeverStarts(true); },
         7,
         kDcBusTimeout,
         {1, 2}},
    };
    for (const char* board : {"solstra", "duskmere-b"}) {
        for (const Failure& c : cases) {
            SCOPED_TRACE(std::string(board) + ": " + c.what);
            const int index = add(board, c.prepare);
            EXPECT_EQ(levelOf(index), c.levelReached);
            EXPECT_EQ(setupCode(index), c.code);
            EXPECT_EQ(module(index).isoComm().commands(), c.linkCommands);
            EXPECT_FALSE(deviceOf(index)->getKelvoHelper()->isBuilt(c.levelReached + 1));
            remove(index);
        }
    }
}

TEST_F(CoreBringup, AnIsolatedLoadThatTimesOutIsClearedAndLeavesTheIsolatedFpgaSilent) {
    // The non-isolated FPGA holds its image already (a stand-in level 4), so
    // that the loading engine's never-ready knob meets only the isolated load.
    static const kelvo_driver::SetupLevelTable table = [] {
        kelvo_driver::SetupLevelTable t = kelvo_test::testSetupLevelTableOverProductLevels();
        t.tasks[3] = kelvo_test::testSetupLevelTable().tasks[3];
        return t;
    }();
    kelvo_test::ScopedTestLevels levels(table);
    kelvo_host::setFpgasLoadedAtPlugging(true, false);
    const int index =
        add("solstra", [](sim::Module& m) { m.bridgeRegisters().fpgaLoading().setReadyNever(true); });
    sim::Module& m = module(index);
    EXPECT_EQ(levelOf(index), 19u) << "the loading time-out of the isolated download is not a failure";
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
