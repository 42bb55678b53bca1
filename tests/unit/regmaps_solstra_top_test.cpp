// The Solstra top maps: registration and removal, where every block lands in
// the FPGA windows and the twin sequencer views.
#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "kelvo/product_ids.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "map_probe.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tSolstraIsoTopRegMap;
using kelvo_regmaps::tSolstraNisoTopRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kNotImplemented;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using kelvo_test::RegistrationLog;
using nVOAPALS100::tStatus;

class SolstraTops : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor nisoBus;
    FakeAccessor isoBus;
};

// The names themselves are checked once, through the register-map groups; here
// their count, a few lookups, and removal in registration order.
TEST_F(SolstraTops, BothTreesRegisterTheirNamesAndRemoveThemAgain) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    ASSERT_TRUE(built.isSuccess());

    RegistrationLog d;
    tStatus s;
    niso.addToDispatcher(d, s);
    ASSERT_TRUE(s.isSuccess());
    EXPECT_EQ(d.names.size(), 18u);
    EXPECT_EQ(d.names[0], "SolstraNisoTopRegMap");
    EXPECT_EQ(
        d.find("SolstraNisoTopRegMap_ChannelWin_SolstraNisoChRegMap_KelvoDcBusRegMapWin1_KelvoDcBusRegMap"),
        niso.Channel.DcBus[1]);
    EXPECT_EQ(d.find("SolstraNisoTopRegMap_SeqTopWin_SolstraNisoSeqTopRegMap"), &niso.SeqTop);
    EXPECT_EQ(d.find("SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap_RequiredRegsWin_RequiredRegs"),
              nullptr);
    const std::vector<std::string> nisoNames = d.names;
    niso.removeFromDispatcher(d, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(d.removed, nisoNames);
    EXPECT_TRUE(d.names.empty());

    // In the register-map dispatcher: a map found by its long name (with the
    // version the caller expects) is the object of the tree; one name removed
    // by hand is reported once and the other 34 still go.
    armki::ARMDispatcher dispatcher;
    iso.addToDispatcher(dispatcher, s);
    ASSERT_TRUE(s.isSuccess());
    EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 35u);
    arm::DynamicAccessInterfaceBase<tStatus>* found = nullptr;
    dispatcher.getRegistration(
        "SolstraIsoTopRegMap_SeqTopWin_SolstraSeqTopRegMap_ChannelWin_SolstraChSeqTopRegMap_"
        "SeqChannelWin_SolstraSeqChRegMap_KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap"
        "_Ver1.0.0d379",
        &found, s, nullptr);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(found, &iso.SeqTop.Channel.SeqChannel.SeqFlexLoop);
    dispatcher.remove(
        "SolstraIsoTopRegMap_ChannelWin_SolstraIsoChRegMap_KelvoDcBusRegMapWin0_KelvoDcBusRegMap", s);
    ASSERT_TRUE(s.isSuccess());
    tStatus r;
    iso.removeFromDispatcher(dispatcher, r);
    EXPECT_EQ(r.getCode(), -240024);
    EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 0u);
}

TEST_F(SolstraTops, EveryBlockLandsAtItsPlaceInTheFpgaWindows) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    // Non-isolated: board 0x0000, channel 0x2000, standard registers of the board at 0.
    EXPECT_EQ(niso.Channel.SolstraNisoChRfu.address, 0x3FFCu);
    EXPECT_EQ(niso.Board.IsoRegAccess[2]->base(), 0x240u);
    EXPECT_EQ(niso.Channel.DcBus[1]->base(), 0x2208u);
    EXPECT_EQ(niso.SeqTop.base(), 0x4000u);
    EXPECT_EQ(niso.SeqTop.windowSize(), 0x4000u);

    // Isolated: the sequencer's view of the channel at 0x18000 with its loop view at +0x400.
    auto& seqChannel = iso.SeqTop.Channel.SeqChannel;
    EXPECT_EQ(seqChannel.base(), 0x18000u);
    EXPECT_EQ(seqChannel.SeqFlexLoop.base(), 0x18400u);
    EXPECT_EQ(seqChannel.SeqFlexLoop.windowSize(), 0x400u);
    EXPECT_EQ(seqChannel.NisoRegAccess[0]->base(), 0x18220u);
    EXPECT_EQ(iso.Channel.FlexLoop.base(), 0x2200u)
        << "the channel's own control loop, not the sequencer's view";
    EXPECT_EQ(iso.SeqTop.Channel.Channel.FlexLoop.base(), 0x1C200u);
    EXPECT_EQ(iso.SeqTop.Channel.Board.SeqDebug.base(), 0x1BD00u);

    MapProbe loop(seqChannel.SeqFlexLoop);
    EXPECT_EQ(loop.write(0x80F72E72, 0x10000000, true), 0);
    EXPECT_EQ(isoBus.log, (std::vector<BusAccess>{{'W', 0x18654, 0x10000000}}));
}

} // namespace
