// Bridge and timing-chip maps where they differ from the register engine's common rules.
#include <algorithm>

#include "bridge_test_support.h"
#include "regmaps/brixel_dma_channel.h"
#include "regmaps/brixel_triggers.h"
#include "regmaps/tymo_do.h"
#include "regmaps/tymo_out_timer.h"

namespace {

using namespace kelvo_test;
using nVOAPALS100::tStatus;
using Access = ChipAccess;
using tDma = brixeltools::tBrixelDMAChannelWithOffset<0u>;

using BridgeMaps = SimulatedBarTest;

TEST_F(BridgeMaps, DmaChannelControlGoesStraightToTheHardware) {
    tRegion regionDma = region(module->bridgeRegisters().channelBase(1), 0xA8);
    tDma dma(regionDma);
    sim::LatchBlock& channel = module->bridgeRegisters().channel(1);
    tStatus status;
    dma.write(0x20000058, 7, false, status, 0);
    dma.write(0x20000058, 0, false, status, 0);
    dma.write(0x80000058, 0x5, true, status, 0);
    EXPECT_EQ(accessesOf(channel, true), (std::vector<Access>{W32(0x58, 0x2), W32(0x58, 0), W32(0x58, 0x5)}));
    uint64_t value = 9;
    EXPECT_EQ(codeOf([&](tStatus& s) { dma.get(0x80000058, value, s, 0); }), kUnknownId);
    channel.setLatch(0x58, 4, 1u << 25);
    dma.read(0x26000058, value, status, 0);
    EXPECT_EQ(value, 1u);
    for (uint32_t id : {0x80000058u, 0x400000A0u}) {
        EXPECT_EQ(codeOf([&](tStatus& s) { dma.set(id, 1, s, 0); }), kUnknownId);
    }
    channel.clearTrace();
    dma.flush(0x06000058, true, status, 0);
    EXPECT_TRUE(status.isSuccess());
    dma.markDirtyRegMap();
    dma.flushRegMap(true, status);
    EXPECT_TRUE(accessesOf(channel, true).empty());
    EXPECT_EQ(codeOf([&](tStatus& s) { dma.flush(0xC0000060, true, s, 0); }), kUnknownId);
    channel.setLatch(0x60, 4, 0x12345678);
    dma.refresh(0x5C000060, status, 0);
    EXPECT_EQ(dma.ChannelStatus.softCopy, 0x12345678u);
    EXPECT_EQ(codeOf([&](tStatus& s) { dma.refresh(0x80000060, s, 0); }), kUnknownId);
    channel.clearTrace();
    dma.refreshRegMap(status);
    EXPECT_EQ(accessesOf(channel), (std::vector<Access>{R32(0x60, 0x12345678), R32(0xA0, 0), R32(0xA4, 0)}));
}

TEST_F(BridgeMaps, TimingChipRegistersOutsideTheWindowAreNotAccessedAndAWholeMapFlushesWhenDirty) {
    // A window over map offsets 0x04 to 0x13 only, the window's start at block offset 0x04.
    tRegion regionF = region(sim::TimingChip::kBase, 0x6A);
    tymo_regmaps::tDO narrow(&regionF, 4u, 4u, 0x10u);
    EXPECT_EQ(narrow.DIO_Direction_Register.address, 0x08u) << "base - window start + offset";
    tStatus status;
    narrow.set(0x80000014, 0x1, status, 0);
    EXPECT_EQ(codeOf([&](tStatus& s) { narrow.flush(0x80000014, true, s, 0); }), kOutsideWindow);
    EXPECT_EQ(narrow.DO_Mode_Register.dirty, 1u);
    EXPECT_EQ(codeOf([&](tStatus& s) { narrow.write(0x8000001C, 1, false, s, 0); }), kOutsideWindow);
    uint64_t value = 3;
    EXPECT_EQ(codeOf([&](tStatus& s) { narrow.read(0xC0000000, value, s, 0); }), kOutsideWindow);
    EXPECT_EQ(value, 0u) << "the unchanged soft copy";
    EXPECT_EQ(codeOf([&](tStatus& s) { narrow.flushRegMap(true, s); }), kOutsideWindow) << "first error kept";
    // Every register inside the window was still written: 0x04, 0x08, 0x10 of the map, all of the timer.
    const std::vector<Access> trace = chipTrace();
    EXPECT_EQ(std::count_if(trace.begin(), trace.end(), [](const Access& a) { return a.offset < 0x34; }), 3);
    EXPECT_EQ(codeOf([&](tStatus& s) { narrow.refreshRegMap(s); }), kOutsideWindow) << "a refresh too";
    // ...and past it: the timer's status register (offset 0) lies before the window, its saves inside.
    tymo_regmaps::tOutTimer timer(&regionF, 0x38u, 4u, 0x14u);
    module->timingChip().clearTrace();
    EXPECT_EQ(codeOf([&](tStatus& s) { timer.refreshRegMap(s); }), kOutsideWindow);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{R32(0x38, 0), R32(0x40, 0), R32(0x48, 0)}));
    // A whole map marked dirty: its plain flush writes what a forced one writes, which takes the tree's lock
    // for each register it writes, the timer's too.
    tymo_regmaps::tDO map(&regionF, 0u, 0u, 0x6Au);
    struct : arm::tRegMapLockInterface {
        void acquire() override { ++taken; }
        void release() override {}
        size_t taken = 0;
    } lock;
    map.installTreeLock(&lock);
    tStatus whole;
    module->timingChip().clearTrace();
    map.flushRegMap(true, whole);
    const std::vector<Access> forced = chipTrace();
    ASSERT_FALSE(forced.empty());
    EXPECT_EQ(lock.taken, forced.size());
    module->timingChip().clearTrace();
    map.markDirtyRegMap();
    map.flushRegMap(false, whole);
    EXPECT_EQ(std::pair(chipTrace(), whole.getCode()), std::pair(forced, int64_t{0}));
}

TEST_F(BridgeMaps, TriggersSharedOffsetsAreToldApartByBit30) {
    tRegion regionE = region(sim::TimingChip::kBase, 0x107);
    brixeltools::tTriggersWithOffset<0u> triggers(regionE);
    sim::TimingChip& chip = module->timingChip();
    chip.setReadValue(0xE0, 0xA5C3);
    chip.setReadValue(0xDC, 0x0002);
    for (uint32_t id : {0xC00000E0u, 0x400000DCu}) {
        EXPECT_EQ(codeOf([&](tStatus& s) { triggers.set(id, 1, s, 0); }), kUnknownId);
        EXPECT_EQ(codeOf([&](tStatus& s) { triggers.write(id, 1, true, s, 0); }), kUnknownId);
        EXPECT_EQ(codeOf([&](tStatus& s) { triggers.flush(id, true, s, 0); }), kUnknownId);
    }
    uint64_t value = 7;
    EXPECT_EQ(codeOf([&](tStatus& s) { triggers.read(0x800000E0, value, s, 0); }), kUnknownId);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(chipTrace().empty());
    tStatus status;
    triggers.read(0xC00000E0, value, status, 0);
    EXPECT_EQ(value, 0xA5C3u);
    triggers.read(0x440000E0, value, status, 0);
    EXPECT_EQ(value, 1u) << "bit 8";
    triggers.read(0x600000DC, value, status, 0);
    EXPECT_EQ(value, 1u) << "bit 1 of the 16-bit read";
    triggers.get(0x800000DC, value, status, 0);
    EXPECT_EQ(value, 0x6000u) << "the written register's soft copy is its own";
    module->timingChip().clearTrace();
    triggers.refreshRegMap(status);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{{false, 0xDC, 2, 0x0002}, {false, 0xE0, 2, 0xA5C3}}));
    EXPECT_TRUE(status.isSuccess());
}

} // namespace
