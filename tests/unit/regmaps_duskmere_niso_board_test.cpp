// The Duskmere non-isolated board map: its register table (copied by hand from
// the board's register list), the trigger configurations with their read view
// and typed writers, one-shot registers and a narrowed window.
#include <vector>

#include "regmaps/duskmere_niso_board_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereNisoBoardRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;
namespace board = kelvo_regmaps::nDuskmereNisoBoardRegMap;

constexpr const char* kTrig = "19:0 [3]; 27 [0]; 28 [0]; 29 [0]; 30 [0]; 31 [0] RO";
constexpr const char* kSelfTest = "11:0 [2] RO; 15 [0] RO";

constexpr uint32_t kBase = 0x8000;

class DuskmereNisoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereNisoBoardRegMap map{&bus, built, kBase, 0, 0x1000};
    kelvo_test::MapProbe op{map};
};

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
    kelvo_test::MapProbe n{narrow};
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
