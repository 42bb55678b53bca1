// The sequencer's view of the channel control loop: counts, identifiers copied
// by hand, strobe words, bits cleared after a write, data ports, the read view,
// and the order of the whole-map operations over its interleaved arrays.
#include <vector>

#include "regmaps/kelvo_seq_flex_loop_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tKelvoSeqFlexLoopRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kBufferTooSmall;
using kelvo_test::kNotImplemented;
using kelvo_test::kOutsideWindow;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using nVOAPALS100::tStatus;

// Writable registers in declaration order: the control modes, function selects
// and occurrence multiplexers are declared apart from their array neighbours.
const std::vector<uint32_t> kFlushOrder = {
    0x000, 0x004, 0x008, 0x00C, 0x010, 0x060, 0x064, 0x068, 0x06C, 0x070, 0x074, 0x078, 0x080, 0x084, 0x088,
    0x09C, 0x0A0, 0x0A4, 0x0A8, 0x0AC, 0x0B0, 0x0E8, 0x0EC, 0x0F0, 0x0F4, 0x0F8, 0x160, 0x164, 0x168, 0x184,
    0x18C, 0x194, 0x19C, 0x1AC, 0x1B4, 0x1BC, 0x1C8, 0x1D0, 0x1D4, 0x1D8, 0x230, 0x234, 0x240, 0x244, 0x248,
    0x24C, 0x254, 0x020, 0x024, 0x028, 0x02C, 0x030, 0x034, 0x038, 0x03C, 0x040, 0x044, 0x048, 0x04C, 0x050,
    0x054, 0x058, 0x05C, 0x090, 0x094, 0x100, 0x110, 0x120, 0x130, 0x108, 0x118, 0x128, 0x138, 0x10C, 0x11C,
    0x12C, 0x13C, 0x200, 0x204, 0x208, 0x20C, 0x210, 0x220, 0x228, 0x224, 0x22C};

// Readable registers with a soft copy, in declaration order.
const std::vector<uint32_t> kRefreshOrder = {
    0x000, 0x008, 0x00C, 0x010, 0x060, 0x064, 0x068, 0x06C, 0x070, 0x074, 0x078, 0x080, 0x084, 0x088,
    0x09C, 0x0A0, 0x0A4, 0x0A8, 0x0AC, 0x0B0, 0x0E8, 0x0EC, 0x0F0, 0x0F4, 0x0F8, 0x160, 0x180, 0x188,
    0x190, 0x198, 0x1A8, 0x1B0, 0x1B8, 0x1C0, 0x1C4, 0x1CC, 0x240, 0x244, 0x248, 0x24C, 0x250, 0x020,
    0x024, 0x028, 0x02C, 0x030, 0x034, 0x038, 0x03C, 0x040, 0x044, 0x048, 0x04C, 0x050, 0x054, 0x058,
    0x05C, 0x090, 0x094, 0x104, 0x114, 0x124, 0x134, 0x108, 0x118, 0x128, 0x138, 0x10C, 0x11C, 0x12C,
    0x13C, 0x140, 0x144, 0x148, 0x14C, 0x150, 0x154, 0x158, 0x15C, 0x1E0, 0x1E4, 0x1E8, 0x1EC, 0x1F0};

class SeqFlexLoopMap : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tKelvoSeqFlexLoopRegMap map{&bus, 0x400, 0, 0x400};
    MapProbe probe{map};
};

TEST_F(SeqFlexLoopMap, CountsOfRegistersAndIdentifiers) {
    const kelvo_test::TableCounts counts(tKelvoSeqFlexLoopRegMap::kTables);
    EXPECT_EQ(counts.registers, 126u);
    EXPECT_EQ(counts.readWrite, 56u);
    EXPECT_EQ(counts.writeOnly, 30u);
    EXPECT_EQ(counts.readOnly, 28u);
    EXPECT_EQ(counts.ports, 12u);
    // 115 whole-register identifiers with a soft copy, 329 field identifiers, 12 ports.
    EXPECT_EQ(tKelvoSeqFlexLoopRegMap::kTables.get.count, 115u + 329u);
    EXPECT_EQ(counts.ids.size(), 115u + 329u + 12u);
    EXPECT_EQ(counts.formatIds.size(), 127u);
    EXPECT_STREQ(map.getVersion(), "1.0.0d379");
    EXPECT_STREQ(map.getOldestCompatibleVersion(), "1.0.0d379");
    EXPECT_STREQ(tKelvoSeqFlexLoopRegMap::kTables.defaultName, "KelvoSeqFlexLoopRegMap");

    // Every soft copy starts at 0, and reading it touches no hardware.
    for (uint32_t id : counts.ids) {
        uint64_t v = 1;
        if (probe.get(id, v) == 0) {
            EXPECT_EQ(v, 0u) << std::hex << id;
        }
    }
    EXPECT_TRUE(bus.log.empty());
}

TEST_F(SeqFlexLoopMap, StrobeWordsSendTheirStrobesOnceAndKeepTheRest) {
    EXPECT_EQ(probe.set(0x8053CC08, 0xFFFFFFFF), 0);
    EXPECT_EQ(probe.flush(0x8053CC08, false), 0);
    EXPECT_EQ(map.KelvoTableConfig.softCopy, 0x7FFFFEFFu);
    EXPECT_EQ(map.KelvoTableConfig.strobeCopy, 0u);
    EXPECT_EQ(probe.flush(0x8053CC08, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x408, 0xFFFFFFFF}, {'W', 0x408, 0x7FFFFEFF}}));

    // Strobe bit 30 of the measure-unit packet generator through its field identifier.
    bus.log.clear();
    EXPECT_EQ(probe.write(0x1E18D796, 1, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x560, 0x40000000}}));
    EXPECT_EQ(map.MuPacketGenConfig.softCopy, 0u);
    EXPECT_EQ(probe.get(0x1E18D796), 0u) << "get answers the soft copy, not the pending word";

    // A failed write keeps the strobe pending: the retry still sends it.
    bus.log.clear();
    bus.failNext(1);
    EXPECT_EQ(probe.write(0x3E18D796, 1, false), -50400);
    EXPECT_EQ(map.MuPacketGenConfig.strobeCopy, 0x80000000u);
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 1);
    EXPECT_EQ(probe.flush(0x8018D796, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x560, 0x80000000}, {'W', 0x560, 0x80000000}}));
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 0);
}

TEST_F(SeqFlexLoopMap, WriteOnlyRegistersClearTheirStrobesAndAreNeverRead) {
    // Timer[1] clears its whole soft copy after a write.
    EXPECT_EQ(probe.set(0x80CFCAC1, 5), 0);
    EXPECT_EQ(probe.flushAll(false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x620, 5}}));
    EXPECT_EQ(map.Timer[1].softCopy, 0u);
    bus.log.clear();
    EXPECT_EQ(probe.flush(0x80CFCAC1, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x620, 0}}));

    EXPECT_EQ(probe.refresh(0x80B04F73), kUnknownId) << "write-only MeasureCompleteDelay";
    EXPECT_EQ(probe.set(0x80B04F73, 0x1234), 0);
    EXPECT_EQ(probe.get(0x80B04F73), 0x1234u);
    uint64_t v = 7;
    EXPECT_EQ(probe.read(0x80B04F73, v), kUnknownId);

    // The occurrence-multiplexer configuration keeps only the bits outside its fields.
    bus.log.clear();
    EXPECT_EQ(probe.write(0x80EF3D7C, 0xFFFFFFFF, false), 0);
    EXPECT_EQ(map.OccurrenceMuxConfig[0].softCopy, 0x0F00C3F8u);
    // Abort of the main measure unit through the typed writer.
    tStatus s;
    map.MuCtrl[0].writeAbortMeasure(true, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x500, 0x2}));
    EXPECT_EQ(map.MuCtrl[0].softCopy, 0u);
}

TEST_F(SeqFlexLoopMap, TheReadViewAndTheRegisterLookupOfFlushAndRefresh) {
    auto f = probe.format(0x8018D796);
    EXPECT_EQ(f.fields,
              (std::vector<std::pair<int, uint64_t>>{{1, 0x3}, {0, 0x10}, {0, 0x40000000}, {0, 0x80000000}}));
    f = probe.format(0xC018D796);
    EXPECT_EQ(f.fields, (std::vector<std::pair<int, uint64_t>>{
                            {1, 0x3}, {0, 0x10}, {0, 0x10000000}, {0, 0x40000000}, {0, 0x80000000}}));
    EXPECT_EQ(probe.format(0x8018D796, 3).code, kBufferTooSmall);
    EXPECT_EQ(probe.format(0x4044171D).code, kNotImplemented)
        << "a read-only field of a register without a view";

    // Both register identifiers reach one record; the read-only field only through the view.
    EXPECT_EQ(probe.set(0xC018D796, 0x3), 0);
    EXPECT_EQ(probe.get(0x8018D796), 0x3u);
    EXPECT_EQ(probe.set(0x4E18D796, 1), kUnknownId);
    EXPECT_EQ(probe.refresh(0x4E18D796), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'R', 0x560, 0}}));
    EXPECT_EQ(probe.flush(0x4E18D796, true), 0);

    EXPECT_EQ(probe.refresh(0x4044171D), kUnknownId);
    EXPECT_EQ(probe.refresh(0x8044171D), 0);
    EXPECT_EQ(probe.set(0x8044171D, 1), kUnknownId) << "read-only OccurrenceMuxStatus[0]";
    EXPECT_EQ(probe.flush(0x8044171D, true), kUnknownId);
}

TEST_F(SeqFlexLoopMap, DataPortsGoStraightToTheHardware) {
    bus.memory[0x4B8] = 0xFFFFFFFF;
    uint64_t v = 0;
    EXPECT_EQ(probe.read(0x80D7C4D6, v), 0);
    EXPECT_EQ(v, 0xFFFFFFFFu) << "the whole word, not masked to the field";
    EXPECT_EQ(probe.flush(0x80D7C4D6, true), 0);
    EXPECT_EQ(probe.refresh(0x80D7C4D6), kUnknownId);
    EXPECT_EQ(probe.get(0x80D7C4D6, v), kUnknownId);
    EXPECT_EQ(probe.write(0x804803AD, 0xABCDEF12, false), 0) << "ZeroGain[3]";
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'R', 0x4B8, 0xFFFFFFFF}, {'W', 0x4E4, 0xABCDEF12}}));
    EXPECT_EQ(probe.format(0x80D7C4D6).fields, (std::vector<std::pair<int, uint64_t>>{{3, 0x3FFFF}}));
    EXPECT_EQ(probe.format(0x80EA0B2A).fields, (std::vector<std::pair<int, uint64_t>>{{2, 0x7FFF}}));

    // Typed port methods, and the whole-map operations pass over the ports.
    tStatus s;
    map.PoleGain[3].writeRegister(0x55, s);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x4DC, 0x55}));
    bus.log.clear();
    map.markDirtyRegMap();
    EXPECT_EQ(probe.flushAll(false), 0);
    EXPECT_EQ(probe.refreshAll(), 0);
    for (const BusAccess& a : bus.log) {
        EXPECT_FALSE(a.offset >= 0x4B8 && a.offset <= 0x4E4) << std::hex << a.offset;
    }
}

TEST_F(SeqFlexLoopMap, WholeMapOperationsFollowTheDeclarationOrder) {
    map.markDirtyRegMap();
    EXPECT_EQ(probe.flushAll(false), 0);
    std::vector<uint32_t> expected;
    for (uint32_t o : kFlushOrder) {
        expected.push_back(0x400 + o);
    }
    EXPECT_EQ(kFlushOrder.size(), 86u);
    EXPECT_EQ(bus.offsets('W'), expected);
    bus.log.clear();
    EXPECT_EQ(probe.flushAll(false), 0) << "nothing is dirty any more";
    EXPECT_TRUE(bus.log.empty());

    EXPECT_EQ(probe.refreshAll(), 0);
    expected.clear();
    for (uint32_t o : kRefreshOrder) {
        expected.push_back(0x400 + o);
    }
    EXPECT_EQ(kRefreshOrder.size(), 84u);
    EXPECT_EQ(bus.offsets('R'), expected);

    // Every register is attempted, the first failure is kept.
    bus.log.clear();
    bus.failNext(2, -50401);
    EXPECT_EQ(probe.flushAll(true), -50401);
    EXPECT_EQ(bus.count('W'), 86u);
}

TEST_F(SeqFlexLoopMap, InstancesReachTheirRegistersAtTheirBase) {
    FakeAccessor other;
    tKelvoSeqFlexLoopRegMap duskmere(&other, 0x4400, 0, 0x400);
    tKelvoSeqFlexLoopRegMap solstra(&other, 0x18400, 0, 0x400);
    MapProbe d(duskmere);
    MapProbe sol(solstra);
    EXPECT_EQ(d.write(0x80F72E72, 0x10000000, true), 0) << "OccurrenceMuxConfig[7] at 0x254";
    EXPECT_EQ(sol.write(0x80F72E72, 0x10000000, true), 0);
    EXPECT_EQ(other.offsets('W'), (std::vector<uint32_t>{0x4654, 0x18654}));

    // A window that stops short: registers past it report -52006 and touch nothing.
    tKelvoSeqFlexLoopRegMap cut(&other, 0x400, 0, 0x100);
    MapProbe c(cut);
    other.log.clear();
    EXPECT_EQ(c.write(0x8094F055, 1, true), kOutsideWindow) << "MuCtrl[0] at 0x100";
    EXPECT_EQ(c.write(0x80E7FFB9, 1, true), 0) << "Limit[1] at 0x070";
    EXPECT_EQ(other.offsets('W'), (std::vector<uint32_t>{0x470}));
}

TEST_F(SeqFlexLoopMap, ReinitializeDiscardsSoftCopiesPendingWordsAndDirtyFlags) {
    EXPECT_EQ(probe.set(0x80127E36, 0xABCDEF), 0) << "CalGain[0]";
    EXPECT_EQ(probe.set(0x0453CC08, 1), 0);
    map.reinitialize();
    EXPECT_EQ(probe.get(0x80127E36), 0u);
    EXPECT_EQ(map.KelvoTableConfig.strobeCopy, 0u);
    EXPECT_EQ(map.CalGain[0].dirty, 0);
    EXPECT_EQ(probe.flushAll(false), 0);
    EXPECT_TRUE(bus.log.empty());
    // The typed reader of the measure-unit status reads the hardware.
    bus.memory[0x504] = 0x2;
    tStatus s;
    EXPECT_TRUE(map.MuStatus[0].readGeneratingDcBusPackets(s));
    EXPECT_EQ(map.CicFilterConfig[2].address, 0x528u);
}

} // namespace
