// The Duskmere top maps: where every block sits, the twin views of the
// non-isolated board and channel blocks, whole-map walks, an owned channel
// that could not be allocated, and the registration names.
#include <algorithm>
#include <string>
#include <vector>

#include "control.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps_duskmere_support.h"
#include "regs/arm_dispatcher.h"

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

    // Inside the non-isolated board and channel blocks.
    const auto& board = nisoTop.Board;
    EXPECT_EQ(placeOf(board.StandardRegs), (Place{0x8000, 0, 0x40}));
    EXPECT_EQ(placeOf(board.StandardRegs.RequiredRegs), (Place{0x8000, 0, 0x20}));
    EXPECT_EQ(placeOf(board.KelvoIsoComm), (Place{0x8040, 0, 0x10}));
    EXPECT_EQ(placeOf(board.StreamControl), (Place{0x8080, 0, 0x80}));
    EXPECT_EQ(placeOf(board.XfmrCtrlRegs), (Place{0x8200, 0, 0x40}));
    EXPECT_EQ(placeOf(board.KelvoI2cBusAccess), (Place{0x8240, 0, 0x10}));
    EXPECT_EQ(placeOf(board.KelvoNisoBoardCommon), (Place{0x8280, 0, 0x40}));
    EXPECT_EQ(placeOf(board.Debug), (Place{0x8C00, 0, 0x100}));
    EXPECT_EQ(placeOf(board.SeqDebug), (Place{0x8D00, 0, 0x100}));
    const auto& channel = *nisoTop.Channels[0];
    EXPECT_EQ(placeOf(channel.Pca6416ADirectAccess), (Place{0xC160, 0, 0x20}));
    EXPECT_EQ(placeOf(channel.KelvoMeasureStreamStatus), (Place{0xC1B0, 0, 0x10}));
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_NE(channel.KelvoDcBusRegMaps[i], nullptr);
        ASSERT_NE(channel.IsoRegAccess[i], nullptr);
        EXPECT_EQ(placeOf(*channel.KelvoDcBusRegMaps[i]), (Place{0xC200 + 8 * i, 0, 8}));
        EXPECT_EQ(placeOf(*channel.IsoRegAccess[i]), (Place{0xC100 + 0x20 * i, 0, 0x20}));
    }
    EXPECT_EQ(placeOf(chSeq.Board.StandardRegs.RequiredRegs), (Place{0x1000, 0, 0x20}));
    EXPECT_EQ(placeOf(*chSeq.Channel.IsoRegAccess[1]), (Place{0x2120, 0, 0x20}));

    EXPECT_EQ(placeOf(isoTop.Channel), (Place{0x2000, 0, 0x2000}));
    // The expander's window at 0x2220 (0x20 bytes) and the I2C block's at 0x2270 (0x10 bytes).
    EXPECT_EQ(placeOf(isoTop.Channel.Pca6416ADirectAccess), (Place{0x2220, 0, 0x20}));
    EXPECT_EQ(placeOf(isoTop.Channel.KelvoI2cBusAccess), (Place{0x2270, 0, 0x10}));
    EXPECT_EQ(placeOf(*isoTop.Channel.KelvoDcBusRegMaps[1]), (Place{0x2108, 0, 8}));
    EXPECT_EQ(placeOf(isoTop.Board.KelvoNisoComm), (Place{0x40, 0, 0x10}));
    EXPECT_EQ(placeOf(isoTop.Board.Adf4002Interface), (Place{0x80, 0, 0x10}));
    EXPECT_EQ(placeOf(isoTop.Board.StandardRegs.RequiredRegs), (Place{0, 0, 0x20}));
    // The channel-loop and sequencer blocks.
    EXPECT_EQ(placeOf(board.KelvoSequencer), (Place{0x8100, 0, 0x80}));
    EXPECT_EQ(placeOf(channel.KelvoFlexLoop), (Place{0xC000, 0, 0x100}));
    EXPECT_EQ(placeOf(chSeq.SeqChannel.KelvoSequencerSeq), (Place{0, 0, 0x200}));
    EXPECT_EQ(placeOf(chSeq.SeqChannel.KelvoSeqFlexLoop), (Place{0x400, 0, 0x400}));
    EXPECT_EQ(placeOf(isoTop.Channel.KelvoFlexLoop), (Place{0x2000, 0, 0x100}));
    EXPECT_EQ(placeOf(isoTop.IsoChDebugSeq.KelvoSequencerSeq), (Place{0x4000, 0, 0x200}));
    EXPECT_EQ(placeOf(isoTop.IsoChDebugSeq.KelvoSeqFlexLoop), (Place{0x4400, 0, 0x400}));
    EXPECT_EQ(placeOf(isoTop.Board.ModulatorTimebaseControl), (Place{0xC0, 0, 0x40}));
    EXPECT_EQ(placeOf(isoTop.IsoChDebugSeq), (Place{0x4000, 0, 0x4000}));
    EXPECT_EQ(placeOf(isoTop.Board), (Place{0, 0, 0x2000}));

    // A few registers by absolute address.
    EXPECT_EQ(nisoTop.Board.DuskmereBoardRfu.address, 0x8FFCu);
    EXPECT_EQ(chSeq.Board.DuskmereBoardRfu.address, 0x1FFCu);
    EXPECT_EQ(nisoTop.Channels[0]->XfmrAdjusterControl[3].address, 0xC37Cu);
    EXPECT_EQ(chSeq.Channel.XfmrAdjusterControl[3].address, 0x237Cu);
    EXPECT_EQ(chSeq.SeqChannel.KelvoTableConfig.address, 0x300u);
    EXPECT_EQ(nisoTop.SeqTop.SeqBoard.DuskmereSeqBoardRfu.address, 0x4FFCu);
    EXPECT_EQ(isoTop.IsoChDebugSeq.KelvoTableConfig.address, 0x4300u);
    EXPECT_EQ(isoTop.Channel.DuskmereIsoChRfu.address, 0x3FFCu);
    EXPECT_EQ(isoTop.Board.DuskmereIsoBoardRfu.address, 0x1FFCu);
}

TEST_F(DuskmereTop, TopMapsKnowNoIdentifier) {
    for (arm::tRegisterMapBase* top :
         {static_cast<arm::tRegisterMapBase*>(&nisoTop), static_cast<arm::tRegisterMapBase*>(&isoTop),
          static_cast<arm::tRegisterMapBase*>(&nisoTop.SeqTop),
          static_cast<arm::tRegisterMapBase*>(nisoTop.SeqTop.Channels[0])}) {
        kelvo_test::duskmere::ById op{*top};
        uint64_t v = 7;
        EXPECT_EQ(op.get(0x8009DE43, v), kelvo_test::kUnknownId);
        EXPECT_EQ(v, 0u);
        v = 7;
        EXPECT_EQ(op.read(0x8009DE43, v), kelvo_test::kUnknownId);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(op.set(0x8009DE43, 1), kelvo_test::kUnknownId);
        EXPECT_EQ(op.write(0x8009DE43, 1, true), kelvo_test::kUnknownId);
        EXPECT_EQ(op.flush(0x8009DE43, true), kelvo_test::kUnknownId);
        EXPECT_EQ(op.refresh(0x8009DE43), kelvo_test::kUnknownId);
        uint32_t count = 4;
        arm::FieldType types[4];
        uint64_t masks[4];
        tStatus s;
        top->getRegisterFormat(0x8009DE43, count, types, masks, s);
        EXPECT_EQ(s.getCode(), kelvo_test::kNotImplemented);
        EXPECT_EQ(count, 0u);
        EXPECT_STREQ(top->getVersion(), "1.0.0d379");
    }
    EXPECT_TRUE(niso.log.empty());
}

TEST_F(DuskmereTop, TheTwinViewsAreSeparateObjects) {
    auto& chSeq = *nisoTop.SeqTop.Channels[0];
    kelvo_test::duskmere::ById board{nisoTop.Board};
    kelvo_test::duskmere::ById twin{chSeq.Board};
    EXPECT_EQ(board.set(0x8009DE43, 0x1111), 0);
    EXPECT_EQ(twin.get(0x8009DE43), 0u);
    EXPECT_EQ(twin.set(0x8009DE43, 0x2222), 0);
    EXPECT_EQ(board.get(0x8009DE43), 0x1111u);
    kelvo_test::duskmere::ById channel{*nisoTop.Channels[0]};
    EXPECT_EQ(channel.set(0x3C654361, 1), 0);
    EXPECT_EQ(chSeq.Channel.MainXfmrSignalTick[4].strobeCopy, 0u);
    tStatus s;
    nisoTop.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(niso.log,
              (std::vector<BusAccess>{{'W', 0x8FFC, 0x1111}, {'W', 0xC194, 0x8000}, {'W', 0x1FFC, 0x2222}}));
}

TEST_F(DuskmereTop, WholeMapWalksGoOnPastAFailureAndKeepTheFirst) {
    nisoTop.markDirtyRegMap();
    niso.failNext(1, -50401);
    tStatus s;
    nisoTop.flushRegMap(false, s);
    EXPECT_EQ(s.getCode(), -50401);
    // Board at 0x8000, channel at 0xC000, then the sequencer side: its board block at 0x4000, then the
    // channel view with board 0x1000, channel 0x2000 and the sequencer channel block at 0x0000.
    std::vector<uint32_t> blocks;
    for (uint32_t offset : niso.offsets('W')) {
        const uint32_t block = offset & 0xF000;
        if (blocks.empty() || blocks.back() != block) {
            blocks.push_back(block);
        }
    }
    EXPECT_EQ(blocks, (std::vector<uint32_t>{0x8000, 0xC000, 0x4000, 0x1000, 0x2000, 0x0000}));
    // Each writable register exactly once; the failed one stays dirty for the next walk.
    std::vector<uint32_t> written = niso.offsets('W');
    std::sort(written.begin(), written.end());
    EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end());
    niso.log.clear();
    tStatus again;
    nisoTop.flushRegMap(false, again);
    EXPECT_TRUE(again.isSuccess());
    EXPECT_EQ(niso.log, (std::vector<BusAccess>{{'W', 0x8060, 0}}));

    // A fatal status on entry does nothing.
    tStatus fatal;
    KELVO_SET_STATUS(fatal, -1);
    isoTop.markDirtyRegMap();
    isoTop.flushRegMap(true, fatal);
    isoTop.refreshRegMap(fatal);
    EXPECT_TRUE(iso.log.empty());
}

TEST_F(DuskmereTop, AChannelThatCouldNotBeAllocatedLeavesAnEmptySlot) {
    // The embedded sequencer top allocates its channel view first; once that failed,
    // the top map's own channel is not allocated either.
    kal::memory::failNth(1);
    tStatus s;
    tDuskmereNisoTopRegMap top{&niso, s};
    kal::memory::clearFaults();
    EXPECT_EQ(s.getCode(), nVOAPALS100::tStatus::kOutOfMemory);
    EXPECT_EQ(top.SeqTop.Channels[0], nullptr);
    EXPECT_EQ(top.Channels[0], nullptr) << "no allocation once the status holds an error";
    top.markDirtyRegMap();
    tStatus f;
    top.flushRegMap(false, f);
    EXPECT_TRUE(f.isSuccess());
    top.reinitialize();
}

// Window texts of each class's sub-maps, in registration order, as the naming table lists them;
// the standard registers' own sub-map follows them directly.
const std::vector<std::string> kNisoBoardWindows = {
    "KelvoIsoCommRegMapWin_KelvoIsoCommRegMap",
    "KelvoSequencerWin_KelvoSequencerRegMap",
    "KelvoNisoBoardCommonWin_KelvoNisoBoardCommonRegMap",
    "StandardRegsWin_DuskmereStandardRegs",
    "StandardRegsWin_DuskmereStandardRegs_RequiredRegsWin_RequiredRegs",
    "StreamControlWin_KelvoStreamControlRegMap",
    "XfmrCtrlRegsWin_KelvoTransformerControlRegMap",
    "DebugWin_KelvoDebugRegMap",
    "SeqDebugWin_KelvoDebugRegMap",
    "KelvoI2cBusAccessWin_KelvoI2cBusAccessRegMap",
};
const std::vector<std::string> kNisoChannelWindows = {
    "KelvoFlexLoopWin_KelvoFlexLoopRegMap",
    "Pca6416ADirectAccessWin_KelvoPca6416ARegs",
    "KelvoDcBusRegMapWin0_KelvoDcBusRegMap",
    "KelvoDcBusRegMapWin1_KelvoDcBusRegMap",
    "KelvoDcBusRegMapWin2_KelvoDcBusRegMap",
    "IsoRegAccessWin0_KelvoRegAccessRegMap",
    "IsoRegAccessWin1_KelvoRegAccessRegMap",
    "IsoRegAccessWin2_KelvoRegAccessRegMap",
    "KelvoMeasureStreamStatusWin_KelvoMeasureStreamStatusRegMap",
};
const std::vector<std::string> kSeqChannelWindows = {
    "KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap",
    "KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap",
};
const std::vector<std::string> kIsoChannelWindows = {
    "KelvoFlexLoopWin_KelvoFlexLoopRegMap",         "KelvoDcBusRegMapWin0_KelvoDcBusRegMap",
    "KelvoDcBusRegMapWin1_KelvoDcBusRegMap",        "Pca6416ADirectAccessWin_KelvoPca6416ARegs",
    "KelvoI2cBusAccessWin_KelvoI2cBusAccessRegMap",
};
const std::vector<std::string> kIsoBoardWindows = {
    "KelvoNisoCommRegMapWin_KelvoNisoCommRegMap",
    "Adf4002InterfaceWin_KelvoAdf4002InterfaceRegMap",
    "ModulatorTimebaseControlWin_KelvoModulatorTimebaseControlRegMap",
    "StandardRegsWin_DuskmereStandardRegs",
    "StandardRegsWin_DuskmereStandardRegs_RequiredRegsWin_RequiredRegs",
};

// The block's name, then the name + "_" + each window text.
void addBlock(std::vector<std::string>& out, const std::string& name,
              const std::vector<std::string>& windows) {
    out.push_back(name);
    for (const std::string& window : windows) {
        out.push_back(name + "_" + window);
    }
}

std::string tabJoined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : "\t") + name;
    }
    return text;
}

std::string registrationList(const armki::ARMDispatcher& dispatcher) {
    vohtl::BasicString list;
    tStatus s;
    dispatcher.getRegistrationList(list, s);
    EXPECT_TRUE(s.isSuccess());
    return std::string(list.c_str(), list.length());
}

TEST_F(DuskmereTop, RegisteredNamesFollowTheNamingTableInOrder) {
    const std::string top = "DuskmereNisoTopRegMap";
    std::vector<std::string> niso;
    niso.push_back(top);
    addBlock(niso, top + "_BoardWin_DuskmereNisoBoardRegMap", kNisoBoardWindows);
    addBlock(niso, top + "_ChannelWins0_DuskmereNisoChRegMap", kNisoChannelWindows);
    const std::string seqTop = top + "_SeqTopWin_DuskmereSeqTopRegMap";
    niso.push_back(seqTop);
    niso.push_back(seqTop + "_SeqBoardWin_DuskmereSeqBoardRegMap");
    const std::string chSeq = seqTop + "_ChannelWins0_DuskmereChSeqTopRegMap";
    niso.push_back(chSeq);
    addBlock(niso, chSeq + "_BoardWin_DuskmereNisoBoardRegMap", kNisoBoardWindows);
    addBlock(niso, chSeq + "_ChannelWin_DuskmereNisoChRegMap", kNisoChannelWindows);
    addBlock(niso, chSeq + "_SeqChannelWin_DuskmereSeqChRegMap", kSeqChannelWindows);
    ASSERT_EQ(niso.size(), 49u);

    const std::string isoTopName = "DuskmereIsoTopRegMap";
    std::vector<std::string> iso;
    iso.push_back(isoTopName);
    addBlock(iso, isoTopName + "_ChannelWin_DuskmereIsoChRegMap", kIsoChannelWindows);
    addBlock(iso, isoTopName + "_IsoChDebugSeqWin_DuskmereSeqChRegMap", kSeqChannelWindows);
    addBlock(iso, isoTopName + "_BoardWin_DuskmereIsoBoardRegMap", kIsoBoardWindows);
    ASSERT_EQ(iso.size(), 16u);

    armki::ARMDispatcher dispatcher;
    tStatus s;
    nisoTop.addToDispatcher(dispatcher, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(registrationList(dispatcher), tabJoined(niso));
    // Names written out in full.
    const std::string list = registrationList(dispatcher);
    EXPECT_NE(
        list.find("DuskmereNisoTopRegMap_SeqTopWin_DuskmereSeqTopRegMap_ChannelWins0_DuskmereChSeqTopRegMap_"
                  "BoardWin_DuskmereNisoBoardRegMap\t"),
        std::string::npos);
    size_t longest = 0;
    for (const std::string& name : niso) {
        longest = std::max(longest, name.size());
    }
    EXPECT_EQ(longest, 187u);

    isoTop.addToDispatcher(dispatcher, s);
    EXPECT_EQ(registrationList(dispatcher), tabJoined(niso) + "\t" + tabJoined(iso));
    EXPECT_NE(registrationList(dispatcher)
                  .find("\tDuskmereIsoTopRegMap_BoardWin_DuskmereIsoBoardRegMap_"
                        "StandardRegsWin_DuskmereStandardRegs_RequiredRegsWin_RequiredRegs"),
              std::string::npos);
    // Registered objects: the twin views are distinct objects.
    arm::DynamicAccessInterfaceBase<tStatus>* board = nullptr;
    arm::DynamicAccessInterfaceBase<tStatus>* twin = nullptr;
    dispatcher.getRegistration((top + "_BoardWin_DuskmereNisoBoardRegMap_Ver1.0.0d379").c_str(), &board, s,
                               nullptr);
    dispatcher.getRegistration((chSeq + "_BoardWin_DuskmereNisoBoardRegMap_Ver1.0.0d379").c_str(), &twin, s,
                               nullptr);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(board, &nisoTop.Board);
    EXPECT_EQ(twin, &nisoTop.SeqTop.Channels[0]->Board);

    // Removal walks the same names; one removed by hand is reported and the rest still go.
    dispatcher.remove(
        (isoTopName + "_ChannelWin_DuskmereIsoChRegMap_KelvoFlexLoopWin_KelvoFlexLoopRegMap").c_str(), s);
    tStatus r;
    isoTop.removeFromDispatcher(dispatcher, r);
    EXPECT_EQ(r.getCode(), -240024);
    EXPECT_EQ(registrationList(dispatcher), tabJoined(niso));
    tStatus n;
    nisoTop.removeFromDispatcher(dispatcher, n);
    EXPECT_TRUE(n.isSuccess());
    EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 0u);
}

} // namespace
