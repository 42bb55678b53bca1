// The Duskmere non-isolated board map: its register table (copied by hand from
// the board's register list), the trigger configurations with their read view
// and typed writers, one-shot registers and a narrowed window.
#include <vector>

#include "regmaps/duskmere_niso_board_reg_map.h"
#include "regmaps_duskmere_support.h"

namespace {

using kelvo_regmaps::tDuskmereNisoBoardRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::duskmere::Access;
using kelvo_test::duskmere::GoldenRegister;
using nVOAPALS100::tStatus;
namespace board = kelvo_regmaps::nDuskmereNisoBoardRegMap;

constexpr const char* kTrig = "19:0 [3]; 27 [0]; 28 [0]; 29 [0]; 30 [0]; 31 [0] RO";
constexpr const char* kSelfTest = "11:0 [2] RO; 15 [0] RO";

const std::vector<GoldenRegister> kRows = {
    {0x060, 0x71BD44, "0 [0]; 1 [0]; 31 [0]", Access::kWriteOnly, ~0x7FFFFFFCu},
    {0x064, 0x7EF265, "0 [0] RO; 1 [0] RO", Access::kReadOnly},
    {0x33C, 0xF1F497, kTrig},
    {0x340, 0xAA9CC9, kTrig},
    {0x400, 0xBDD9F6, "11:0 [2] RO; 12 [0] RO; 13 [0] RO; 14 [0] RO; 15 [0] RO; 23:16 [1] RO; 31:24 [1] RO",
     Access::kReadOnly},
    {0x404, 0x43B46F, "2:0 [1]; 10 [0]; 11 [0]; 12 [0]; 13 [0]; 23:16 [1]; 31:28 [1]", Access::kWriteOnly,
     ~0x0F00C3F8u},
    {0x408, 0x9E7642, "11:0 [2] RO", Access::kReadOnly},
    {0xFFC, 0x09DE43, "31:0 [3]"},
    {0x300, 0x50D2CB, kTrig},
    {0x304, 0xF37543, kTrig},
    {0x308, 0x09E76E, kTrig},
    {0x30C, 0x52E911, kTrig},
    {0x310, 0xECB8AB, kTrig},
    {0x314, 0x9FA471, kTrig},
    {0x318, 0xDF0349, kTrig},
    {0x31C, 0x8DECA9, kTrig},
    {0x320, 0x86E9A6, kTrig},
    {0x330, 0x666EA8, kTrig},
    {0x334, 0x605BF1, kTrig},
    {0x338, 0xA5BD3B, kTrig},
    {0x410, 0xD9E35A, kSelfTest, Access::kReadOnly},
    {0x414, 0x84306A, kSelfTest, Access::kReadOnly},
    {0x418, 0x5BF8D1, kSelfTest, Access::kReadOnly},
    {0x41C, 0xF3E83B, kSelfTest, Access::kReadOnly},
    {0x420, 0x57990F, kSelfTest, Access::kReadOnly},
    {0x424, 0x5CADC5, kSelfTest, Access::kReadOnly},
    {0x428, 0x089B2E, kSelfTest, Access::kReadOnly},
    {0x42C, 0x268F7A, kSelfTest, Access::kReadOnly},
    {0x430, 0x950619, kSelfTest, Access::kReadOnly},
};

constexpr uint32_t kBase = 0x8000;

class DuskmereNisoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereNisoBoardRegMap map{&bus, built, kBase, 0, 0x1000};
    kelvo_test::duskmere::ById op{map};
};

TEST_F(DuskmereNisoBoard, RegistersIdentifiersFormatsAndAddressesFollowTheTable) {
    kelvo_test::duskmere::expectGoldenRegisters(map, bus, kBase, kRows);
    kelvo_test::duskmere::expectWholeMapOrder(map, bus, kBase, kRows);
    EXPECT_STREQ(map.getVersion(), "1.0.0d379");
}

TEST_F(DuskmereNisoBoard, TriggerFieldsKeepTheirWidthAndTheirNeighbours) {
    // Trigger 0 (0x300): both whole-register identifiers mean the whole soft copy.
    EXPECT_EQ(op.set(0xC050D2CB, 0x7FFFFFFF), 0);
    EXPECT_EQ(op.get(0x8050D2CB), 0x7FFFFFFFu);
    tStatus s;
    map.KelvoTrigConfig[0].writeKelvoTrigOutPulseDuration(0x123456, s, false);
    EXPECT_EQ(map.KelvoTrigConfig[0].softCopy, 0x7FF23456u) << "20 bits; the other fields stay";
    map.KelvoTrigConfig[0].writeKelvoTrigDirection(board::kKelvoTrigDirectionIn, s, false);
    map.KelvoTrigConfig[0].writeKelvoTrigPullupEn(false, s, false);
    EXPECT_EQ(map.KelvoTrigConfig[0].getKelvoTrigDirection(s), board::kKelvoTrigDirectionIn);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x300, 0x7FF23456},
                                               {'W', kBase + 0x300, 0x3FF23456},
                                               {'W', kBase + 0x300, 0x37F23456}}));

    // After a flush, setting the value already held leaves the register clean.
    EXPECT_EQ(op.set(0x1E50D2CB, 0), 0);
    EXPECT_EQ(map.KelvoTrigConfig[0].dirty, 0);
    EXPECT_EQ(op.flush(0x8050D2CB), 0);
    EXPECT_EQ(bus.count('W'), 3u);

    // The read-only bit 31 names the register through the read view only.
    bus.memory[kBase + 0x340] = 0x80000000;
    EXPECT_EQ(op.refresh(0x7EAA9CC9), 0);
    EXPECT_EQ(op.get(0x7EAA9CC9), 1u);
    EXPECT_EQ(op.set(0x7EAA9CC9, 0), kelvo_test::kUnknownId);
    EXPECT_EQ(map.KelvoTrigConfig13.readKelvoTrigOutPulseDuration(s), 0u);
    EXPECT_EQ(map.KelvoAuxTrigConfig[2].address, kBase + 0x338u);
    EXPECT_EQ(map.KelvoTrigConfig12.address, kBase + 0x33Cu);
}

TEST_F(DuskmereNisoBoard, FpgaConfigurationBitsAreWrittenOnce) {
    EXPECT_EQ(op.write(0x8071BD44, 0xFFFFFFFF), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', kBase + 0x060, 0xFFFFFFFF}}));
    EXPECT_EQ(op.get(0x0071BD44), 0u);
    EXPECT_EQ(op.get(0x2071BD44), 0u);
    EXPECT_EQ(op.get(0x3E71BD44), 0u);
    EXPECT_EQ(op.get(0x8071BD44), 0x7FFFFFFCu);
    tStatus s;
    map.flushRegMap(false, s);
    EXPECT_EQ(bus.count('W'), 1u);
}

TEST_F(DuskmereNisoBoard, ANarrowedWindowLeavesTheLowRegistersOut) {
    FakeAccessor other;
    tStatus b;
    tDuskmereNisoBoardRegMap narrow{&other, b, kBase, 0x400, 0xC00};
    kelvo_test::duskmere::ById n{narrow};
    for (uint32_t id : {0x8071BD44u, 0x80F1F497u, 0x80AA9CC9u, 0x8050D2CBu, 0x80A5BD3Bu}) {
        EXPECT_EQ(n.flush(id, true), kelvo_test::kOutsideWindow);
    }
    for (uint32_t id : {0x807EF265u, 0x8050D2CBu}) {
        EXPECT_EQ(n.refresh(id), kelvo_test::kOutsideWindow);
    }
    EXPECT_TRUE(other.log.empty());
    EXPECT_EQ(n.flush(0x8043B46F, true), 0);
    EXPECT_EQ(n.refresh(0x80950619), 0);
    EXPECT_EQ(n.write(0x8009DE43, 1), 0);
    // The base is where the window starts: address = base - window start + offset.
    constexpr uint32_t kOrigin = kBase - 0x400;
    EXPECT_EQ(other.log,
              (std::vector<BusAccess>{
                  {'W', kOrigin + 0x404, 0}, {'R', kOrigin + 0x430, 0}, {'W', kOrigin + 0xFFC, 1}}));
    EXPECT_EQ(narrow.NisoFpgaConfig.address, kOrigin + 0x060u);
    EXPECT_EQ(narrow.NisoFpgaConfig.inWindow, 0);
    EXPECT_EQ(narrow.Occurrence.inWindow, 1);
}

} // namespace
