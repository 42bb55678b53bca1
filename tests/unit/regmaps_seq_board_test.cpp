// The sequencer's local-RAM window and the modulator timebase: identifiers
// copied by hand, the address registers that clear after each write, formats
// and whole-map order.
#include <vector>

#include "regmaps/kelvo_modulator_timebase_control_reg_map.h"
#include "regmaps/kelvo_sequencer_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tKelvoModulatorTimebaseControlRegMap;
using kelvo_regmaps::tKelvoSequencerRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kBufferTooSmall;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using Fields = std::vector<std::pair<int, uint64_t>>;

class SequencerBoardMaps : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tKelvoSequencerRegMap sequencer{&bus, 0, 0, 0x80};
    tKelvoModulatorTimebaseControlRegMap timebase{&bus, 0xC0, 0, 0x40}; // the Duskmere isolated instance
    MapProbe seq{sequencer};
    MapProbe tb{timebase};
};

TEST_F(SequencerBoardMaps, CountsAndFreshSoftCopies) {
    const kelvo_test::TableCounts s(tKelvoSequencerRegMap::kTables);
    const kelvo_test::TableCounts t(tKelvoModulatorTimebaseControlRegMap::kTables);
    EXPECT_EQ(s.ids.size(), 8u);
    EXPECT_EQ(t.ids.size(), 15u);
    EXPECT_EQ(s.writeOnly, 2u);
    EXPECT_EQ(t.readWrite, 7u);
    for (uint32_t id : s.ids) {
        EXPECT_EQ(seq.get(id), 0u);
    }
    for (uint32_t id : t.ids) {
        EXPECT_EQ(tb.get(id), 0u);
    }
    EXPECT_TRUE(bus.log.empty());
    EXPECT_STREQ(tKelvoModulatorTimebaseControlRegMap::kTables.defaultName,
                 "KelvoModulatorTimebaseControlRegMap");
}

TEST_F(SequencerBoardMaps, AddressRegistersReachTheHardwareOnEveryWrite) {
    EXPECT_EQ(seq.write(0x802D51B0, 0x25, false), 0);
    EXPECT_EQ(sequencer.SeqLocalRamWriteAddress.softCopy, 0u);
    EXPECT_EQ(seq.write(0x802D51B0, 0x25, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x000, 0x25}, {'W', 0x000, 0x25}}));

    FakeAccessor fresh;
    tKelvoSequencerRegMap other(&fresh, 0, 0, 0x80);
    MapProbe o(other);
    EXPECT_EQ(o.write(0x802D51B0, 0, false), 0);
    EXPECT_TRUE(fresh.log.empty()) << "address 0 on a fresh map needs force";
    EXPECT_EQ(o.write(0x802D51B0, 0, true), 0);
    EXPECT_EQ(fresh.count('W'), 1u);

    bus.log.clear();
    EXPECT_EQ(seq.write(0x809ADB24, 7, false), 0);
    EXPECT_EQ(seq.write(0x809ADB24, 7, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x008, 7}}));
    EXPECT_EQ(seq.get(0x809ADB24), 7u);

    EXPECT_EQ(seq.refresh(0x8084F888), kUnknownId);
    uint64_t v = 0;
    EXPECT_EQ(seq.read(0x002D51B0, v), kUnknownId);
    bus.memory[0x00C] = 0x600DF00D;
    EXPECT_EQ(seq.refresh(0x8069BA29), 0);
    EXPECT_EQ(seq.get(0x8069BA29), 0x600DF00Du);
}

TEST_F(SequencerBoardMaps, WholeMapOperationsOfTheSequencerWindow) {
    EXPECT_EQ(seq.refreshAll(), 0);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{0x008, 0x00C}));
    EXPECT_EQ(seq.set(0x802D51B0, 1), 0);
    EXPECT_EQ(seq.set(0x8084F888, 2), 0);
    EXPECT_EQ(seq.flushAll(true), 0);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0x000, 0x004, 0x008, 0x00C}));
    EXPECT_EQ(seq.get(0x802D51B0), 0u);
    EXPECT_EQ(seq.get(0x8084F888), 0u);
}

TEST_F(SequencerBoardMaps, TimebaseFieldsAndFormats) {
    EXPECT_EQ(tb.format(0x80E28B5E).fields, (Fields{{2, 0xFFFF}, {0, 0x80000000}}));
    EXPECT_EQ(tb.format(0x3EE28B5E).fields, (Fields{{2, 0xFFFF}, {0, 0x80000000}}));
    EXPECT_EQ(tb.format(0x80E28B5E, 1).code, kBufferTooSmall);
    EXPECT_EQ(tb.format(0x80A3AD00).fields, (Fields{{2, 0xFFFF}}));
    EXPECT_EQ(tb.set(0x3EE28B5E, 2), 0);
    EXPECT_EQ(tb.get(0x80E28B5E), 0x80000000u);
    EXPECT_EQ(tb.set(0x00A3AD00, 0x12345), 0);
    EXPECT_EQ(tb.get(0x80A3AD00), 0x2345u);
    EXPECT_EQ(tb.write(0x00E7510C, 9, false), 0) << "MuCycleEvtTick";
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x0D8, 9}}));
    timebase.markDirtyRegMap();
    bus.log.clear();
    EXPECT_EQ(tb.flushAll(false), 0);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0xC0, 0xC4, 0xC8, 0xCC, 0xD0, 0xD4, 0xD8}));
}

} // namespace
