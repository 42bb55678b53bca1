// The Solstra non-isolated board and channel maps and the standard registers:
// counts, identifiers copied by hand, access classes, strobes, the trigger
// configurations' read view, windows and the whole-map order.
#include <vector>

#include "kelvo/product_ids.h"
#include "regmaps/solstra_niso_board_reg_map.h"
#include "regmaps/solstra_niso_ch_reg_map.h"
#include "regmaps/solstra_standard_regs.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tSolstraNisoBoardRegMap;
using kelvo_regmaps::tSolstraNisoChRegMap;
using kelvo_regmaps::tSolstraStandardRegs;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kBufferTooSmall;
using kelvo_test::kNotImplemented;
using kelvo_test::kOutsideWindow;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using nVOAPALS100::tStatus;
using Fields = std::vector<std::pair<int, uint64_t>>;

class SolstraNisoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tSolstraNisoBoardRegMap map{&bus, built, 0, 0, 0x2000};
    MapProbe probe{map};
};

TEST_F(SolstraNisoBoard, CountsAndIdentifiers) {
    const kelvo_test::TableCounts counts(tSolstraNisoBoardRegMap::kTables);
    EXPECT_EQ(counts.registers, 62u);
    EXPECT_EQ(counts.ids.size(), 265u);
    EXPECT_EQ(counts.readWrite, 15u);
    EXPECT_EQ(counts.writeOnly, 2u);
    EXPECT_EQ(counts.readOnly, 45u);
    EXPECT_EQ(counts.formatIds.size(), 62u + 14u);
    EXPECT_TRUE(built.isSuccess());

    // The read-only Vref reading: its data field carries the read-only bit.
    bus.memory[0x300] = 0x9ABC;
    EXPECT_EQ(probe.refresh(0x8051F68F), 0);
    EXPECT_EQ(probe.get(0x4051F68F), 0x1ABCu);
    EXPECT_EQ(probe.get(0x7C51F68F), 1u);
    uint64_t v = 9;
    EXPECT_EQ(probe.get(0x0051F68F, v), kUnknownId);
    EXPECT_EQ(v, 0u);
    tStatus s;
    bus.memory[0x300] = 0x0;
    EXPECT_FALSE(map.VrefTemperature.readVrefTemperatureDataOob(s));
    EXPECT_EQ(probe.format(0x80BDD9F6, 6).code, kBufferTooSmall) << "seven fields";
}

TEST_F(SolstraNisoBoard, StrobesAndAccessClasses) {
    EXPECT_EQ(probe.write(0x8071BD44, 0x80000003, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x060, 0x80000003}}));
    EXPECT_EQ(probe.get(0x8071BD44), 0u);
    uint64_t v = 0;
    EXPECT_EQ(probe.read(0x8071BD44, v), kUnknownId);
    EXPECT_EQ(probe.refresh(0x8043B46F), kUnknownId);

    // Every field of the occurrence-multiplexer configuration clears after a write; the rest stays.
    EXPECT_EQ(probe.set(0x8043B46F, 0xFFFFFFFF), 0);
    EXPECT_EQ(probe.write(0x0E43B46F, 0x5, false), 0);
    EXPECT_EQ(probe.get(0x8043B46F), 0x0F00C3F8u);

    EXPECT_EQ(probe.set(0x807EF265, 1), kUnknownId) << "read-only FPGA status";
    EXPECT_EQ(probe.flush(0x80AD8E17, true), kUnknownId) << "read-only FetTemperature[0]";
    EXPECT_EQ(probe.refresh(0x80E711AA), 0) << "SelfTestMeasurement[32]";
    EXPECT_EQ(bus.log.back(), (BusAccess{'R', 0x3B0, 0}));
}

TEST_F(SolstraNisoBoard, TriggerConfigurationsAnswerBothWholeRegisterIdentifiers) {
    EXPECT_EQ(probe.set(0x80F1F497, 0x12345), 0);
    EXPECT_EQ(map.KelvoTrigConfigLine12.softCopy, 0x12345u);
    EXPECT_EQ(probe.set(0xC0F1F497, 0x80000001), 0);
    EXPECT_EQ(map.KelvoTrigConfigLine12.softCopy, 0x80000001u);
    EXPECT_EQ(probe.format(0x80F1F497).fields.size(), 5u);
    EXPECT_EQ(probe.format(0xC0F1F497).fields, (Fields{{3, 0xFFFFF},
                                                       {0, 0x8000000},
                                                       {0, 0x10000000},
                                                       {0, 0x20000000},
                                                       {0, 0x40000000},
                                                       {0, 0x80000000}}));
    EXPECT_EQ(probe.set(0x3EF1F497, 1), kUnknownId);
    EXPECT_EQ(probe.get(0x7EF1F497), 1u);

    tStatus s;
    map.KelvoTrigConfig[8].writeKelvoTrigOutPulseDuration(0xFFFFFFFF, s, false);
    map.KelvoTrigConfigLines9To11[2].writeKelvoTrigPullupEn(true, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x430, 0xFFFFF}, {'W', 0x448, 0x8000000}}));
}

TEST_F(SolstraNisoBoard, WholeMapOperationsWalkTheOwnRegistersInDeclarationOrderThenTheParts) {
    map.markDirtyRegMap();
    tStatus s;
    map.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    const std::vector<uint32_t> writes = bus.offsets('W');
    const std::vector<uint32_t> own = {0x060, 0x404, 0x44C, 0x450, 0x1FFC, 0x410, 0x414, 0x418, 0x41C,
                                       0x420, 0x424, 0x428, 0x42C, 0x430,  0x440, 0x444, 0x448};
    ASSERT_GT(writes.size(), own.size());
    EXPECT_EQ(std::vector<uint32_t>(writes.begin(), writes.begin() + 17), own);
    map.refreshRegMap(s);
    const std::vector<uint32_t> reads = bus.offsets('R');
    EXPECT_EQ(std::vector<uint32_t>(reads.begin(), reads.begin() + 9),
              (std::vector<uint32_t>{0x064, 0x300, 0x400, 0x408, 0x44C, 0x450, 0x1FFC, 0x310, 0x314}));
    EXPECT_EQ(map.IsoRegAccess[0]->base(), 0x200u);
}

TEST(SolstraStandardRegs, SignatureAndSpareRegisters) {
    kelvo_test::FakeAccessor bus;
    tStatus built;
    tSolstraStandardRegs map(&bus, built, 0, 0, 0x40);
    MapProbe probe(map);
    EXPECT_EQ(probe.get(0x8029F3D0), KELVO_SOLSTRA_BOARD_SIGNATURE);
    EXPECT_EQ(probe.get(0x4229F3D0), KELVO_SOLSTRA_BOARD_SIGNATURE >> 16);
    EXPECT_EQ(probe.set(0x8029F3D0, 1), kUnknownId);
    EXPECT_EQ(probe.write(0x4029F3D0, 1), kUnknownId);
    EXPECT_EQ(probe.flush(0x8029F3D0, true), kUnknownId);
    EXPECT_EQ(probe.format(0x8029F3D0).fields, (Fields{{2, 0xFFFF}, {2, 0xFFFF0000}}));
    EXPECT_EQ(probe.format(0x4029F3D0).code, kNotImplemented);
    EXPECT_EQ(probe.format(0x4229F3D0).code, kNotImplemented);
    EXPECT_EQ(probe.format(0x0036F0D3).fields, (Fields{{3, 0xFFFFFFFF}}));
    EXPECT_EQ(probe.write(0x006613D6, 7), 0);
    EXPECT_EQ(probe.write(0x803C5A6F, 8), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x2C, 7}, {'W', 0x28, 8}}));
    EXPECT_EQ(map.RequiredRegs.base(), 0x0u);
    EXPECT_EQ(map.RequiredRegs.windowSize(), 0x20u);
    bus.memory[0x20] = 0xFFFFFFFF;
    EXPECT_EQ(probe.refresh(0x8029F3D0), 0);
    EXPECT_EQ(probe.get(0x8029F3D0), 0xFFFFFFFFu);
}

TEST(SolstraNisoChannel, OneSpareRegisterAndItsWindow) {
    kelvo_test::FakeAccessor bus;
    tStatus built;
    tSolstraNisoChRegMap map(&bus, built, 0x2000, 0, 0x2000);
    MapProbe probe(map);
    EXPECT_EQ(kelvo_test::TableCounts(tSolstraNisoChRegMap::kTables).ids.size(), 2u);
    EXPECT_EQ(probe.write(0x80C90FBF, 0xA5A5, false), 0);
    EXPECT_EQ(probe.get(0x00C90FBF), 0xA5A5u);
    EXPECT_EQ(probe.get(0x80C90FBF), 0xA5A5u);
    uint64_t v = 0;
    EXPECT_EQ(probe.get(0x40C90FBF, v), kUnknownId);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x3FFC, 0xA5A5}}));
    EXPECT_EQ(probe.format(0x00C90FBF, 0).code, kBufferTooSmall);
    EXPECT_EQ(probe.format(0x80C90FBF).fields, (Fields{{3, 0xFFFFFFFF}}));

    tSolstraNisoChRegMap cut(&bus, built, 0x2000, 0, 0x1000);
    MapProbe c(cut);
    bus.log.clear();
    EXPECT_EQ(c.write(0x80C90FBF, 1, true), kOutsideWindow);
    EXPECT_TRUE(bus.log.empty());
    EXPECT_EQ(cut.SolstraNisoChRfu.dirty, 1) << "the failed flush leaves the register dirty";
    // The parts follow the own register in the whole-map order: DC-bus 0, 1, measure status, stream control.
    map.markDirtyRegMap();
    tStatus s;
    map.refreshRegMap(s);
    EXPECT_EQ(bus.offsets('R').front(), 0x3FFCu);
    EXPECT_EQ(map.DcBus[0]->base(), 0x2200u);
}

} // namespace
