// The bridge and timing-chip group over the simulated module.
#include <cstdint>
#include <string>
#include <vector>

#include "groups_support.h"

namespace {

using kelvo_driver::TYMORegMaps;
using kelvo_test::groups::namesOf;
using nVOAPALS100::tStatus;

class GroupsTymo : public kelvo_test::groups::GroupsTest {
protected:
    void SetUp() override {
        GroupsTest::SetUp();
        plug("solstra");
        barSize = kelvo_driver::mappedSizeOfBar0(*board->device);
    }
    void TearDown() override {
        delete group;
        group = nullptr;
        GroupsTest::TearDown();
    }
    int64_t build() {
        tStatus status;
        group = new (status, false) TYMORegMaps(bar(), barSize, *arm, status);
        return status.getCode();
    }
    sim::BridgeRegisters& bridge() { return board->module->bridgeRegisters(); }

    uint64_t barSize = 0;
    TYMORegMaps* group = nullptr;
};

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
        const uint64_t base = c.map.bus().memory()->base() - bar();
        EXPECT_EQ(base, board->module->bar0().baseOf(c.block));
    }
}

TEST_F(GroupsTymo, AChannelBlockPastTheBarEndIsRefusedWithTheLaterOnes) {
    // Channel 0 ends exactly at the end of the BAR; channel 1 would not fit.
    bridge().setDmaBase(static_cast<uint32_t>(barSize - TYMORegMaps::kDMAChannelRegionSize));
    EXPECT_EQ(build(), tStatus::kNotAccessible);
    EXPECT_NE(group->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(group->getDMAChannelRegMap(1), nullptr);
    EXPECT_EQ(namesOf(*arm), std::vector<std::string>{"BrixelDMAChannel0"});
    delete group;
    group = nullptr;
    std::string removed;
    for (const std::string& name : arm->removals) {
        removed += name + " ";
    }
    EXPECT_EQ(removed,
              "DO Triggers BrixelConfigPortWindow BrixelConfigPortSPI IsolationPortRegMap IOPort2RegMap "
              "Brixel SwitchedBrixelBimRegMap BrixelDMAChannel0 BrixelDMAChannel1 ");

    // One byte further: not even channel 0.
    bridge().setDmaBase(static_cast<uint32_t>(barSize - TYMORegMaps::kDMAChannelRegionSize + 1));
    EXPECT_EQ(build(), tStatus::kNotAccessible);
    EXPECT_EQ(group->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(arm->getNumberOfRegistrations(), 0u);
}

} // namespace
