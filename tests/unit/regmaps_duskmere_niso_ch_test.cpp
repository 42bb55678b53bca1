// The Duskmere non-isolated channel map: its register count, the pending strobes of the signal ticks,
// the rectifier control and the adjuster controls, the interleaved adjuster
// arrays and the look-up-table writes.
#include <algorithm>
#include <vector>

#include "control.h"

#include "regmaps/duskmere_niso_ch_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereNisoChRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

constexpr uint32_t kBase = 0xC000;

class DuskmereNisoCh : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereNisoChRegMap map{&bus, built, kBase, 0, 0x2000};
    kelvo_test::MapProbe op{map};
};

TEST_F(DuskmereNisoCh, AdjusterIOccupiesSevenConsecutiveWords) {
    // Element i of array j at 0x310 + 28 * i + 4 * j, through the typed members.
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t first = kBase + 0x310 + 28 * i;
        EXPECT_EQ(map.XfmrAdjVFixedIndexGain[i].address, first);
        EXPECT_EQ(map.XfmrAdjVFixedIndexOffset[i].address, first + 4);
        EXPECT_EQ(map.XfmrAdjIHighIndexGain[i].address, first + 8);
        EXPECT_EQ(map.XfmrAdjIHighIndexOffset[i].address, first + 12);
        EXPECT_EQ(map.XfmrAdjLutPointer[i].address, first + 16);
        EXPECT_EQ(map.XfmrAdjLutWriteData[i].address, first + 20);
        EXPECT_EQ(map.XfmrAdjusterControl[i].address, first + 24);
    }
    tStatus s;
    map.XfmrAdjusterControl[1].writeXfmrAdjusterDelay(0x3FF, s, false);
    map.XfmrAdjIHighIndexGain[3].writeXfmrAdjIHighIndexGain(0xFFFF, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log,
              (std::vector<BusAccess>{{'W', kBase + 0x344, 0x01FF0000}, {'W', kBase + 0x36C, 0xFFF}}));
}

TEST_F(DuskmereNisoCh, AnUpdateStrobeWaitsPendingAndIsWrittenOnce) {
    // MainXfmrSignalAssertTickUpdateStb of the tick register at 0x194.
    EXPECT_EQ(op.set(0x3C654361, 1), 0);
    EXPECT_EQ(op.get(0x3C654361), 0u) << "get shows the strobe as 0";
    EXPECT_EQ(map.MainXfmrSignalTick[4].strobeCopy, 0x8000u);
    EXPECT_EQ(op.flush(0x80654361), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x194, 0x8000}}));
    EXPECT_EQ(map.MainXfmrSignalTick[4].softCopy, 0u);
    EXPECT_EQ(op.flush(0x80654361), 0);
    EXPECT_EQ(bus.count('W'), 1u) << "a second flush without force writes nothing";

    // The assert tick set twice to one value marks the register dirty once; a pending strobe keeps it dirty.
    EXPECT_EQ(op.set(0x00654361, 0x123), 0);
    EXPECT_EQ(op.flush(0x00654361), 0);
    EXPECT_EQ(op.set(0x00654361, 0x123), 0);
    EXPECT_EQ(map.MainXfmrSignalTick[4].dirty, 0);
    EXPECT_EQ(op.set(0x3E654361, 1), 0);
    EXPECT_EQ(op.set(0x00654361, 0x123), 0);
    EXPECT_EQ(map.MainXfmrSignalTick[4].dirty, 1);
    EXPECT_EQ(op.flush(0x80654361), 0);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', kBase + 0x194, 0x80000123}));

    // The typed writers of the type.
    bus.log.clear();
    tStatus s;
    map.MainXfmrSignalTick[0].writeMainXfmrSignalDeassertTick(0xABC, s, false);
    map.MainXfmrSignalTick[0].writeMainXfmrSignalDeassertTickUpdateStb(true, s, false);
    map.MainXfmrSignalTick[9].writeRegister(0xFFFFFFFF, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x184, 0x0ABC0000},
                                               {'W', kBase + 0x184, 0x8ABC0000},
                                               {'W', kBase + 0x1A8, 0xFFFFFFFF}}));
    EXPECT_EQ(map.MainXfmrSignalTick[9].softCopy, 0x7FFF7FFFu);
}

TEST_F(DuskmereNisoCh, AFailedWriteKeepsTheStrobesPendingForTheRetry) {
    tStatus s;
    map.XfmrAdjusterControl[2].setXfmrAdjusterEnableStb(true, s);
    map.XfmrAdjusterControl[2].setXfmrAdjusterEnabled(true, s);
    bus.failNext(1);
    map.XfmrAdjusterControl[2].flush(s, false);
    EXPECT_EQ(s.getCode(), -50400);
    EXPECT_EQ(map.XfmrAdjusterControl[2].dirty, 1);
    EXPECT_EQ(map.XfmrAdjusterControl[2].strobeCopy, 0x1u);
    EXPECT_EQ(map.XfmrAdjusterControl[2].softCopy, 0x10u);
    // The retry sends the enable strobe again, then it is gone.
    EXPECT_EQ(op.flush(0x8084C6F6), 0);
    EXPECT_EQ(op.flush(0x8084C6F6), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x360, 0x11}, {'W', kBase + 0x360, 0x11}}));
    EXPECT_EQ(map.XfmrAdjusterControl[2].dirty, 0);

    // The rectifier control the same way; a refresh drops a strobe that was set and not written.
    EXPECT_EQ(op.set(0x209F48C5, 1), 0);
    bus.memory[kBase + 0x1D0] = 0x100;
    EXPECT_EQ(op.refresh(0x809F48C5), 0);
    EXPECT_EQ(map.MainXfmrRectControl.strobeCopy, 0u);
    EXPECT_EQ(op.flush(0x809F48C5), 0);
    EXPECT_EQ(bus.count('W'), 2u);
}

TEST_F(DuskmereNisoCh, LookUpTableWritesOfTheSameValueAreSkippedUnlessForced) {
    // XfmrAdjLutWriteData of adjuster 2 (0x35C).
    EXPECT_EQ(op.write(0x00343AE5, 0x1AB), 0);
    EXPECT_EQ(op.write(0x00343AE5, 0x1AB), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x35C, 0x1AB}}));
    EXPECT_EQ(op.write(0x00343AE5, 0x1AB, true), 0);
    EXPECT_EQ(bus.count('W'), 2u);

    // A loader: pointer, then data, each entry at once; equal consecutive entries need force.
    bus.log.clear();
    tStatus s;
    const uint16_t entries[] = {7, 7, 8};
    for (uint16_t i = 0; i < 3; ++i) {
        map.XfmrAdjLutPointer[0].writeXfmrAdjLutPointer(i, s, true);
        map.XfmrAdjLutWriteData[0].writeXfmrAdjLutWriteData(entries[i], s, true);
    }
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x320, 0},
                                               {'W', kBase + 0x324, 7},
                                               {'W', kBase + 0x320, 1},
                                               {'W', kBase + 0x324, 7},
                                               {'W', kBase + 0x320, 2},
                                               {'W', kBase + 0x324, 8}}));
    // The data field holds 9 bits, the pointer 14.
    map.XfmrAdjLutWriteData[0].setXfmrAdjLutWriteData(0xFFFF, s);
    map.XfmrAdjLutPointer[0].setXfmrAdjLutPointer(0xFFFF, s);
    EXPECT_EQ(map.XfmrAdjLutWriteData[0].softCopy, 0x1FFu);
    EXPECT_EQ(map.XfmrAdjLutPointer[0].softCopy, 0x3FFFu);
}

TEST_F(DuskmereNisoCh, OneShotRegistersClearTheirFieldsAfterTheWrite) {
    // Occurrence multiplexer configuration: every field reads 0 after the flush.
    const uint32_t fields[] = {0x003D6ADE, 0x143D6ADE, 0x343D6ADE, 0x0C3D6ADE,
                               0x2C3D6ADE, 0x023D6ADE, 0x0E3D6ADE};
    for (uint32_t id : fields) {
        EXPECT_EQ(op.set(id, 0xFF), 0);
    }
    EXPECT_EQ(op.flush(0x803D6ADE), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x304, 0xF0FF3C07}}));
    for (uint32_t id : fields) {
        EXPECT_EQ(op.get(id), 0u);
    }
    EXPECT_EQ(op.flush(0x803D6ADE), 0);
    EXPECT_EQ(bus.count('W'), 1u) << "no longer dirty";

    // Switch control: bits 16-19 and 24-27 go; the rest of the word stays.
    EXPECT_EQ(op.write(0x8023FAFA, 0xFFFFFFFF), 0);
    EXPECT_EQ(op.get(0x8023FAFA), 0xF0F0FFFFu);
}

TEST_F(DuskmereNisoCh, OutsideTheWindowNothingIsTouched) {
    tStatus b;
    tDuskmereNisoChRegMap narrow{&bus, b, kBase, 0, 0x300};
    kelvo_test::MapProbe n{narrow};
    EXPECT_EQ(n.set(0x00343AE5, 5), 0);
    EXPECT_EQ(n.flush(0x00343AE5), kelvo_test::kOutsideWindow);
    EXPECT_EQ(narrow.XfmrAdjLutWriteData[2].dirty, 1);
    uint64_t v = 0;
    EXPECT_EQ(n.read(0x80536D05, v), kelvo_test::kOutsideWindow);
    EXPECT_EQ(n.write(0x80BF1290, 1), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x1C0, 1}}));
}

TEST_F(DuskmereNisoCh, AFailedAllocationStopsTheConstructionAtThatEntry) {
    // Allocated in order: three DC-bus maps, then three register-access maps.
    kal::memory::failNth(2);
    tStatus s;
    tDuskmereNisoChRegMap partial{&bus, s, kBase, 0, 0x2000};
    kal::memory::clearFaults();
    EXPECT_EQ(s.getCode(), nVOAPALS100::tStatus::kOutOfMemory);
    EXPECT_NE(partial.KelvoDcBusRegMaps[0], nullptr);
    EXPECT_EQ(partial.KelvoDcBusRegMaps[1], nullptr);
    EXPECT_EQ(partial.KelvoDcBusRegMaps[2], nullptr);
    EXPECT_EQ(partial.IsoRegAccess[0], nullptr);
    // Walks skip the empty slots.
    partial.markDirtyRegMap();
    tStatus f;
    partial.flushRegMap(false, f);
    partial.refreshRegMap(f);
    partial.reinitialize();
    EXPECT_TRUE(f.isSuccess());
}

TEST_F(DuskmereNisoCh, MarkDirtyThenFlushWritesEveryWritableRegisterOnce) {
    map.markDirtyRegMap();
    tStatus s;
    map.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    std::vector<uint32_t> written = bus.offsets('W');
    const size_t count = written.size();
    std::sort(written.begin(), written.end());
    EXPECT_EQ(std::unique(written.begin(), written.end()), written.end());
    // The sub-maps' registers too: the expander's and the register-access windows lie below 0x180.
    EXPECT_LT(written.front(), kBase + 0x180);
    bus.log.clear();
    map.flushRegMap(false, s);
    EXPECT_TRUE(bus.log.empty());
    map.markDirtyRegMap();
    map.flushRegMap(false, s);
    EXPECT_EQ(bus.count('W'), count);
}

} // namespace
