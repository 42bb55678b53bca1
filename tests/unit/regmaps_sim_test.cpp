// Every register of both FPGA trees of each board generation reached by its identifiers at its place.

#include <span>

#include "map_probe.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs_sim_support.h"

namespace {

using kelvo_regmaps::tDuskmereIsoTopRegMap;
using kelvo_regmaps::tDuskmereNisoTopRegMap;
using kelvo_regmaps::tSolstraIsoTopRegMap;
using kelvo_regmaps::tSolstraNisoTopRegMap;
using nVOAPALS100::tStatus;

struct Sweep {
    size_t registers = 0, fieldAccesses = 0;
};

// Writes every writable identifier and reads every readable one of `map` (its
// own registers, not its sub-maps'), checking each against the simulated space.
void sweep(arm::tRegisterMapBase& map, sim::FpgaSpace& space, Sweep& done, const std::string& name) {
    SCOPED_TRACE(name);
    const arm::tRegisterMapTables& t = map.tables();
    done.registers += t.registerCount;
    // A record placed elsewhere, or outside the window, fails the accesses below.
    const auto addressOf = [&](const arm::tIdEntry& e) {
        return static_cast<uint32_t>(map.base() - map.windowStart() + t.registers[e.reg].offset);
    };
    for (const arm::tIdEntry& e : std::span(t.write.entries, t.write.count)) {
        const uint32_t address = addressOf(e), mask = arm::fieldMask(e.lsb, e.width);
        space.poke(address, 0);
        tStatus s;
        map.write(e.id, 0xFFFFFFFFu, true, s, 0);
        ASSERT_TRUE(s.isSuccess()) << std::hex << e.id;
        EXPECT_EQ(space.peek(address) & mask, mask) << std::hex << e.id << " at " << address;
        done.fieldAccesses += e.width < 32 ? 1 : 0;
    }
    for (const arm::tIdEntry& e : std::span(t.read.entries, t.read.count)) {
        const uint32_t address = addressOf(e), pattern = 0xA5C3961Eu ^ address;
        space.poke(address, pattern);
        tStatus s;
        uint64_t value = 0;
        map.read(e.id, value, s, 0);
        ASSERT_TRUE(s.isSuccess()) << std::hex << e.id;
        EXPECT_EQ(value, arm::extractField(pattern, arm::fieldMask(e.lsb, e.width), e.lsb))
            << std::hex << e.id << " at " << address;
        done.fieldAccesses += e.width < 32 ? 1 : 0;
    }
}

using Placed = std::vector<std::tuple<std::string, uint32_t, uint32_t>>; // registered name, base, window

struct Board {
    const char* name;
    size_t nisoMaps, isoMaps;
    size_t nisoRegisters, isoRegisters; // at least
    Placed placed;                      // sub-maps where the board's register lists put them
};

using RegmapsOverSim = kelvo_test::LeakCheckedTest;

// One board's two trees, the isolated one over the link's register-access map found by linkOf.
template <typename Niso, typename Iso, typename LinkOf> void sweepBoth(const Board& board, LinkOf linkOf) {
    SCOPED_TRACE(board.name);
    kelvo_test::SimBoard b{board.name};
    tStatus s;
    Niso niso(&b.fpga, s);
    EXPECT_EQ(linkOf(niso)->base(), b.module->linkOffset());
    kelvo_driver::WindowedFrontEndAccessor link(*linkOf(niso), nullptr, nullptr, s);
    const auto iso = std::make_unique<Iso>(&link, s);
    ASSERT_TRUE(s.isSuccess());
    kelvo_test::RegistrationLog names;
    niso.addToDispatcher(names, s);
    ASSERT_EQ(names.names.size(), board.nisoMaps);
    iso->addToDispatcher(names, s);
    ASSERT_TRUE(s.isSuccess());
    ASSERT_EQ(names.names.size(), board.nisoMaps + board.isoMaps);

    Sweep nisoDone, isoDone;
    Placed placed;
    for (size_t i = 0; i < names.maps.size(); ++i) {
        auto& map = static_cast<arm::tRegisterMapBase&>(*names.maps[i]);
        for (const auto& [name, base, window] : board.placed) {
            if (name == names.names[i]) {
                placed.emplace_back(name, map.base(), map.windowSize());
            }
        }
        const bool isolated = i >= board.nisoMaps;
        // The link's own window is the transport of the isolated side: sweeping it would cut the line.
        if (!isolated && map.base() == b.module->linkOffset()) {
            continue;
        }
        sweep(map, isolated ? b.iso() : b.niso(), isolated ? isoDone : nisoDone, names.names[i]);
    }
    EXPECT_GE(nisoDone.registers, board.nisoRegisters);
    EXPECT_GE(isoDone.registers, board.isoRegisters);
    EXPECT_EQ(placed, board.placed);
    EXPECT_GT(nisoDone.fieldAccesses + isoDone.fieldAccesses, nisoDone.registers + isoDone.registers);
    EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    EXPECT_EQ(b.link().accessesWhileBusy(), 0u);
    niso.removeFromDispatcher(names, s);
    iso->removeFromDispatcher(names, s);
    EXPECT_TRUE(names.names.empty());
}

TEST_F(RegmapsOverSim, EveryRegisterOfBothTreesAnswersAtItsPlace) {
    const std::string kIsoChannel = "DuskmereIsoTopRegMap_ChannelWin_DuskmereIsoChRegMap_";
    sweepBoth<tSolstraNisoTopRegMap, tSolstraIsoTopRegMap>(
        {"solstra", 18, 35, 100, 390, {}}, [](tSolstraNisoTopRegMap& t) { return t.Board.IsoRegAccess[0]; });
    sweepBoth<tDuskmereNisoTopRegMap, tDuskmereIsoTopRegMap>(
        // The isolated channel's I/O expander needs 0x20 bytes for its seven registers, the I2C block 0x10.
        {"duskmere-a", 49, 16, 520, 300,
         Placed{{kIsoChannel + "Pca6416ADirectAccessWin_KelvoPca6416ARegs", 0x2220, 0x20},
                {kIsoChannel + "KelvoI2cBusAccessWin_KelvoI2cBusAccessRegMap", 0x2270, 0x10}}},
        [](tDuskmereNisoTopRegMap& t) { return t.Channels[0]->IsoRegAccess[1]; });
}

} // namespace
