// The Duskmere top maps over the simulated module: the non-isolated one over
// the mapped FPGA region, the isolated one over the windowed accessor through
// the channel's second register-access window. Every register of both trees
// is written and read by identifier and lands where the map places it.
#include <functional>
#include <string>
#include <vector>

#include "kelvo/product_ids.h"
#include "regmaps/duskmere_iso_top_reg_map.h"
#include "regmaps/duskmere_niso_top_reg_map.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereIsoTopRegMap;
using kelvo_regmaps::tDuskmereNisoTopRegMap;
using nVOAPALS100::tStatus;

struct Space {
    std::function<uint32_t(uint32_t)> peek;
    std::function<void(uint32_t, uint32_t)> poke;
};

struct Reach {
    int registers = 0;
    int written = 0;
    int read = 0;
};

// Walks a map and its sub-maps: each writable register is written whole by
// identifier, each readable one is read field by field; `skip` names the base
// of a map left out.
void reachEveryRegister(arm::tRegisterMapBase& map, Space& space, uint32_t skip, Reach& reach) {
    const arm::tRegisterMapTables& tables = map.tables();
    if (map.base() == skip) {
        return;
    }
    for (uint32_t i = 0; i < tables.registerCount; ++i) {
        const uint32_t address = map.base() - map.windowStart() + tables.registers[i].offset;
        SCOPED_TRACE(testing::Message() << "register at 0x" << std::hex << address);
        ++reach.registers;
        for (uint32_t e = 0; e < tables.write.count; ++e) {
            const arm::tIdEntry& entry = tables.write.entries[e];
            if (entry.reg != i || (entry.id & 0x80000000u) == 0) {
                continue;
            }
            const uint32_t pattern = 0x9E3779B9u * (address + entry.id);
            tStatus s;
            map.write(entry.id, pattern, true, s, 0);
            EXPECT_TRUE(s.isSuccess()) << std::hex << entry.id;
            EXPECT_EQ(space.peek(address), pattern) << std::hex << entry.id;
            ++reach.written;
            break;
        }
        bool readOnce = false;
        const uint32_t stored = 0x7F4A7C15u * (address + 1);
        space.poke(address, stored);
        for (uint32_t e = 0; e < tables.read.count; ++e) {
            const arm::tIdEntry& entry = tables.read.entries[e];
            if (entry.reg != i) {
                continue;
            }
            uint64_t value = 0;
            tStatus s;
            map.read(entry.id, value, s, 0);
            EXPECT_TRUE(s.isSuccess()) << std::hex << entry.id;
            EXPECT_EQ(value, arm::extractField(stored, arm::fieldMask(entry.lsb, entry.width), entry.lsb))
                << std::hex << entry.id;
            readOnce = true;
        }
        reach.read += readOnce ? 1 : 0;
        EXPECT_TRUE(readOnce || reach.written > 0);
    }
    for (uint32_t i = 0; i < tables.subMapCount; ++i) {
        arm::tRegisterMapBase* sub = tables.subMapAt(map, i);
        ASSERT_NE(sub, nullptr);
        reachEveryRegister(*sub, space, skip, reach);
    }
}

class DuskmereOverSim : public kelvo_test::LeakCheckedTest {
protected:
    DuskmereOverSim()
        : niso(&b.fpga, built), link(*niso.Channels[0]->IsoRegAccess[1], nullptr, built), iso(&link, built) {}

    kelvo_test::SimBoard b{"duskmere-a"};
    tStatus built;
    tDuskmereNisoTopRegMap niso;
    kelvo_driver::WindowedFrontEndAccessor link;
    tDuskmereIsoTopRegMap iso;
};

TEST_F(DuskmereOverSim, EveryRegisterOfBothTreesIsReachedByIdentifier) {
    ASSERT_TRUE(built.isSuccess());
    // The link's own window (channel 0's second register-access map) is left out: writing it starts accesses.
    ASSERT_EQ(niso.Channels[0]->IsoRegAccess[1]->base(), b.module->linkOffset());
    Space nisoSpace{[&](uint32_t a) { return b.niso().peek(a); },
                    [&](uint32_t a, uint32_t v) { b.niso().poke(a, v); }};
    Reach nisoReach;
    reachEveryRegister(niso, nisoSpace, static_cast<uint32_t>(b.module->linkOffset()), nisoReach);
    Space isoSpace{[&](uint32_t a) { return b.iso().peek(a); },
                   [&](uint32_t a, uint32_t v) { b.iso().poke(a, v); }};
    Reach isoReach;
    reachEveryRegister(iso, isoSpace, 0xFFFFFFFF, isoReach);
    EXPECT_GT(nisoReach.registers, 250);
    EXPECT_GT(isoReach.registers, 60);
    EXPECT_EQ(b.link().accessesWhileBusy(), 0u);
    EXPECT_EQ(b.link().isolatedWrites(), static_cast<size_t>(isoReach.written));
}

TEST_F(DuskmereOverSim, TheBoardSignaturesAreCheckedThroughTheStandardRegisters) {
    auto& nisoSignature = niso.Board.StandardRegs.DuskmereSignature;
    auto& isoSignature = iso.Board.StandardRegs.DuskmereSignature;
    EXPECT_EQ(nisoSignature.softCopy, KELVO_DUSKMERE_BOARD_SIGNATURE) << "until the first refresh";
    b.niso().poke(0x8020, KELVO_DUSKMERE_BOARD_SIGNATURE);
    b.iso().poke(0x0020, 0x12345678);
    tStatus s;
    EXPECT_EQ(nisoSignature.readRegister(s), KELVO_DUSKMERE_BOARD_SIGNATURE);
    EXPECT_EQ(isoSignature.readRegister(s), 0x12345678u);
    EXPECT_TRUE(s.isSuccess());
    // The sequencer's twin of the board block reads its own copy at 0x1020.
    b.niso().poke(0x1020, 0xABCD);
    EXPECT_EQ(niso.SeqTop.Channels[0]->Board.StandardRegs.DuskmereSignature.readRegister(s), 0xABCDu);
    EXPECT_EQ(nisoSignature.softCopy, KELVO_DUSKMERE_BOARD_SIGNATURE);
}

} // namespace
