// The names the two FPGA groups register, per board generation and in order:
// each top map's own name and every window below it, depth first, parent
// before children, composed from the window texts of the board map tables
// written out here; then their removal at teardown, also when a name went
// missing in between.
#include <algorithm>
#include <string>
#include <vector>

#include "groups_support.h"

namespace {

using kelvo_test::groups::namesOf;
using nVOAPALS100::tStatus;

// A registered map and the window texts of its sub-maps.
struct Node {
    std::string text;
    std::vector<Node> children;
};

void flatten(const std::string& name, const Node& node, std::vector<std::string>& out) {
    out.push_back(name);
    for (const Node& child : node.children) {
        flatten(name + "_" + child.text, child, out);
    }
}

std::vector<std::string> namesBelow(const std::string& top, const std::vector<Node>& children) {
    std::vector<std::string> out;
    flatten(top, Node{top, children}, out);
    return out;
}

Node leaf(const std::string& text) {
    return Node{text, {}};
}

// ---- Solstra ----

Node solstraStandard() {
    return Node{"StandardRegsWin_SolstraStandardRegs", {leaf("RequiredRegsWin_RequiredRegs")}};
}

std::vector<std::string> solstraNiso() {
    const Node channel{"ChannelWin_SolstraNisoChRegMap",
                       {leaf("KelvoDcBusRegMapWin0_KelvoDcBusRegMap"),
                        leaf("KelvoDcBusRegMapWin1_KelvoDcBusRegMap"),
                        leaf("KelvoMeasureStreamStatusWin_KelvoMeasureStreamStatusRegMap"),
                        leaf("KelvoNisoStreamControlWin_KelvoNisoStreamControlRegMap")}};
    const Node board{"BoardWin_SolstraNisoBoardRegMap",
                     {leaf("KelvoIsoCommRegMapWin_KelvoIsoCommRegMap"),
                      leaf("KelvoNisoBoardCommonWin_KelvoNisoBoardCommonRegMap"), solstraStandard(),
                      leaf("StreamControlWin_KelvoStreamControlRegMap"),
                      leaf("XfmrCtrlRegsWin_KelvoTransformerControlRegMap"),
                      leaf("DebugWin_KelvoDebugRegMap"), leaf("IsoRegAccessWin0_KelvoRegAccessRegMap"),
                      leaf("IsoRegAccessWin1_KelvoRegAccessRegMap"),
                      leaf("IsoRegAccessWin2_KelvoRegAccessRegMap")}};
    return namesBelow("SolstraNisoTopRegMap", {channel, leaf("SeqTopWin_SolstraNisoSeqTopRegMap"), board});
}

std::vector<std::string> solstraIso() {
    auto isoChannel = [](const std::string& window) {
        return Node{window + "_SolstraIsoChRegMap",
                    {leaf("KelvoFlexLoopWin_KelvoFlexLoopRegMap"),
                     leaf("KelvoDcBusRegMapWin0_KelvoDcBusRegMap"),
                     leaf("KelvoDcBusRegMapWin1_KelvoDcBusRegMap"),
                     leaf("KelvoIsoStreamControlWin_KelvoIsoStreamControlRegMap")}};
    };
    const Node isoBoard{"BoardWin_SolstraIsoBoardRegMap",
                        {leaf("KelvoSequencerWin_KelvoSequencerRegMap"),
                         leaf("KelvoNisoCommRegMapWin_KelvoNisoCommRegMap"),
                         leaf("Adf4002InterfaceWin_KelvoAdf4002InterfaceRegMap"),
                         leaf("ModulatorTimebaseControlWin_KelvoModulatorTimebaseControlRegMap"),
                         solstraStandard(), leaf("SeqDebugWin_KelvoDebugRegMap")}};
    const Node seqChannel{"SeqChannelWin_SolstraSeqChRegMap",
                          {leaf("NisoBaRegAccessWin0_KelvoRegAccessRegMap"),
                           leaf("NisoRegAccessWin0_KelvoRegAccessRegMap"),
                           leaf("KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap"),
                           leaf("KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap")}};
    const Node chSeqTop{"ChannelWin_SolstraChSeqTopRegMap", {isoBoard, isoChannel("ChannelWin"), seqChannel}};
    const Node seqTop{"SeqTopWin_SolstraSeqTopRegMap", {chSeqTop, leaf("SeqBoardWin_SolstraSeqBoardRegMap")}};
    return namesBelow("SolstraIsoTopRegMap", {isoChannel("ChannelWin"), seqTop, isoBoard});
}

// ---- Duskmere ----

Node duskmereStandard() {
    return Node{"StandardRegsWin_DuskmereStandardRegs", {leaf("RequiredRegsWin_RequiredRegs")}};
}

Node duskmereSeqChannel(const std::string& window) {
    return Node{window + "_DuskmereSeqChRegMap",
                {leaf("KelvoSequencerSeqWin_KelvoSequencerChSeqRegMap"),
                 leaf("KelvoSeqFlexLoopWin_KelvoSeqFlexLoopRegMap")}};
}

std::vector<std::string> duskmereNiso() {
    const Node board{
        "BoardWin_DuskmereNisoBoardRegMap",
        {leaf("KelvoIsoCommRegMapWin_KelvoIsoCommRegMap"), leaf("KelvoSequencerWin_KelvoSequencerRegMap"),
         leaf("KelvoNisoBoardCommonWin_KelvoNisoBoardCommonRegMap"), duskmereStandard(),
         leaf("StreamControlWin_KelvoStreamControlRegMap"),
         leaf("XfmrCtrlRegsWin_KelvoTransformerControlRegMap"), leaf("DebugWin_KelvoDebugRegMap"),
         leaf("SeqDebugWin_KelvoDebugRegMap"), leaf("KelvoI2cBusAccessWin_KelvoI2cBusAccessRegMap")}};
    auto channel = [](const std::string& window) {
        return Node{
            window + "_DuskmereNisoChRegMap",
            {leaf("KelvoFlexLoopWin_KelvoFlexLoopRegMap"), leaf("Pca6416ADirectAccessWin_KelvoPca6416ARegs"),
             leaf("KelvoDcBusRegMapWin0_KelvoDcBusRegMap"), leaf("KelvoDcBusRegMapWin1_KelvoDcBusRegMap"),
             leaf("KelvoDcBusRegMapWin2_KelvoDcBusRegMap"), leaf("IsoRegAccessWin0_KelvoRegAccessRegMap"),
             leaf("IsoRegAccessWin1_KelvoRegAccessRegMap"), leaf("IsoRegAccessWin2_KelvoRegAccessRegMap"),
             leaf("KelvoMeasureStreamStatusWin_KelvoMeasureStreamStatusRegMap")}};
    };
    Node seqBoard = board;
    const Node chSeqTop{"ChannelWins0_DuskmereChSeqTopRegMap",
                        {seqBoard, channel("ChannelWin"), duskmereSeqChannel("SeqChannelWin")}};
    const Node seqTop{"SeqTopWin_DuskmereSeqTopRegMap",
                      {leaf("SeqBoardWin_DuskmereSeqBoardRegMap"), chSeqTop}};
    return namesBelow("DuskmereNisoTopRegMap", {board, channel("ChannelWins0"), seqTop});
}

std::vector<std::string> duskmereIso() {
    const Node channel{
        "ChannelWin_DuskmereIsoChRegMap",
        {leaf("KelvoFlexLoopWin_KelvoFlexLoopRegMap"), leaf("KelvoDcBusRegMapWin0_KelvoDcBusRegMap"),
         leaf("KelvoDcBusRegMapWin1_KelvoDcBusRegMap"), leaf("Pca6416ADirectAccessWin_KelvoPca6416ARegs"),
         leaf("KelvoI2cBusAccessWin_KelvoI2cBusAccessRegMap")}};
    const Node board{"BoardWin_DuskmereIsoBoardRegMap",
                     {leaf("KelvoNisoCommRegMapWin_KelvoNisoCommRegMap"),
                      leaf("Adf4002InterfaceWin_KelvoAdf4002InterfaceRegMap"),
                      leaf("ModulatorTimebaseControlWin_KelvoModulatorTimebaseControlRegMap"),
                      duskmereStandard()}};
    return namesBelow("DuskmereIsoTopRegMap", {channel, duskmereSeqChannel("IsoChDebugSeqWin"), board});
}

std::vector<std::string> slice(const std::vector<std::string>& names, size_t first, size_t count) {
    if (first + count > names.size()) {
        return names;
    }
    return std::vector<std::string>(names.begin() + static_cast<long>(first),
                                    names.begin() + static_cast<long>(first + count));
}

struct Generation {
    const char* board;
    std::vector<std::string> (*niso)();
    std::vector<std::string> (*iso)();
    size_t nisoCount;
    size_t isoCount;
};

class GroupsRegistration : public kelvo_test::groups::GroupsTest,
                           public ::testing::WithParamInterface<Generation> {};

TEST_P(GroupsRegistration, EachTopMapRegistersItsNamesInTableOrder) {
    const Generation& g = GetParam();
    const std::vector<std::string> nisoNames = g.niso();
    const std::vector<std::string> isoNames = g.iso();
    ASSERT_EQ(nisoNames.size(), g.nisoCount);
    ASSERT_EQ(isoNames.size(), g.isoCount);

    plug(g.board);
    ASSERT_EQ(buildNiso(), 0);
    std::vector<std::string> names = namesOf(*arm);
    EXPECT_EQ(slice(names, 0, nisoNames.size()), nisoNames);
    // Then the BAR-wide endpoint map and its own sub-maps.
    ASSERT_GT(names.size(), nisoNames.size());
    for (size_t i = nisoNames.size(); i < names.size(); ++i) {
        EXPECT_EQ(names[i].rfind("KelvoBar0RegMap", 0), 0u) << names[i];
    }
    const size_t nisoTotal = names.size();

    ASSERT_EQ(buildIso(), 0);
    names = namesOf(*arm);
    EXPECT_EQ(slice(names, nisoTotal, isoNames.size()), isoNames);
    EXPECT_EQ(names.size(), nisoTotal + isoNames.size());
    EXPECT_EQ(namesOf(*windows), (std::vector<std::string>{"NisoFpgaWindow", "IsoFpgaWindow"}));

    // Every name leads to a map (with the version suffix).
    for (const std::string& name : names) {
        EXPECT_NE(kelvo_test::groups::lookUp(*arm, name + kelvo_test::groups::kFpgaMapVersion), nullptr)
            << name;
    }

    // Removal walks the same names in the same order, the isolated group first.
    arm->removals.clear();
    delete iso;
    iso = nullptr;
    EXPECT_EQ(arm->removals, isoNames);
    EXPECT_EQ(arm->getNumberOfRegistrations(), nisoTotal);
    arm->removals.clear();
    delete niso;
    niso = nullptr;
    EXPECT_EQ(slice(arm->removals, arm->removals.size() - nisoNames.size(), nisoNames.size()), nisoNames);
    EXPECT_EQ(arm->getNumberOfRegistrations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Boards, GroupsRegistration,
                         ::testing::Values(Generation{"solstra", solstraNiso, solstraIso, 18, 35},
                                           Generation{"duskmere-a", duskmereNiso, duskmereIso, 49, 16},
                                           Generation{"duskmere-b", duskmereNiso, duskmereIso, 49, 16}),
                         [](const auto& info) {
                             std::string name = info.param.board;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

using GroupsNames = kelvo_test::groups::GroupsTest;

TEST_F(GroupsNames, ANameRemovedByHandLeavesOneMissAndTheRestRemoved) {
    plug("solstra");
    ASSERT_EQ(buildNiso(), 0);
    ASSERT_EQ(buildIso(), 0);
    const std::vector<std::string> isoNames = solstraIso();
    tStatus status;
    arm->remove(isoNames[7].c_str(), status);
    ASSERT_TRUE(status.isSuccess());
    const uint64_t before = arm->getNumberOfRegistrations();

    auto* top = iso->wrapper.getSolstraRegMap();
    tStatus removal;
    top->removeFromDispatcher(*arm, removal);
    EXPECT_EQ(removal.getCode(), -240024);
    EXPECT_EQ(arm->getNumberOfRegistrations(), before - 34);
    // The wrapper's own removal at teardown finds nothing left and reports nothing.
}

} // namespace
