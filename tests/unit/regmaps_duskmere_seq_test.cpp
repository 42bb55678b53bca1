// The Duskmere sequencer channel and board maps and the standard registers:
// register tables (copied by hand from the board's register lists), the three
// pending-strobe registers, the one-shot switch controls, the signature.
#include <vector>

#include "regmaps/duskmere_seq_board_reg_map.h"
#include "regmaps/duskmere_seq_ch_reg_map.h"
#include "regmaps/duskmere_standard_regs.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereSeqBoardRegMap;
using kelvo_regmaps::tDuskmereSeqChRegMap;
using kelvo_regmaps::tDuskmereStandardRegs;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

class DuskmereSeqCh : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tDuskmereSeqChRegMap map{&bus, 0x4000, 0, 0x4000};
    kelvo_test::MapProbe op{map};
};

TEST_F(DuskmereSeqCh, TableConfigurationStrobesReachTheHardwareOnce) {
    EXPECT_EQ(op.set(0x0453CC08, 1), 0);
    EXPECT_EQ(op.get(0x0453CC08), 0u);
    EXPECT_EQ(op.flush(0x8053CC08), 0);
    EXPECT_EQ(op.flush(0x8053CC08), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x4300, 0x100}}));
}

TEST_F(DuskmereSeqCh, TransformerControlMarksDirtyOnlyForAChangeOrAStrobe) {
    // Both whole-register identifiers name it; a value equal to the soft copy without strobes changes
    // nothing.
    bus.memory[0x4230] = 0xF00000B0;
    EXPECT_EQ(op.refresh(0xC0EAA899), 0);
    EXPECT_EQ(op.set(0x80EAA899, 0xF00000B0), 0);
    EXPECT_EQ(map.MainXfmrControl.dirty, 0);
    EXPECT_EQ(op.set(0xC0EAA899, 0xF00000B2), 0);
    EXPECT_EQ(map.MainXfmrControl.dirty, 1);
    EXPECT_EQ(map.MainXfmrControl.strobeCopy, 0x2u);
    EXPECT_EQ(op.get(0x80EAA899), 0xF00000B0u);
    bus.log.clear();
    EXPECT_EQ(op.flush(0x80EAA899), 0);
    EXPECT_EQ(op.flush(0x80EAA899), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x4230, 0xF00000B2}}));
    tStatus s;
    map.MainXfmrControl.writeRegister(0x1, s, false);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x4230, 0x1}));
    EXPECT_EQ(map.MainXfmrControl.softCopy, 0u);
}

TEST_F(DuskmereSeqCh, ARefreshDropsAPendingMirrorStrobe) {
    EXPECT_EQ(op.set(0x00D08ECA, 1), 0);
    EXPECT_EQ(map.SeqRegPortMirrorControlStatus.strobeCopy, 1u);
    EXPECT_EQ(op.refresh(0x80D08ECA), 0);
    EXPECT_EQ(map.SeqRegPortMirrorControlStatus.strobeCopy, 0u);
    EXPECT_EQ(map.SeqRegPortMirrorControlStatus.dirty, 0);
    EXPECT_EQ(op.flush(0x80D08ECA), 0);
    EXPECT_EQ(bus.count('W'), 0u);
}

TEST_F(DuskmereSeqCh, SwitchControlValuesAndTypedWriters) {
    EXPECT_EQ(op.write(0x80F89E9F, 0x3FF), 0);
    EXPECT_EQ(op.get(0x80F89E9F), 0u);
    EXPECT_EQ(op.write(0x807D356A, 0xFFFF), 0);
    EXPECT_EQ(op.get(0x807D356A), 0xC008u);
    tStatus s;
    map.DacData[2].writeDacValue(0xFFFF, s, false);
    map.GainBandwidth[3].writeGainBandwidthValue(0xFFFFFFFF, s, false);
    map.GainBandwidth[3].writeGainBandwidthValue(0x1FFFFFF, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(
        bus.log,
        (std::vector<BusAccess>{
            {'W', 0x4240, 0x3FF}, {'W', 0x4248, 0xFFFF}, {'W', 0x4220, 0xFFF}, {'W', 0x426C, 0x1FFFFFF}}));
}

TEST(DuskmereSeqBoard, OneReservedRegisterAndItsField) {
    FakeAccessor bus;
    tDuskmereSeqBoardRegMap map{&bus, 0x4000, 0, 0x1000};
    EXPECT_EQ(map.tables().registerCount, 1u);
    kelvo_test::MapProbe op{map};
    EXPECT_EQ(op.set(0x0022A4D1, 0x1234), 0);
    EXPECT_EQ(op.get(0x8022A4D1), 0x1234u);

    // Outside the window a read reports -52006 and answers the soft copy.
    tDuskmereSeqBoardRegMap narrow{&bus, 0x4000, 0, 0x800};
    kelvo_test::MapProbe n{narrow};
    EXPECT_EQ(n.set(0x8022A4D1, 0x77), 0);
    uint64_t v = 0;
    EXPECT_EQ(n.read(0x8022A4D1, v), kelvo_test::kOutsideWindow);
    EXPECT_EQ(v, 0x77u);
}

// The standard registers (their required-register block is a sub-map of its own).
TEST(DuskmereStandardRegs, TheSignatureIsReadOnlyAndStartsAtTheBoardSignature) {
    FakeAccessor bus;
    {
        tDuskmereStandardRegs map{&bus, 0x8000, 0, 0x40};
        kelvo_test::MapProbe op{map};
        EXPECT_EQ(op.get(0x801D6A43), 0x44534B4Du);
        EXPECT_EQ(op.set(0x801D6A43, 0), kelvo_test::kUnknownId);
        EXPECT_EQ(op.write(0x801D6A43, 0, true), kelvo_test::kUnknownId);
        EXPECT_EQ(op.flush(0x801D6A43, true), kelvo_test::kUnknownId);
        EXPECT_EQ(op.get(0x801D6A43), 0x44534B4Du);
        EXPECT_TRUE(bus.log.empty());
    }
    tDuskmereStandardRegs map{&bus, 0x8000, 0, 0x40};
    EXPECT_EQ(map.tables().registerCount, 4u);
}

} // namespace
