// The bridge and timing-chip group over the simulated module.

#include "groups_support.h"

namespace {

using kelvo_driver::TYMORegMaps;
using kelvo_test::groups::namesOf;
using nVOAPALS100::tStatus;

using GroupsTymo = kelvo_test::groups::TymoTest;

// The group registers its ten maps; the triggers map sits where the module has the timing chip.
TEST_F(GroupsTymo, TheGroupRegistersItsTenMapsAndTheTriggersMapSitsOnTheTimingChip) {
    ASSERT_EQ(buildTymo(), 0);
    auto names = namesOf(*arm);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"Brixel", "BrixelConfigPortSPI", "BrixelConfigPortWindow",
                                        "BrixelDMAChannel0", "BrixelDMAChannel1", "DO", "IOPort2RegMap",
                                        "IsolationPortRegMap", "SwitchedBrixelBimRegMap", "Triggers"}));
    EXPECT_EQ(tymo->triggersRegMap.bus().memory()->base() - bar(),
              board->module->bar0().baseOf("timing-chip"));
}

TEST_F(GroupsTymo, AChannelBlockPastTheBarEndIsRefusedWithTheLaterOnes) {
    // Channel 0 ends exactly at the end of the BAR; channel 1 would not fit.
    const auto last = static_cast<uint32_t>(barSize - TYMORegMaps::kDMAChannelRegionSize);
    board->module->bridgeRegisters().setDmaBase(last);
    EXPECT_EQ(buildTymo(), tStatus::kNotAccessible);
    EXPECT_NE(tymo->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(tymo->getDMAChannelRegMap(1), nullptr);
    EXPECT_EQ(namesOf(*arm), std::vector<std::string>{"BrixelDMAChannel0"});
    delete tymo;
    tymo = nullptr;
    EXPECT_EQ(arm->removals, (std::vector<std::string>{"DO", "Triggers", "BrixelConfigPortWindow",
                                                       "BrixelConfigPortSPI", "IsolationPortRegMap",
                                                       "IOPort2RegMap", "Brixel", "SwitchedBrixelBimRegMap",
                                                       "BrixelDMAChannel0", "BrixelDMAChannel1"}));

    // One byte further: not even channel 0.
    board->module->bridgeRegisters().setDmaBase(last + 1);
    EXPECT_EQ(buildTymo(), tStatus::kNotAccessible);
    EXPECT_EQ(tymo->getDMAChannelRegMap(0), nullptr);
    EXPECT_EQ(arm->getNumberOfRegistrations(), 0u);
}

} // namespace
