// The Solstra top maps: the registered names of both trees in order (copied by
// hand), removal, the top maps' empty by-id face, where every block lands in
// the FPGA windows, the twin sequencer views and failed allocations.
#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "kelvo/product_ids.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "regmaps_probe.h"
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

std::vector<std::string> prefixed(const std::string& prefix, const std::vector<std::string>& tails) {
    std::vector<std::string> out;
    for (const std::string& t : tails) {
        out.push_back(prefix + "_" + t);
    }
    return out;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

std::vector<std::string> nisoNames() {
    const std::string n = "SolstraNisoTopRegMap";
    const std::string c = n + "_ChannelWin_SolstraNisoChRegMap";
    const std::string b = n + "_BoardWin_SolstraNisoBoardRegMap";
    const std::string s = b + "_StandardRegsWin_SolstraStandardRegs";
    return {n,
            c,
            c + "_KelvoDcBusRegMapWin0_KelvoDcBusRegMap",
            c + "_KelvoDcBusRegMapWin1_KelvoDcBusRegMap",
            c + "_KelvoMeasureStreamStatusWin_KelvoMeasureStreamStatusRegMap",
            c + "_KelvoNisoStreamControlWin_KelvoNisoStreamControlRegMap",
            n + "_SeqTopWin_SolstraNisoSeqTopRegMap",
            b,
            b + "_KelvoIsoCommRegMapWin_KelvoIsoCommRegMap",
            b + "_KelvoNisoBoardCommonWin_KelvoNisoBoardCommonRegMap",
            s,
            s + "_RequiredRegsWin_RequiredRegs",
            b + "_StreamControlWin_KelvoStreamControlRegMap",
            b + "_XfmrCtrlRegsWin_KelvoTransformerControlRegMap",
            b + "_DebugWin_KelvoDebugRegMap",
            b + "_IsoRegAccessWin0_KelvoRegAccessRegMap",
            b + "_IsoRegAccessWin1_KelvoRegAccessRegMap",
            b + "_IsoRegAccessWin2_KelvoRegAccessRegMap"};
}

std::vector<std::string> isoBoard(const std::string& b) {
    const std::string s = b + "_StandardRegsWin_SolstraStandardRegs";
    return {b,
            b + "_KelvoSequencerWin_KelvoSequencerRegMap",
            b + "_KelvoNisoCommRegMapWin_KelvoNisoCommRegMap",
            b + "_Adf4002InterfaceWin_KelvoAdf4002InterfaceRegMap",
            b + "_ModulatorTimebaseControlWin_KelvoModulatorTimebaseControlRegMap",
            s,
            s + "_RequiredRegsWin_RequiredRegs",
            b + "_SeqDebugWin_KelvoDebugRegMap"};
}

std::vector<std::string> isoChannel(const std::string& c) {
    return {c, c + "_KelvoFlexLoopWin_KelvoFlexLoopRegMap", c + "_KelvoDcBusRegMapWin0_KelvoDcBusRegMap",
            c + "_KelvoDcBusRegMapWin1_KelvoDcBusRegMap",
            c + "_KelvoIsoStreamControlWin_KelvoIsoStreamControlRegMap"};
}

std::vector<std::string> isoNames() {
    const std::string i = "SolstraIsoTopRegMap";
    const std::string q = i + "_SeqTopWin_SolstraSeqTopRegMap";
    const std::string h = q + "_ChannelWin_SolstraChSeqTopRegMap";
    const std::string sc = h + "_SeqChannelWin_SolstraSeqChRegMap";
    std::vector<std::string> names = {i};
    append(names, isoChannel(i + "_ChannelWin_SolstraIsoChRegMap"));
    names.push_back(q);
    names.push_back(h);
    append(names, isoBoard(h + "_BoardWin_SolstraIsoBoardRegMap"));
    append(names, isoChannel(h + "_ChannelWin_SolstraIsoChRegMap"));
    names.push_back(sc);
    append(names,
           prefixed(sc, {"NisoBaRegAccessWin0_KelvoRegAccessRegMap", "NisoRegAccessWin0_KelvoRegAccessRegMap",
                         "KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap",
                         "KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap"}));
    names.push_back(q + "_SeqBoardWin_SolstraSeqBoardRegMap");
    append(names, isoBoard(i + "_BoardWin_SolstraIsoBoardRegMap"));
    return names;
}

class SolstraTops : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor nisoBus;
    FakeAccessor isoBus;
};

// The register-map dispatcher's own list: its names joined by TAB, in registration order.
std::string registered(const armki::ARMDispatcher& dispatcher) {
    vohtl::BasicString list;
    tStatus s;
    dispatcher.getRegistrationList(list, s);
    EXPECT_TRUE(s.isSuccess());
    return list.c_str() != nullptr ? std::string(list.c_str()) : std::string();
}

TEST_F(SolstraTops, TheDispatcherListsBothTreesInOrderAndLosesThemAgain) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    ASSERT_TRUE(built.isSuccess());
    armki::ARMDispatcher dispatcher;
    tStatus s;
    niso.addToDispatcher(dispatcher, s);
    EXPECT_EQ(registered(dispatcher), RegistrationLog::join(nisoNames()));
    iso.addToDispatcher(dispatcher, s);
    ASSERT_TRUE(s.isSuccess());
    std::vector<std::string> both = nisoNames();
    append(both, isoNames());
    EXPECT_EQ(registered(dispatcher), RegistrationLog::join(both));

    // A map found by its long name (with the version the caller expects) is the object of the tree.
    arm::DynamicAccessInterfaceBase<tStatus>* found = nullptr;
    dispatcher.getRegistration((isoNames()[25] + "_Ver1.0.0d379").c_str(), &found, s, nullptr);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(found, &iso.SeqTop.Channel.SeqChannel.SeqFlexLoop);

    // One name removed by hand: the tree's removal reports it once and removes the rest.
    dispatcher.remove(isoNames()[3].c_str(), s);
    tStatus r;
    iso.removeFromDispatcher(dispatcher, r);
    EXPECT_EQ(r.getCode(), -240024);
    niso.removeFromDispatcher(dispatcher, r);
    EXPECT_EQ(registered(dispatcher), "");
}

TEST_F(SolstraTops, BothTreesRegisterEveryNameInOrderAndRemoveThemAgain) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    ASSERT_TRUE(built.isSuccess());

    RegistrationLog d;
    tStatus s;
    niso.addToDispatcher(d, s);
    ASSERT_TRUE(s.isSuccess());
    EXPECT_EQ(d.names.size(), 18u);
    EXPECT_EQ(d.joined(), RegistrationLog::join(nisoNames()));
    EXPECT_EQ(
        d.find("SolstraNisoTopRegMap_ChannelWin_SolstraNisoChRegMap_KelvoDcBusRegMapWin1_KelvoDcBusRegMap"),
        niso.Channel.DcBus[1]);
    EXPECT_EQ(d.find("SolstraNisoTopRegMap_SeqTopWin_SolstraNisoSeqTopRegMap"), &niso.SeqTop);
    EXPECT_EQ(d.find("SolstraNisoTopRegMap_BoardWin_SolstraNisoBoardRegMap_RequiredRegsWin_RequiredRegs"),
              nullptr);

    RegistrationLog e;
    iso.addToDispatcher(e, s);
    ASSERT_TRUE(s.isSuccess());
    EXPECT_EQ(e.names.size(), 35u);
    EXPECT_EQ(e.joined(), RegistrationLog::join(isoNames()));
    size_t longest = 0;
    for (const std::string& n : e.names) {
        longest = std::max(longest, n.size());
    }
    EXPECT_EQ(longest, 178u) << "names far past 64 characters are registered whole";

    niso.removeFromDispatcher(d, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(d.removed, nisoNames());
    EXPECT_TRUE(d.names.empty());

    // One leaf removed by hand beforehand: one -240024, the other 34 names still go.
    const std::string leaf = isoNames()[3];
    tStatus byHand;
    e.remove(leaf.c_str(), byHand);
    e.removed.clear();
    tStatus r;
    iso.removeFromDispatcher(e, r);
    EXPECT_EQ(r.getCode(), -240024);
    EXPECT_EQ(e.removed, isoNames());
    EXPECT_TRUE(e.names.empty());
}

TEST_F(SolstraTops, AGivenNameLeadsEveryComposedNameAndSkipSelfLeavesItOut) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    RegistrationLog d;
    tStatus s;
    niso.addToDispatcher(d, s, "Given", true);
    ASSERT_EQ(d.names.size(), 17u);
    EXPECT_EQ(d.names[0], "Given_ChannelWin_SolstraNisoChRegMap");
    for (const std::string& n : d.names) {
        EXPECT_EQ(n.rfind("Given_", 0), 0u) << n;
    }
    niso.removeFromDispatcher(d, s, "Given", true);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_TRUE(d.names.empty());
}

TEST_F(SolstraTops, TopMapsServeNoIdentifier) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    for (arm::tRegisterMapBase* map :
         std::vector<arm::tRegisterMapBase*>{&niso, &iso, &niso.SeqTop, &iso.SeqTop, &iso.SeqTop.Channel}) {
        MapProbe p(*map);
        uint64_t v = 5;
        EXPECT_EQ(p.get(0x8029F3D0, v), kUnknownId);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(p.set(0x8029F3D0, 1), kUnknownId);
        EXPECT_EQ(p.flush(0x8029F3D0, true), kUnknownId);
        const auto f = p.format(0x8029F3D0);
        EXPECT_EQ(f.code, kNotImplemented);
        EXPECT_EQ(f.count, 0u);
        EXPECT_STREQ(map->getVersion(), "1.0.0d379");
    }
}

TEST_F(SolstraTops, EveryBlockLandsAtItsPlaceInTheFpgaWindows) {
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    tSolstraIsoTopRegMap iso(&isoBus, built);
    // Non-isolated: board 0x0000, channel 0x2000, standard registers of the board at 0.
    EXPECT_EQ(niso.Board.base(), 0x0u);
    EXPECT_EQ(niso.Channel.SolstraNisoChRfu.address, 0x3FFCu);
    EXPECT_EQ(niso.Board.IsoRegAccess[2]->base(), 0x240u);
    EXPECT_EQ(niso.Channel.DcBus[1]->base(), 0x2208u);
    EXPECT_EQ(niso.Channel.MeasureStreamStatus.base(), 0x21B0u);
    EXPECT_EQ(niso.Channel.NisoStreamControl.base(), 0x2300u);
    EXPECT_EQ(niso.Board.Debug.base(), 0x1C00u);
    EXPECT_EQ(niso.SeqTop.base(), 0x4000u);
    EXPECT_EQ(niso.SeqTop.windowSize(), 0x4000u);

    // Isolated: the sequencer's view of the channel at 0x18000 with its loop view at +0x400.
    auto& seqChannel = iso.SeqTop.Channel.SeqChannel;
    EXPECT_EQ(seqChannel.base(), 0x18000u);
    EXPECT_EQ(seqChannel.SeqFlexLoop.base(), 0x18400u);
    EXPECT_EQ(seqChannel.SeqFlexLoop.windowSize(), 0x400u);
    EXPECT_EQ(seqChannel.SequencerChSeq.base(), 0x18000u);
    EXPECT_EQ(seqChannel.SequencerChSeq.windowSize(), 0x200u);
    EXPECT_EQ(seqChannel.NisoRegAccess[0]->base(), 0x18220u);
    EXPECT_EQ(iso.SeqTop.SeqBoard.SolstraSeqBoardRfu.address, 0x11FFCu);
    EXPECT_EQ(iso.Channel.FlexLoop.base(), 0x2200u)
        << "the channel's own control loop, not the sequencer's view";
    EXPECT_EQ(iso.Channel.FlexLoop.windowSize(), 0x100u);
    EXPECT_EQ(iso.SeqTop.Channel.Channel.FlexLoop.base(), 0x1C200u);
    EXPECT_EQ(iso.Board.Sequencer.base(), 0x100u);
    EXPECT_EQ(iso.Board.ModulatorTimebaseControl.windowSize(), 0x20u);
    EXPECT_EQ(iso.SeqTop.Channel.Board.SeqDebug.base(), 0x1BD00u);

    MapProbe loop(seqChannel.SeqFlexLoop);
    EXPECT_EQ(loop.write(0x80F72E72, 0x10000000, true), 0);
    EXPECT_EQ(isoBus.log, (std::vector<BusAccess>{{'W', 0x18654, 0x10000000}}));
}

TEST_F(SolstraTops, TheSequencerViewsAreSeparateObjectsWithSeparateSoftCopies) {
    tStatus built;
    tSolstraIsoTopRegMap iso(&isoBus, built);
    auto& board = iso.Board;
    auto& seen = iso.SeqTop.Channel.Board;
    ASSERT_NE(&board, &seen);
    MapProbe direct(board);
    MapProbe viaSequencer(seen);
    EXPECT_EQ(direct.write(0x80414B49, 0x00AB0123, false), 0) << "VrefTempWindowLimits";
    EXPECT_EQ(viaSequencer.get(0x80414B49), 0u);
    EXPECT_EQ(viaSequencer.write(0x80414B49, 0x5, false), 0);
    EXPECT_EQ(direct.get(0x80414B49), 0x00AB0123u);
    EXPECT_EQ(isoBus.log, (std::vector<BusAccess>{{'W', 0x200, 0x00AB0123}, {'W', 0x1A200, 0x5}}));
    EXPECT_EQ(iso.Channel.ChannelStatus.address, 0x2080u);
    EXPECT_EQ(iso.SeqTop.Channel.Channel.ChannelStatus.address, 0x1C080u);
    // The signature of either view starts as the board signature.
    EXPECT_EQ(board.StandardRegs.SolstraSignature.softCopy, KELVO_SOLSTRA_BOARD_SIGNATURE);
    EXPECT_EQ(seen.StandardRegs.SolstraSignature.softCopy, KELVO_SOLSTRA_BOARD_SIGNATURE);
}

TEST_F(SolstraTops, WholeTreeOperationsReachEveryPartOnce) {
    tStatus built;
    tSolstraIsoTopRegMap iso(&isoBus, built);
    iso.markDirtyRegMap();
    tStatus s;
    iso.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    // Every write lands inside the isolated window and none twice.
    std::vector<uint32_t> writes = isoBus.offsets('W');
    std::vector<uint32_t> sorted = writes;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_LT(sorted.back(), 0x20000u);
    // Depth first in declaration order: the isolated channel's own registers come first.
    EXPECT_EQ(writes.front(), 0x2084u);

    // reinitialize restores every soft copy of every part, defaults included.
    MapProbe stg(iso.SeqTop.Channel.SeqChannel);
    EXPECT_EQ(stg.get(0x80765B26), 0u) << "cleared by the write";
    iso.reinitialize();
    EXPECT_EQ(stg.get(0x80765B26), 0x30u);
    EXPECT_EQ(iso.Board.StandardRegs.SolstraSignature.softCopy, KELVO_SOLSTRA_BOARD_SIGNATURE);
}

TEST_F(SolstraTops, AFailedAllocationLeavesItsSlotEmptyAndEveryWalkSafe) {
    for (int nth = 1; nth <= 6; ++nth) { // six maps are allocated: 2 + 2 DC-bus, 2 register-access
        SCOPED_TRACE(nth);
        kal::memory::failNth(nth);
        tStatus built;
        tSolstraIsoTopRegMap iso(&isoBus, built);
        kal::memory::clearFaults();
        EXPECT_EQ(built.getCode(), nVOAPALS100::tStatus::kOutOfMemory);
        // Operations, registration and destruction pass over the empty slots.
        iso.markDirtyRegMap();
        tStatus s;
        iso.flushRegMap(true, s);
        iso.refreshRegMap(s);
        iso.reinitialize();
        RegistrationLog d;
        tStatus r;
        iso.addToDispatcher(d, r);
        EXPECT_LT(d.names.size(), 35u);
        iso.removeFromDispatcher(d, r);
        EXPECT_TRUE(d.names.empty());
    }
    // The non-isolated tree allocates five maps: two DC-bus and three register-access maps.
    kal::memory::failNth(5);
    tStatus built;
    tSolstraNisoTopRegMap niso(&nisoBus, built);
    kal::memory::clearFaults();
    EXPECT_EQ(built.getCode(), nVOAPALS100::tStatus::kOutOfMemory);
    EXPECT_NE(niso.Board.IsoRegAccess[1], nullptr);
    EXPECT_EQ(niso.Board.IsoRegAccess[2], nullptr);
}

} // namespace
