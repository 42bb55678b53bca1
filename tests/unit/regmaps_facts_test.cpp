// What the boards' register lists state outright about each map: register count, name and version.
#include <gtest/gtest.h>

#include "bridge/tymo_reg_maps.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"

namespace {

using namespace kelvo_regmaps;
using namespace brixeltools;
using namespace tymo_regmaps;

constexpr const char* kFpgaVersion = "1.0.0d379";
constexpr const char* kBridgeVersion = "2.3.0f7";
constexpr const char* kTimingVersion = "200a13081315";

// What a map's tables state, and what the register lists say they should.
struct Stated {
    uint32_t count;
    const char *name, *version, *oldest;
};
Stated stated(const arm::tRegisterMapTables& t) {
    return {t.registerCount, t.defaultName, t.version, t.oldestCompatibleVersion};
}
Stated stated(const arm::tSizedRegisterMapTables& t) {
    return {t.formatIdCount, t.defaultName, t.version, t.oldestCompatibleVersion};
}
struct Facts {
    Stated map;
    const char* name;
    uint32_t count;
    const char* version = kFpgaVersion;
};

const Facts kMaps[] = {
    {stated(tRequiredRegs::kTables), "RequiredRegs", 7},
    {stated(tKelvoNisoBoardCommonRegMap::kTables), "KelvoNisoBoardCommonRegMap", 1},
    {stated(tKelvoMeasureStreamStatusRegMap::kTables), "KelvoMeasureStreamStatusRegMap", 1},
    {stated(tKelvoI2cBusAccessRegMap::kTables), "KelvoI2cBusAccessRegMap", 4},
    {stated(tKelvoPca6416ARegs::kTables), "KelvoPca6416ARegs", 7},
    {stated(tKelvoAdf4002InterfaceRegMap::kTables), "KelvoAdf4002InterfaceRegMap", 3},
    {stated(tKelvoTransformerControlRegMap::kTables), "KelvoTransformerControlRegMap", 2},
    {stated(tKelvoStreamControlRegMap::kTables), "KelvoStreamControlRegMap", 2},
    {stated(tKelvoNisoStreamControlRegMap::kTables), "KelvoNisoStreamControlRegMap", 4},
    {stated(tKelvoIsoStreamControlRegMap::kTables), "KelvoIsoStreamControlRegMap", 4},
    {stated(tKelvoRegAccessRegMap::kTables), "KelvoRegAccessRegMap", 5},
    {stated(tKelvoIsoCommRegMap::kTables), "KelvoIsoCommRegMap", 2},
    {stated(tKelvoNisoCommRegMap::kTables), "KelvoNisoCommRegMap", 1},
    {stated(tKelvoDcBusRegMap::kTables), "KelvoDcBusRegMap", 1},
    {stated(tKelvoDebugRegMap::kTables), "KelvoDebugRegMap", 5},
    {stated(tKelvoSequencerChSeqRegMap::kTables), "KelvoSequencerChSeqRegMap", 74},
    {stated(tKelvoFlexLoopRegMap::kTables), "KelvoFlexLoopRegMap", 13},
    {stated(tKelvoSeqFlexLoopRegMap::kTables), "KelvoSeqFlexLoopRegMap", 126},
    {stated(tSolstraIsoBoardRegMap::kTables), "SolstraIsoBoardRegMap", 17},
    {stated(tSolstraSeqChRegMap::kTables), "SolstraSeqChRegMap", 41},
    {stated(tSolstraNisoBoardRegMap::kTables), "SolstraNisoBoardRegMap", 62},
    {stated(tDuskmereIsoBoardRegMap::kTables), "DuskmereIsoBoardRegMap", 10},
    {stated(tDuskmereIsoChRegMap::kTables), "DuskmereIsoChRegMap", 23},
    {stated(tDuskmereNisoBoardRegMap::kTables), "DuskmereNisoBoardRegMap", 29},
    {stated(tDuskmereNisoChRegMap::kTables), "DuskmereNisoChRegMap", 53},
    {stated(tDuskmereSeqChRegMap::kTables), "DuskmereSeqChRegMap", 19},
    {stated(tDuskmereSeqBoardRegMap::kTables), "DuskmereSeqBoardRegMap", 1},
    {stated(tDuskmereStandardRegs::kTables), "DuskmereStandardRegs", 4},
    {stated(tBrixelWithOffset<0u>::kTables), "Brixel", 14, kBridgeVersion},
    {stated(tBrixelDMAChannelWithOffset<0u>::kTables), "BrixelDMAChannel0", 4, kBridgeVersion},
    {stated(tBrixelConfigPortSPIWithOffset<0u>::kTables), "BrixelConfigPortSPI", 4, kBridgeVersion},
    {stated(tBrixelConfigPortWindowWithOffset<0u>::kTables), "BrixelConfigPortWindow", 2, kBridgeVersion},
    {stated(tSwitchedBrixelBimRegMapWithOffset<0u>::kTables), "SwitchedBrixelBimRegMap", 10, kBridgeVersion},
    {stated(tIOPort2RegMapWithOffset<0u>::kTables), "IOPort2RegMap", 8, kBridgeVersion},
    {stated(tIsolationPortRegMapWithOffset<0u>::kTables), "IsolationPortRegMap", 4, kBridgeVersion},
    {stated(tTriggersWithOffset<0u>::kTables), "Triggers", 101, kTimingVersion},
    {stated(tDO::kTables), "DO", 15, kTimingVersion},
    {stated(tOutTimer::kTables), "OutTimer", 19, kTimingVersion},
};

TEST(RegisterMapFacts, EachMapHasItsCountNameAndVersion) {
    for (const Facts& facts : kMaps) {
        SCOPED_TRACE(facts.name);
        EXPECT_EQ(facts.map.count, facts.count);
        EXPECT_STREQ(facts.map.name, facts.name);
        EXPECT_STREQ(facts.map.version, facts.version);
        EXPECT_STREQ(facts.map.oldest, facts.version);
    }
}

} // namespace
