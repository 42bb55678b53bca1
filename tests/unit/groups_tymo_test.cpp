// The bridge and timing-chip group over the simulated module.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/tymo_reg_maps.h"
#include "groups_support.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using kelvo_driver::TYMORegMaps;
using kelvo_test::groups::LoggingARMDispatcher;
using kelvo_test::groups::namesOf;
using nVOAPALS100::tStatus;

class GroupsTymo : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        board = std::make_unique<kelvo_test::SimBoard>("solstra");
        barSize = kelvo_driver::mappedSizeOfBar0(*board->device);
    }
    void TearDown() override {
        delete group;
        group = nullptr;
        EXPECT_EQ(dispatcher->getNumberOfRegistrations(), 0u);
        dispatcher.reset();
        EXPECT_EQ(board->module->deviceErrorCount(), 0u)
            << ::testing::PrintToString(board->module->deviceErrors());
        board.reset();
        LeakCheckedTest::TearDown();
    }
    int64_t build() {
        tStatus status;
        group = new (status, false)
            TYMORegMaps(reinterpret_cast<uintptr_t>(board->bar), barSize, *dispatcher, status);
        return status.getCode();
    }
    sim::BridgeRegisters& bridge() { return board->module->bridgeRegisters(); }

    std::unique_ptr<kelvo_test::SimBoard> board;
    uint64_t barSize = 0;
    std::optional<LoggingARMDispatcher> dispatcher{std::in_place};
    TYMORegMaps* group = nullptr;
};

const std::vector<std::string> kRemoved = {"DO",
                                           "Triggers",
                                           "BrixelConfigPortWindow",
                                           "BrixelConfigPortSPI",
                                           "IsolationPortRegMap",
                                           "IOPort2RegMap",
                                           "Brixel",
                                           "SwitchedBrixelBimRegMap",
                                           "BrixelDMAChannel0",
                                           "BrixelDMAChannel1"};

// The group's own maps sit where the module has the blocks they drive.
TEST_F(GroupsTymo, MapsOfTheTimingChipAndTheSPIPortSitOnTheirBlocks) {
    ASSERT_EQ(build(), 0);
    const struct {
        const arm::tSizedRegisterMapBase& map;
        const char* block;
    } cases[] = {
        {group->configPortSPIRegMap, "config-port-spi"},
        {group->triggersRegMap, "timing-chip"},
        {group->doRegMap, "timing-chip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.map.tables().defaultName);
        const uint64_t base = c.map.bus().memory()->base() - reinterpret_cast<uintptr_t>(board->bar);
        EXPECT_EQ(base, board->module->bar0().baseOf(c.block));
    }
}

TEST_F(GroupsTymo, AChannelBlockPastTheBarEndIsRefusedWithTheLaterOnes) {
    // Channel 0 ends exactly at the end of the BAR; channel 1 would not fit.
    bridge().setDmaBase(static_cast<uint32_t>(barSize - TYMORegMaps::kDMAChannelRegionSize));
    EXPECT_EQ(build(), tStatus::kNotAccessible);
    EXPECT_NE(group->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(group->getDMAChannelRegMap(1), nullptr);
    EXPECT_EQ(namesOf(*dispatcher), std::vector<std::string>{"BrixelDMAChannel0"});
    delete group;
    group = nullptr;
    EXPECT_EQ(dispatcher->removals, kRemoved);

    // One byte further: not even channel 0.
    bridge().setDmaBase(static_cast<uint32_t>(barSize - TYMORegMaps::kDMAChannelRegionSize + 1));
    EXPECT_EQ(build(), tStatus::kNotAccessible);
    EXPECT_EQ(group->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(dispatcher->getNumberOfRegistrations(), 0u);
}

} // namespace
