// The channel's sequencer block and its control-loop block: counts, identifiers
// copied by hand, getRegisterFormat by any field identifier, strobes, access
// classes, whole-map order and the instances' addresses.
#include <vector>

#include "regmaps/kelvo_flex_loop_reg_map.h"
#include "regmaps/kelvo_sequencer_ch_seq_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tKelvoFlexLoopRegMap;
using kelvo_regmaps::tKelvoSequencerChSeqRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kBufferTooSmall;
using kelvo_test::kNotImplemented;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using nVOAPALS100::tStatus;
using Fields = std::vector<std::pair<int, uint64_t>>;

class SequencerChannelMap : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tKelvoSequencerChSeqRegMap map{&bus, 0x4000, 0, 0x200}; // the Duskmere isolated instance
    MapProbe probe{map};
};

TEST_F(SequencerChannelMap, CountsAndFreshSoftCopies) {
    const kelvo_test::TableCounts counts(tKelvoSequencerChSeqRegMap::kTables);
    EXPECT_EQ(counts.registers, 74u);
    EXPECT_EQ(counts.readWrite, 65u);
    EXPECT_EQ(counts.writeOnly, 4u);
    EXPECT_EQ(counts.readOnly, 5u);
    EXPECT_EQ(counts.ids.size(), 163u);
    EXPECT_STREQ(tKelvoSequencerChSeqRegMap::kTables.defaultName, "KelvoSequencerChSeqRegMap");
    for (uint32_t id : counts.ids) {
        uint64_t v = 1;
        EXPECT_EQ(probe.get(id, v), 0) << std::hex << id;
        EXPECT_EQ(v, 0u);
    }
    EXPECT_TRUE(bus.log.empty());
    // General-use registers carry identifiers of their own, not derived from the index.
    EXPECT_EQ(map.SoftwareGeneralUse[6].address, 0x4118u);
    EXPECT_EQ(probe.write(0x8028D30B, 3, false), 0);
    EXPECT_EQ(probe.write(0x8028D30B, 3, false), 0) << "unchanged: not written again";
    EXPECT_EQ(probe.write(0x005321CF, 9, false), 0) << "SoftwareGeneralUse[63]";
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x4118, 3}, {'W', 0x41FC, 9}}));
}

TEST_F(SequencerChannelMap, ControlStrobesAreSentEachTime) {
    EXPECT_EQ(probe.write(0x004DA5B3, 1, false), 0);
    EXPECT_EQ(map.SequencerControl.softCopy, 0u);
    EXPECT_EQ(probe.write(0x004DA5B3, 1, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x4040, 1}, {'W', 0x4040, 1}}));
    EXPECT_EQ(probe.set(0x004DA5B3, 5), 0);
    EXPECT_EQ(map.SequencerControl.softCopy, 1u) << "a one-bit field takes any non-zero value as 1";
    EXPECT_EQ(probe.set(0x00CB82A0, 0x12345), 0);
    EXPECT_EQ(map.SeqStackDebugControl.softCopy, 0x2345u);
    EXPECT_EQ(probe.set(0x16CB82A0, 1), 0);
    EXPECT_EQ(probe.flush(0x80CB82A0, false), 0);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x4050, 0x04002345}));
    EXPECT_EQ(map.SeqStackDebugControl.softCopy, 0x2345u) << "bits 24-26 return to 0";
}

TEST_F(SequencerChannelMap, StatusFormatByAnyFieldIdentifierAndAccessClasses) {
    const Fields status = {{2, 0x7FFF},    {0, 0x8000},    {1, 0x70000},    {0, 0x80000},
                           {0, 0x100000},  {0, 0x200000},  {0, 0x400000},   {0, 0x800000},
                           {0, 0x1000000}, {0, 0x2000000}, {1, 0x1C000000}, {1, 0x60000000}};
    EXPECT_EQ(probe.format(0x8001D98C).fields, status);
    EXPECT_EQ(probe.format(0x7201D98C).fields, status);
    const auto small = probe.format(0x8001D98C, 11);
    EXPECT_EQ(small.code, kBufferTooSmall);
    EXPECT_EQ(small.count, 11u) << "the count stays as it was";
    EXPECT_EQ(probe.format(0x4040E7DD).code, kNotImplemented);

    EXPECT_EQ(probe.flush(0x8001D98C, true), kUnknownId);
    EXPECT_EQ(probe.set(0x7201D98C, 1), kUnknownId);
    EXPECT_EQ(probe.refresh(0x804DA5B3), kUnknownId);
    EXPECT_EQ(probe.refresh(0x7201D98C), kUnknownId) << "flush and refresh keep the register lookup";
    bus.memory[0x4044] = 0x00080000;
    uint64_t running = 0;
    EXPECT_EQ(probe.read(0x7201D98C, running), 0);
    EXPECT_EQ(running, 1u);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'R', 0x4044, 0x00080000}}));
}

TEST_F(SequencerChannelMap, WholeMapOperationsFollowTheDeclarationOrder) {
    map.markDirtyRegMap();
    EXPECT_EQ(probe.flushAll(false), 0);
    std::vector<uint32_t> written = bus.offsets('W');
    ASSERT_EQ(written.size(), 69u);
    EXPECT_EQ(std::vector<uint32_t>(written.begin(), written.begin() + 6),
              (std::vector<uint32_t>{0x4000, 0x4004, 0x4008, 0x4040, 0x4050, 0x4100}));
    EXPECT_EQ(written.back(), 0x41FCu);
    EXPECT_EQ(probe.refreshAll(), 0);
    std::vector<uint32_t> read = bus.offsets('R');
    ASSERT_EQ(read.size(), 70u);
    EXPECT_EQ(std::vector<uint32_t>(read.begin(), read.begin() + 7),
              (std::vector<uint32_t>{0x4000, 0x4014, 0x4018, 0x4044, 0x4048, 0x404C, 0x4100}));
}

class ControlLoopMap : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tKelvoFlexLoopRegMap map{&bus, 0x2000, 0, 0x100}; // the Duskmere isolated instance
    MapProbe probe{map};
};

TEST_F(ControlLoopMap, CountsAndIdentifiers) {
    const kelvo_test::TableCounts counts(tKelvoFlexLoopRegMap::kTables);
    EXPECT_EQ(counts.registers, 13u);
    EXPECT_EQ(counts.readWrite, 8u);
    EXPECT_EQ(counts.writeOnly, 4u);
    EXPECT_EQ(counts.readOnly, 1u);
    EXPECT_EQ(counts.ids.size(), 33u);
    for (uint32_t id : counts.ids) {
        uint64_t v = 1;
        EXPECT_EQ(probe.get(id, v), 0) << std::hex << id;
        EXPECT_EQ(v, 0u);
    }
    EXPECT_TRUE(bus.log.empty());

    const Fields balancer = {{1, 0xF}, {1, 0xF00}, {1, 0xF0000}};
    EXPECT_EQ(probe.format(0x804509BB).fields, balancer);
    EXPECT_EQ(probe.format(0x444509BB).fields, balancer);
    EXPECT_EQ(probe.format(0x80F6B626).fields, (Fields{{2, 0x7FFF}, {1, 0x30000}}));
    EXPECT_EQ(probe.format(0x02927A67).fields, (Fields{{2, 0x7FFF}, {1, 0x30000}})) << "DemodulatedData[3]";
}

TEST_F(ControlLoopMap, StrobesAccessClassesAndTheDirectRead) {
    EXPECT_EQ(probe.write(0x0013A1D2, 4, false), 0);
    EXPECT_EQ(map.ChargeBalancerControl.softCopy, 0u);
    EXPECT_EQ(probe.write(0x0013A1D2, 4, false), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x2014, 4}, {'W', 0x2014, 4}}));
    EXPECT_EQ(probe.set(0x006D4DA9, 0x12345), 0);
    EXPECT_EQ(probe.get(0x806D4DA9), 0x2345u);
    EXPECT_EQ(probe.set(0x804509BB, 1), kUnknownId);
    EXPECT_EQ(probe.refresh(0x8059CE6D), kUnknownId);
    EXPECT_EQ(probe.set(0x8059CE6D, 0x77), 0);
    EXPECT_EQ(probe.get(0x8059CE6D), 0x77u);
    EXPECT_EQ(probe.write(0x80231AFF, 0xCAFE, false), 0);
    EXPECT_EQ(probe.get(0x80231AFF), 0xCAFEu) << "the interrupt address keeps its value";

    bus.log.clear();
    bus.memory[0x2010] = 0x00030F01;
    tStatus s;
    EXPECT_EQ(map.ChargeBalancerStatus.readRegister(s), 0x00030F01u);
    bus.failNext(1);
    EXPECT_EQ(map.ChargeBalancerStatus.readRegister(s), 0x00030F01u) << "a failed read returns the soft copy";
    EXPECT_EQ(s.getCode(), -50400);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{0x2010, 0x2010}));
}

TEST_F(ControlLoopMap, WholeMapOperationsFollowTheDeclarationOrder) {
    map.markDirtyRegMap();
    EXPECT_EQ(probe.flushAll(false), 0);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0x2014, 0x2040, 0x2044, 0x2048, 0x2000, 0x2004, 0x2008,
                                                       0x200C, 0x2020, 0x2024, 0x2028, 0x202C}));
    EXPECT_EQ(probe.refreshAll(), 0);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{0x2010, 0x2000, 0x2004, 0x2008, 0x200C, 0x2020, 0x2024,
                                                       0x2028, 0x202C}));
}

} // namespace
