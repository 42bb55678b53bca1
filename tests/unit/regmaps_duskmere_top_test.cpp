// The Duskmere top maps: where every block sits and the twin views of the
// non-isolated board and channel blocks.
#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "map_probe.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereIsoTopRegMap;
using kelvo_regmaps::tDuskmereNisoTopRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

struct Place {
    uint32_t base;
    uint32_t windowStart;
    uint32_t windowSize;
    bool operator==(const Place&) const = default;
};

Place placeOf(const arm::tRegisterMapBase& map) {
    return {map.base(), map.windowStart(), map.windowSize()};
}

class DuskmereTop : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor niso;
    FakeAccessor iso;
    tStatus built;
    tDuskmereNisoTopRegMap nisoTop{&niso, built};
    tDuskmereIsoTopRegMap isoTop{&iso, built};
};

TEST_F(DuskmereTop, EveryBlockSitsAtItsPlace) {
    ASSERT_TRUE(built.isSuccess());
    EXPECT_EQ(placeOf(nisoTop), (Place{0, 0, 0xFFFFFFFF}));
    EXPECT_EQ(placeOf(nisoTop.Board), (Place{0x8000, 0, 0x1000}));
    ASSERT_NE(nisoTop.Channels[0], nullptr);
    EXPECT_EQ(placeOf(*nisoTop.Channels[0]), (Place{0xC000, 0, 0x2000}));
    EXPECT_EQ(placeOf(nisoTop.SeqTop), (Place{0, 0, 0x8000}));
    EXPECT_EQ(placeOf(nisoTop.SeqTop.SeqBoard), (Place{0x4000, 0, 0x1000}));
    ASSERT_NE(nisoTop.SeqTop.Channels[0], nullptr);
    auto& chSeq = *nisoTop.SeqTop.Channels[0];
    EXPECT_EQ(placeOf(chSeq), (Place{0, 0, 0x4000}));
    EXPECT_EQ(placeOf(chSeq.Board), (Place{0x1000, 0, 0x1000}));
    EXPECT_EQ(placeOf(chSeq.Channel), (Place{0x2000, 0, 0x2000}));
    EXPECT_EQ(placeOf(chSeq.SeqChannel), (Place{0, 0, 0x1000}));

    // A block at each depth of both trees, and the twins of the sequencer's view.
    EXPECT_EQ(placeOf(nisoTop.Board.StandardRegs.RequiredRegs), (Place{0x8000, 0, 0x20}));
    EXPECT_EQ(placeOf(nisoTop.Board.SeqDebug), (Place{0x8D00, 0, 0x100}));
    const auto& channel = *nisoTop.Channels[0];
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_NE(channel.KelvoDcBusRegMaps[i], nullptr);
        ASSERT_NE(channel.IsoRegAccess[i], nullptr);
        EXPECT_EQ(placeOf(*channel.KelvoDcBusRegMaps[i]), (Place{0xC200 + 8 * i, 0, 8}));
        EXPECT_EQ(placeOf(*channel.IsoRegAccess[i]), (Place{0xC100 + 0x20 * i, 0, 0x20}));
    }
    EXPECT_EQ(placeOf(chSeq.Board.StandardRegs.RequiredRegs), (Place{0x1000, 0, 0x20}));
    EXPECT_EQ(placeOf(*chSeq.Channel.IsoRegAccess[1]), (Place{0x2120, 0, 0x20}));
    EXPECT_EQ(placeOf(chSeq.SeqChannel.KelvoSeqFlexLoop), (Place{0x400, 0, 0x400}));
    EXPECT_EQ(placeOf(isoTop.Board), (Place{0, 0, 0x2000}));
    EXPECT_EQ(placeOf(isoTop.Channel), (Place{0x2000, 0, 0x2000}));
    EXPECT_EQ(placeOf(isoTop.Channel.KelvoI2cBusAccess), (Place{0x2270, 0, 0x10}));
    EXPECT_EQ(placeOf(*isoTop.Channel.KelvoDcBusRegMaps[1]), (Place{0x2108, 0, 8}));
    EXPECT_EQ(placeOf(isoTop.IsoChDebugSeq.KelvoSeqFlexLoop), (Place{0x4400, 0, 0x400}));

    // A few registers by absolute address.
    EXPECT_EQ(nisoTop.Board.DuskmereBoardRfu.address, 0x8FFCu);
    EXPECT_EQ(chSeq.Board.DuskmereBoardRfu.address, 0x1FFCu);
    EXPECT_EQ(nisoTop.Channels[0]->XfmrAdjusterControl[3].address, 0xC37Cu);
    EXPECT_EQ(isoTop.IsoChDebugSeq.KelvoTableConfig.address, 0x4300u);
}

TEST_F(DuskmereTop, TheTwinViewsAreSeparateObjects) {
    auto& chSeq = *nisoTop.SeqTop.Channels[0];
    kelvo_test::MapProbe board{nisoTop.Board};
    kelvo_test::MapProbe twin{chSeq.Board};
    EXPECT_EQ(board.set(0x8009DE43, 0x1111), 0);
    EXPECT_EQ(twin.get(0x8009DE43), 0u);
    EXPECT_EQ(twin.set(0x8009DE43, 0x2222), 0);
    EXPECT_EQ(board.get(0x8009DE43), 0x1111u);
    kelvo_test::MapProbe channel{*nisoTop.Channels[0]};
    EXPECT_EQ(channel.set(0x3C654361, 1), 0);
    EXPECT_EQ(chSeq.Channel.MainXfmrSignalTick[4].strobeCopy, 0u);
    tStatus s;
    nisoTop.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(niso.log,
              (std::vector<BusAccess>{{'W', 0x8FFC, 0x1111}, {'W', 0xC194, 0x8000}, {'W', 0x1FFC, 0x2222}}));
}

} // namespace
