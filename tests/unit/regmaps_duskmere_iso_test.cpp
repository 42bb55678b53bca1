// The Duskmere isolated board and channel maps: register tables (copied by hand
// from the board's register lists), one-shot registers, the setpoint limit's
// reset value, the occurrence multiplexer status without bits 0-11, windows.
#include <vector>

#include "regmaps/duskmere_iso_board_reg_map.h"
#include "regmaps/duskmere_iso_ch_reg_map.h"
#include "regmaps_duskmere_support.h"

namespace {

using kelvo_regmaps::tDuskmereIsoBoardRegMap;
using kelvo_regmaps::tDuskmereIsoChRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::duskmere::Access;
using kelvo_test::duskmere::GoldenRegister;
using nVOAPALS100::tStatus;

const std::vector<GoldenRegister> kBoardRows = {
    {0x100, 0xEC09B9, "0 [0]; 1 [0]", Access::kWriteOnly, 0x3},
    {0x104, 0xDEC888, "0 [0]; 1 [0]"},
    {0x200, 0xFFD874, "3:0 [1]", Access::kWriteOnly, 0xF},
    {0x204, 0x5A41C1, "11:0 [2]; 27:16 [2]"},
    {0x208, 0x414B49, "12:0 [2]; 28:16 [2]"},
    {0x20C, 0xA1193D, "12:0 [2]; 28:16 [2]"},
    {0x300, 0xD05E03, "11:0 [2] RO; 12 [0] RO; 13 [0] RO; 14 [0] RO; 15 [0] RO; 23:16 [1] RO; 31:24 [1] RO",
     Access::kReadOnly},
    {0x304, 0x8B9D83, "2:0 [1]; 10 [0]; 11 [0]; 12 [0]; 13 [0]; 23:16 [1]; 31:28 [1]", Access::kWriteOnly,
     ~0x0F00C3F8u},
    {0x308, 0x86B014, "11:0 [2] RO", Access::kReadOnly},
    {0x1FFC, 0x15A809, "31:0 [3]"},
};

const std::vector<GoldenRegister> kChannelRows = {
    {0x200, 0x804FC0,
     "17:16 [1]; 19:18 [1]; 21:20 [1]; 23:22 [1]; 25:24 [1]; 27:26 [1]; 29:28 [1]; 31:30 [1]",
     Access::kWriteOnly},
    {0x204, 0x50D879, "17:16 [1]; 19:18 [1]; 21:20 [1]; 27:26 [1]; 29:28 [1]; 30 [0]", Access::kWriteOnly,
     ~0x83C0FFFFu},
    {0x208, 0x8B9454,
     "17:16 [1] RO; 19:18 [1] RO; 21:20 [1] RO; 23:22 [1] RO; 25:24 [1] RO; 27:26 [1] RO; 29:28 [1] RO",
     Access::kReadOnly},
    {0x210, 0x18DE68, "0 [0] RO; 1 [0] RO; 2 [0] RO; 8 [0] RO", Access::kReadOnly},
    {0x214, 0xD742E7, "2 [0]; 4 [0]", Access::kWriteOnly, 0x14},
    {0x260, 0x58A29A, "0 [0] RO; 1 [0] RO", Access::kReadOnly},
    {0x264, 0x100E1C, "7:0 [1]; 17:16 [1]", Access::kWriteOnly},
    {0x280, 0xEB4CB0, "11:0 [2]", Access::kReadWrite, 0, false, 0xFFF},
    {0x284, 0xC17F42, "31:0 [3]"},
    {0x288, 0x1188CE, "25:0 [3]"},
    {0x28C, 0x21E007, "1:0 [1]; 2 [0]; 3 [0]", Access::kWriteOnly, 0xF},
    {0x290, 0xD952E6, "1:0 [1] RO; 2 [0] RO", Access::kReadOnly},
    {0x294, 0xAFBCC3, "31:0 [3] RO", Access::kReadOnly},
    {0x298, 0x229189, "11:0 [2]"},
    {0x29C, 0xBEF801, "12:0 [2]"},
    {0x2A0, 0x50F2B5, "11:0 [2]"},
    {0x2A4, 0xE3542B, "12:0 [2]"},
    {0x300, 0x75712F, "12 [0] RO; 13 [0] RO; 14 [0] RO; 15 [0] RO; 23:16 [1] RO; 31:24 [1] RO",
     Access::kReadOnly},
    {0x304, 0xEC3526, "2:0 [1]; 10 [0]; 11 [0]; 12 [0]; 13 [0]; 23:16 [1]; 31:28 [1]", Access::kWriteOnly,
     ~0x0F00C3F8u},
    {0x308, 0x98C503, "0 [0]; 1 [0]", Access::kWriteOnly, 0x3},
    {0x30C, 0x878BBF, "11:0 [2] RO", Access::kReadOnly},
    {0x310, 0x6471D0, "0 [0]; 1 [0]"},
    {0x1FFC, 0x45C664, "31:0 [3]"},
};

class DuskmereIsoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereIsoBoardRegMap map{&bus, built, 0, 0, 0x2000};
    kelvo_test::duskmere::ById op{map};
};

TEST_F(DuskmereIsoBoard, RegistersIdentifiersFormatsAndAddressesFollowTheTable) {
    kelvo_test::duskmere::expectGoldenRegisters(map, bus, 0, kBoardRows);
    kelvo_test::duskmere::expectWholeMapOrder(map, bus, 0, kBoardRows);
}

TEST_F(DuskmereIsoBoard, ConfigurationAndLimitUpdatesActOnce) {
    EXPECT_EQ(op.set(0x00EC09B9, 1), 0);
    EXPECT_EQ(op.flush(0x80EC09B9), 0);
    EXPECT_EQ(op.get(0x00EC09B9), 0u);
    EXPECT_EQ(op.flush(0x80EC09B9), 0);
    EXPECT_EQ(op.write(0x00FFD874, 0x3F), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x100, 0x1}, {'W', 0x200, 0xF}})) << "four bits";
    EXPECT_EQ(op.get(0x80FFD874), 0u);
    EXPECT_EQ(op.refresh(0x80FFD874), kelvo_test::kUnknownId);
    EXPECT_EQ(op.set(0x8086B014, 1), kelvo_test::kUnknownId);

    // The reserved register: its one field fills it, and both identifiers name the same value.
    EXPECT_EQ(op.set(0x0015A809, 0xCAFEF00D), 0);
    EXPECT_EQ(op.get(0x8015A809), 0xCAFEF00Du);
    EXPECT_EQ(op.get(0x0015A809), 0xCAFEF00Du);
}

class DuskmereIsoCh : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereIsoChRegMap map{&bus, built, 0x2000, 0, 0x2000};
    kelvo_test::duskmere::ById op{map};
};

TEST_F(DuskmereIsoCh, RegistersIdentifiersFormatsAndAddressesFollowTheTable) {
    kelvo_test::duskmere::expectGoldenRegisters(map, bus, 0x2000, kChannelRows);
    kelvo_test::duskmere::expectWholeMapOrder(map, bus, 0x2000, kChannelRows);
}

TEST_F(DuskmereIsoCh, TheSetpointLimitStartsAtFullScale) {
    EXPECT_EQ(op.get(0x00EB4CB0), 0xFFFu);
    EXPECT_EQ(map.DpSetpointLimit.dirty, 0);
    EXPECT_EQ(op.flush(0x80EB4CB0, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x2280, 0xFFF}}));
    // reinitialize returns it there.
    EXPECT_EQ(op.set(0x00EB4CB0, 5), 0);
    map.reinitialize();
    EXPECT_EQ(op.get(0x00EB4CB0), 0xFFFu);
    EXPECT_EQ(map.DpSetpointLimit.dirty, 0);
}

TEST_F(DuskmereIsoCh, SwitchControlIsWrittenOnceAndTheOccurrenceStatusHasNoLowField) {
    EXPECT_EQ(op.write(0x8050D879, 0xFFFFFFFF), 0);
    EXPECT_EQ(op.write(0x1E50D879, 1), 0) << "bit 30";
    EXPECT_EQ(map.IsoSwitchControl.softCopy, 0x83C0FFFFu);
    tStatus s;
    bus.log.clear();
    map.flushRegMap(false, s);
    EXPECT_TRUE(bus.log.empty());
    // Bits 0-11 of this block's occurrence multiplexer status are no field.
    uint64_t v = 9;
    EXPECT_EQ(op.get(0x4075712F, v), kelvo_test::kUnknownId);
    EXPECT_EQ(op.get(0x4C75712F, v), 0);
}

TEST_F(DuskmereIsoCh, TheReservedRegisterLiesOutsideAWindowOf0x1000) {
    FakeAccessor other;
    tStatus b;
    tDuskmereIsoChRegMap narrow{&other, b, 0x2000, 0, 0x1000};
    kelvo_test::duskmere::ById n{narrow};
    EXPECT_EQ(n.flush(0x8045C664, true), kelvo_test::kOutsideWindow);
    EXPECT_EQ(n.refresh(0x8045C664), kelvo_test::kOutsideWindow);
    EXPECT_EQ(n.flush(0x806471D0, true), 0);
    EXPECT_EQ(other.log, (std::vector<BusAccess>{{'W', 0x2310, 0}}));
}

} // namespace
