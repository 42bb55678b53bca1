// What the boards' register lists state outright about each map: register count, name and version.
#include <gtest/gtest.h>

#include "bridge/tymo_reg_maps.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"

namespace {

using namespace kelvo_regmaps;

struct FpgaMap {
    const arm::tRegisterMapTables& tables;
    const char* name;
    uint32_t registers;
};

const FpgaMap kFpgaMaps[] = {
    {tRequiredRegs::kTables, "RequiredRegs", 7},
    {tKelvoNisoBoardCommonRegMap::kTables, "KelvoNisoBoardCommonRegMap", 1},
    {tKelvoMeasureStreamStatusRegMap::kTables, "KelvoMeasureStreamStatusRegMap", 1},
    {tKelvoI2cBusAccessRegMap::kTables, "KelvoI2cBusAccessRegMap", 4},
    {tKelvoPca6416ARegs::kTables, "KelvoPca6416ARegs", 7},
    {tKelvoAdf4002InterfaceRegMap::kTables, "KelvoAdf4002InterfaceRegMap", 3},
    {tKelvoTransformerControlRegMap::kTables, "KelvoTransformerControlRegMap", 2},
    {tKelvoStreamControlRegMap::kTables, "KelvoStreamControlRegMap", 2},
    {tKelvoNisoStreamControlRegMap::kTables, "KelvoNisoStreamControlRegMap", 4},
    {tKelvoIsoStreamControlRegMap::kTables, "KelvoIsoStreamControlRegMap", 4},
    {tKelvoRegAccessRegMap::kTables, "KelvoRegAccessRegMap", 5},
    {tKelvoIsoCommRegMap::kTables, "KelvoIsoCommRegMap", 2},
    {tKelvoNisoCommRegMap::kTables, "KelvoNisoCommRegMap", 1},
    {tKelvoDcBusRegMap::kTables, "KelvoDcBusRegMap", 1},
    {tKelvoDebugRegMap::kTables, "KelvoDebugRegMap", 5},
    {tKelvoSequencerChSeqRegMap::kTables, "KelvoSequencerChSeqRegMap", 74},
    {tKelvoFlexLoopRegMap::kTables, "KelvoFlexLoopRegMap", 13},
    {tKelvoSeqFlexLoopRegMap::kTables, "KelvoSeqFlexLoopRegMap", 126},
    {tSolstraIsoBoardRegMap::kTables, "SolstraIsoBoardRegMap", 17},
    {tSolstraSeqChRegMap::kTables, "SolstraSeqChRegMap", 41},
    {tSolstraNisoBoardRegMap::kTables, "SolstraNisoBoardRegMap", 62},
    {tDuskmereIsoBoardRegMap::kTables, "DuskmereIsoBoardRegMap", 10},
    {tDuskmereIsoChRegMap::kTables, "DuskmereIsoChRegMap", 23},
    {tDuskmereNisoBoardRegMap::kTables, "DuskmereNisoBoardRegMap", 29},
    {tDuskmereNisoChRegMap::kTables, "DuskmereNisoChRegMap", 53},
    {tDuskmereSeqChRegMap::kTables, "DuskmereSeqChRegMap", 19},
    {tDuskmereSeqBoardRegMap::kTables, "DuskmereSeqBoardRegMap", 1},
    {tDuskmereStandardRegs::kTables, "DuskmereStandardRegs", 4},
};

TEST(RegisterMapFacts, FpgaMapsHaveTheirCountsNamesAndVersion) {
    for (const FpgaMap& map : kFpgaMaps) {
        SCOPED_TRACE(map.name);
        EXPECT_EQ(map.tables.registerCount, map.registers);
        EXPECT_STREQ(map.tables.defaultName, map.name);
        EXPECT_STREQ(map.tables.version, "1.0.0d379");
        EXPECT_STREQ(map.tables.oldestCompatibleVersion, "1.0.0d379");
    }
}

struct ChipMap {
    const arm::tSizedRegisterMapTables& tables;
    const char* name;
    uint32_t registers;
    const char* version;
};

constexpr const char* kBridgeVersion = "2.3.0f7";
constexpr const char* kTimingVersion = "200a13081315";

const ChipMap kChipMaps[] = {
    {brixeltools::tBrixelWithOffset<0u>::kTables, "Brixel", 14, kBridgeVersion},
    {brixeltools::tBrixelDMAChannelWithOffset<0u>::kTables, "BrixelDMAChannel0", 4, kBridgeVersion},
    {brixeltools::tBrixelConfigPortSPIWithOffset<0u>::kTables, "BrixelConfigPortSPI", 4, kBridgeVersion},
    {brixeltools::tBrixelConfigPortWindowWithOffset<0u>::kTables, "BrixelConfigPortWindow", 2,
     kBridgeVersion},
    {brixeltools::tSwitchedBrixelBimRegMapWithOffset<0u>::kTables, "SwitchedBrixelBimRegMap", 10,
     kBridgeVersion},
    {brixeltools::tIOPort2RegMapWithOffset<0u>::kTables, "IOPort2RegMap", 8, kBridgeVersion},
    {brixeltools::tIsolationPortRegMapWithOffset<0u>::kTables, "IsolationPortRegMap", 4, kBridgeVersion},
    {brixeltools::tTriggersWithOffset<0u>::kTables, "Triggers", 101, kTimingVersion},
    {tymo_regmaps::tDO::kTables, "DO", 15, kTimingVersion},
    {tymo_regmaps::tOutTimer::kTables, "OutTimer", 19, kTimingVersion},
};

TEST(RegisterMapFacts, BridgeAndTimingChipMapsHaveTheirCountsNamesAndVersions) {
    for (const ChipMap& map : kChipMaps) {
        SCOPED_TRACE(map.name);
        EXPECT_EQ(map.tables.formatIdCount, map.registers);
        EXPECT_STREQ(map.tables.defaultName, map.name);
        EXPECT_STREQ(map.tables.version, map.version);
        EXPECT_STREQ(map.tables.oldestCompatibleVersion, map.version);
    }
}

} // namespace
