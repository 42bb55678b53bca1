// Both Solstra trees over the simulated module: the non-isolated FPGA through
// BAR 0, the isolated FPGA through the isolation link's windowed accessor.
// Every register of every registered map is reached by its whole-register and
// field identifiers at its place in the FPGA space, and the whole-map order
// seen by the simulated space is the order of the declarations.
#include <string>
#include <vector>

#include "regmaps/kelvo_seq_flex_loop_reg_map.h"
#include "regmaps/solstra_iso_top_reg_map.h"
#include "regmaps/solstra_niso_top_reg_map.h"
#include "map_probe.h"
#include "regmaps/windowed_front_end_accessor.h"
#include "regs_fake_accessor.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tSolstraIsoTopRegMap;
using kelvo_regmaps::tSolstraNisoTopRegMap;
using nVOAPALS100::tStatus;

// Address and in-window flag of register `index` of a map, whatever its record kind.
struct Place {
    uint32_t address;
    bool inWindow;
};
Place placeOf(arm::tRegisterMapBase& map, uint32_t index) {
    void* record = map.tables().recordAt(map, index);
    switch (map.tables().registers[index].kind) {
    case arm::kSoftCopy:
        return {static_cast<arm::tRegisterRecord*>(record)->address,
                static_cast<arm::tRegisterRecord*>(record)->inWindow != 0};
    case arm::kStrobeWord:
        return {static_cast<arm::tStrobeRegisterRecord*>(record)->address,
                static_cast<arm::tStrobeRegisterRecord*>(record)->inWindow != 0};
    case arm::kDataPort:
        break;
    }
    return {static_cast<arm::tDataPortRecord*>(record)->address,
            static_cast<arm::tDataPortRecord*>(record)->inWindow != 0};
}

struct Sweep {
    size_t registers = 0;
    size_t fieldAccesses = 0;
};

// Writes every writable identifier and reads every readable one of `map`,
// checking each against the simulated space.
void sweep(arm::tRegisterMapBase& map, sim::FpgaSpace& space, Sweep& done, const std::string& name) {
    SCOPED_TRACE(name);
    const arm::tRegisterMapTables& t = map.tables();
    for (uint32_t i = 0; i < t.registerCount; ++i) {
        const Place place = placeOf(map, i);
        ASSERT_TRUE(place.inWindow) << std::hex << t.registers[i].offset;
        ++done.registers;
        for (uint32_t k = 0; k < t.write.count; ++k) {
            const arm::tIdEntry& e = t.write.entries[k];
            if (e.reg != i) {
                continue;
            }
            const uint32_t mask = arm::fieldMask(e.lsb, e.width);
            space.poke(place.address, 0);
            tStatus s;
            map.write(e.id, 0xFFFFFFFFu, true, s, 0);
            ASSERT_TRUE(s.isSuccess()) << std::hex << e.id;
            EXPECT_EQ(space.peek(place.address) & mask, mask) << std::hex << e.id << " at " << place.address;
            done.fieldAccesses += e.width < 32 ? 1 : 0;
        }
        for (uint32_t k = 0; k < t.read.count; ++k) {
            const arm::tIdEntry& e = t.read.entries[k];
            if (e.reg != i) {
                continue;
            }
            const uint32_t pattern = 0xA5C3961Eu ^ place.address;
            space.poke(place.address, pattern);
            tStatus s;
            uint64_t value = 0;
            map.read(e.id, value, s, 0);
            ASSERT_TRUE(s.isSuccess()) << std::hex << e.id;
            EXPECT_EQ(value, arm::extractField(pattern, arm::fieldMask(e.lsb, e.width), e.lsb))
                << std::hex << e.id << " at " << place.address;
            done.fieldAccesses += e.width < 32 ? 1 : 0;
        }
    }
}

class SolstraOnTheSimulatedModule : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        ASSERT_TRUE(built.isSuccess());
        ASSERT_NE(niso.Board.IsoRegAccess[0], nullptr);
        link = new (built, false)
            kelvo_driver::WindowedFrontEndAccessor(*niso.Board.IsoRegAccess[0], nullptr, built);
        ASSERT_NE(link, nullptr);
        iso = new (built, false) tSolstraIsoTopRegMap(link, built);
        ASSERT_NE(iso, nullptr);
        ASSERT_TRUE(built.isSuccess());
    }
    void TearDown() override {
        kelvo_driver::nVOAPAL000::deleteObject(iso);
        kelvo_driver::nVOAPAL000::deleteObject(link);
        LeakCheckedTest::TearDown();
    }

    kelvo_test::SimBoard b{"solstra"};
    tStatus built;
    tSolstraNisoTopRegMap niso{&b.fpga, built};
    kelvo_driver::WindowedFrontEndAccessor* link = nullptr;
    tSolstraIsoTopRegMap* iso = nullptr;
};

TEST_F(SolstraOnTheSimulatedModule, EveryRegisterOfBothTreesAnswersAtItsPlace) {
    ASSERT_EQ(b.module->linkOffset(), 0x200u) << "the isolated side is reached through IsoRegAccessWin0";
    kelvo_test::RegistrationLog names;
    tStatus s;
    niso.addToDispatcher(names, s);
    const size_t nisoCount = names.names.size();
    iso->addToDispatcher(names, s);
    ASSERT_TRUE(s.isSuccess());
    ASSERT_EQ(nisoCount, 18u);
    ASSERT_EQ(names.names.size(), 18u + 35u);

    Sweep done;
    for (size_t i = 0; i < names.maps.size(); ++i) {
        auto& map = static_cast<arm::tRegisterMapBase&>(*names.maps[i]);
        const bool isolated = i >= nisoCount;
        // The link's own window is the transport of the isolated side: sweeping it would cut the line.
        if (map.base() == 0x200 && !isolated) {
            continue;
        }
        sweep(map, isolated ? b.iso() : b.niso(), done, names.names[i]);
    }
    EXPECT_GT(done.registers, 450u);
    EXPECT_GT(done.fieldAccesses, 1000u);
    EXPECT_EQ(b.module->deviceErrorCount(), 0u);
    niso.removeFromDispatcher(names, s);
    iso->removeFromDispatcher(names, s);
    EXPECT_TRUE(names.names.empty());
}

TEST_F(SolstraOnTheSimulatedModule, WholeMapOrderSeenByTheIsolatedSpaceIsTheDeclarationOrder) {
    // The sequencer's view of the loop, with its interleaved arrays, at 0x18400 of the isolated FPGA.
    auto& loop = iso->SeqTop.Channel.SeqChannel.SeqFlexLoop;
    kelvo_test::FakeAccessor reference;
    kelvo_regmaps::tKelvoSeqFlexLoopRegMap standalone(&reference, 0x18400, 0, 0x400);
    for (arm::tRegisterMapBase* m :
         {static_cast<arm::tRegisterMapBase*>(&loop), static_cast<arm::tRegisterMapBase*>(&standalone)}) {
        m->markDirtyRegMap();
        tStatus s;
        m->flushRegMap(false, s);
        m->refreshRegMap(s);
        EXPECT_TRUE(s.isSuccess());
    }
    b.iso().clearTrace();
    loop.markDirtyRegMap();
    tStatus s;
    loop.flushRegMap(false, s);
    loop.refreshRegMap(s);
    std::vector<kelvo_test::BusAccess> seen;
    for (const sim::Access& a : b.iso().trace()) {
        seen.push_back({a.write ? 'W' : 'R', static_cast<uint32_t>(a.offset), 0});
    }
    std::vector<kelvo_test::BusAccess> expected;
    reference.log.clear();
    standalone.markDirtyRegMap();
    standalone.flushRegMap(false, s);
    standalone.refreshRegMap(s);
    for (const kelvo_test::BusAccess& a : reference.log) {
        expected.push_back({a.op, a.offset, 0});
    }
    ASSERT_EQ(expected.size(), 86u + 84u);
    EXPECT_EQ(seen, expected);
}

} // namespace
