// The bridge and timing-chip group over the simulated module: its ten names in
// their registration and removal orders, the DMA channel blocks placed from
// what the bridge reports (and refused when that would leave the BAR), and a
// clean end after a failed mutex or an error on entry.
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
using kelvo_test::groups::lookUp;
using kelvo_test::groups::namesOf;
using nVOAPALS100::tStatus;

constexpr const char* kBridgeVersion = "_Ver2.3.0f7";

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

TEST_F(GroupsTymo, DMAChannelBlocksArePlacedFromBaseAndStride) {
    // DMA base 0x1000, stride exponent 8: channel 1 at BAR + 0x1100.
    EXPECT_EQ(bridge().dmaBase(), 0x1000u);
    EXPECT_EQ((bridge().coreDescription() >> 16) & 0xF, 8u);
    ASSERT_EQ(build(), 0);
    for (uint32_t n = 0; n < 2; ++n) {
        EXPECT_EQ(bridge().channelBase(n), 0x1000u + 0x100u * n);
        auto* map = lookUp(*dispatcher, "BrixelDMAChannel" + std::to_string(n) + kBridgeVersion);
        ASSERT_EQ(map, group->getDMAChannelRegMap(n));
        // Every register of the channel map lies in the channel's own block.
        bridge().channel(n).clearTrace();
        tStatus status;
        map->refreshRegMap(status);
        EXPECT_EQ(status.getCode(), 0);
        const auto trace = bridge().channel(n).trace();
        ASSERT_FALSE(trace.empty());
        for (const sim::Access& a : trace) {
            EXPECT_LT(a.offset, TYMORegMaps::kDMAChannelRegionSize);
        }
    }
    EXPECT_EQ(group->getDMAChannelRegMap(2), nullptr);
}

TEST_F(GroupsTymo, ADeadBridgeSendsNoAccessOutsideTheBar) {
    board->module->setDeadBridge(true);
    EXPECT_EQ(build(), tStatus::kNotAccessible);
    EXPECT_EQ(dispatcher->getNumberOfRegistrations(), 0u);
    EXPECT_EQ(group->getDMAChannelRegMap(0), nullptr);
    board->module->setDeadBridge(false);
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

// Failed allocations are swept through add device; here the port accessor's
// mutex and an error on entry.
TEST_F(GroupsTymo, AFailedMutexOrAnErrorOnEntryRegistersNothing) {
    // The port accessor's mutex.
    kal::faults::failNth(kal::faults::kMutex, 1);
    EXPECT_EQ(build(), tStatus::kOutOfMemory);
    EXPECT_EQ(dispatcher->getNumberOfRegistrations(), 0u);

    // An error on entry: nothing is read or registered.
    delete group;
    bridge().id().clearTrace();
    tStatus status;
    KELVO_SET_STATUS(status, -9);
    TYMORegMaps entry(reinterpret_cast<uintptr_t>(board->bar), barSize, *dispatcher, status);
    group = nullptr;
    EXPECT_EQ(status.getCode(), -9);
    EXPECT_TRUE(bridge().id().trace().empty());
    EXPECT_EQ(dispatcher->getNumberOfRegistrations(), 0u);
}

} // namespace
