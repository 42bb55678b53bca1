// The Solstra isolated board and channel maps and the sequencer's channel and
// board blocks: identifiers copied by hand, access classes, strobes and
// pending strobe words, defaults, windows, failed construction and the order
// of the whole-map operations over the interleaved potentiometer arrays.
#include <vector>

#include "control.h"
#include "regmaps/solstra_iso_board_reg_map.h"
#include "regmaps/solstra_iso_ch_reg_map.h"
#include "regmaps/solstra_seq_board_reg_map.h"
#include "regmaps/solstra_seq_ch_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tSolstraIsoBoardRegMap;
using kelvo_regmaps::tSolstraIsoChRegMap;
using kelvo_regmaps::tSolstraSeqBoardRegMap;
using kelvo_regmaps::tSolstraSeqChRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kOutsideWindow;
using kelvo_test::kUnknownId;
using kelvo_test::MapProbe;
using nVOAPALS100::tStatus;
using Fields = std::vector<std::pair<int, uint64_t>>;

class SolstraIsoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tSolstraIsoBoardRegMap map{&bus, built, 0, 0, 0x2000};
    MapProbe probe{map};
};

TEST_F(SolstraIsoBoard, IdentifiersAccessClassesAndStrobes) {
    const kelvo_test::TableCounts counts(tSolstraIsoBoardRegMap::kTables);
    EXPECT_EQ(counts.registers, 17u);
    EXPECT_EQ(counts.writeOnly, 3u);
    EXPECT_EQ(counts.readOnly, 6u);
    EXPECT_EQ(counts.readWrite, 8u);

    bus.memory[0x220] = 0x3F00;
    EXPECT_EQ(probe.refresh(0x807DB18E), 0);
    EXPECT_EQ(probe.get(0x447DB18E), 0x3Fu) << "bits 13:8 of 0x220";
    EXPECT_EQ(probe.format(0x7CD05E03).code, kelvo_test::kNotImplemented) << "no read view in this map";
    EXPECT_EQ(probe.get(0x7CD05E03), 0u) << "bit 15 of 0x300";
    uint64_t unknown = 1;
    EXPECT_EQ(probe.get(0xC07DB18E, unknown), kUnknownId) << "no whole-register identifier with bit 30";

    // A field set wider than itself keeps only its bits; the register is dirty only on a change.
    EXPECT_EQ(probe.set(0x00414B49, 0xFFFFF), 0);
    EXPECT_EQ(probe.get(0x80414B49), 0x1FFFu);
    EXPECT_EQ(map.VrefTempWindowLimits.dirty, 1);
    EXPECT_EQ(probe.flush(0x80414B49, false), 0);
    EXPECT_EQ(probe.set(0x00414B49, 0x1FFF), 0);
    EXPECT_EQ(map.VrefTempWindowLimits.dirty, 0);

    EXPECT_EQ(probe.write(0x80EC09B9, 0x3, false), 0);
    EXPECT_EQ(probe.get(0x80EC09B9), 0u);
    uint64_t v = 0;
    EXPECT_EQ(probe.read(0x80FFD874, v), kUnknownId);
    EXPECT_EQ(probe.write(0x807DB18E, 1, true), kUnknownId);
    EXPECT_EQ(probe.write(0x8013086C, 1, true), kUnknownId);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0x200, 0x0F0}));
}

TEST_F(SolstraIsoBoard, AWindowStartingPastTheFirstRegistersLeavesThemOutside) {
    tSolstraIsoBoardRegMap cut(&bus, built, 0x100, 0x100, 0x1F00); // addresses = offsets
    MapProbe c(cut);
    EXPECT_EQ(c.write(0x80EC09B9, 1, true), kOutsideWindow);
    EXPECT_EQ(c.write(0x80DEC888, 1, true), kOutsideWindow);
    EXPECT_EQ(c.write(0x80414B49, 1, true), 0);
    EXPECT_EQ(c.write(0x8032C877, 1, true), 0);
    EXPECT_EQ(c.refresh(0x8086B014), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x200, 1}, {'W', 0x1FFC, 1}, {'R', 0x308, 0}}));
    // Embedded maps whose span lies before the window get an empty one, never a wrapped one.
    EXPECT_EQ(cut.ModulatorTimebaseControl.windowSize(), 0u);
    EXPECT_EQ(cut.StandardRegs.windowSize(), 0u);
    EXPECT_EQ(cut.Sequencer.windowSize(), 0x80u);
    EXPECT_EQ(cut.Sequencer.base(), 0x100u);
}

TEST(SolstraIsoChannel, OwnRegistersPartsAndAFailedConstruction) {
    kelvo_test::FakeAccessor bus;
    tStatus built;
    tSolstraIsoChRegMap map(&bus, built, 0x2000, 0, 0x2000);
    MapProbe probe(map);
    bus.memory[0x2080] = 0x40000000;
    EXPECT_EQ(probe.refresh(0x8095EF5E), 0);
    EXPECT_EQ(probe.get(0x5E95EF5E), 1u);
    EXPECT_EQ(probe.set(0x5E95EF5E, 1), kUnknownId);
    EXPECT_EQ(probe.get(0x7E95EF5E), 0u);

    bus.log.clear();
    EXPECT_EQ(probe.set(0x80B1F6CF, 1), 0);
    EXPECT_EQ(map.DacReset.dirty, 1);
    EXPECT_EQ(probe.flush(0x80B1F6CF), 0);
    EXPECT_EQ(probe.set(0x00B1F6CF, 1), 0);
    EXPECT_EQ(map.DacReset.dirty, 0) << "set to what it holds: not dirty again";
    EXPECT_EQ(probe.write(0x80B1F6CF, 1, true), 0);
    EXPECT_EQ(probe.write(0x80CE74C2, 0x1234, false), 0);
    EXPECT_EQ(probe.get(0x80CE74C2), 0u);
    EXPECT_EQ(probe.get(0x04CE74C2), 0u);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x2088, 1}, {'W', 0x2088, 1}, {'W', 0x2084, 0x1234}}));

    EXPECT_EQ(map.FlexLoop.base(), 0x2200u);
    EXPECT_EQ(map.DcBus[1]->base(), 0x2108u);
    EXPECT_EQ(map.IsoStreamControl.base(), 0x2300u);

    // A window that ends inside the second DC-bus block cuts that block's window, not the first's.
    tSolstraIsoChRegMap shortWindow(&bus, built, 0x2000, 0, 0x10C);
    EXPECT_EQ(shortWindow.DcBus[0]->windowSize(), 8u);
    EXPECT_EQ(shortWindow.DcBus[1]->windowSize(), 4u);
    EXPECT_EQ(shortWindow.FlexLoop.windowSize(), 0u);

    // Built on a status that already holds an error: registers and embedded maps, no DC-bus map.
    tStatus failed;
    KELVO_SET_STATUS(failed, -50400);
    tSolstraIsoChRegMap broken(&bus, failed, 0x2000, 0, 0x2000);
    EXPECT_EQ(broken.DcBus[0], nullptr);
    EXPECT_EQ(broken.DcBus[1], nullptr);
    EXPECT_EQ(broken.FlexLoop.ChargeBalancerStatus.address, 0x2210u);
    EXPECT_EQ(broken.DacReset.address, 0x2088u);
    broken.markDirtyRegMap();
    tStatus s;
    broken.flushRegMap(false, s);
    broken.reinitialize();
}

class SolstraSeqChannel : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tSolstraSeqChRegMap map{&bus, built, 0x18000, 0, 0x2000};
    MapProbe probe{map};
};

TEST_F(SolstraSeqChannel, StagingRegistersAndTheirDefaults) {
    const kelvo_test::TableCounts counts(tSolstraSeqChRegMap::kTables);
    EXPECT_EQ(counts.registers, 41u);
    EXPECT_EQ(counts.writeOnly, 5u);
    EXPECT_EQ(counts.readOnly, 5u);

    EXPECT_EQ(probe.get(0x80765B26), 0x30u);
    EXPECT_EQ(probe.get(0x80CFAF18), 0x0A000000u);
    EXPECT_EQ(probe.write(0x80765B26, 0x30, true), 0);
    EXPECT_EQ(probe.write(0x80CFAF18, 0x0A000000, true), 0);
    EXPECT_EQ(probe.get(0x80765B26), 0u);
    EXPECT_EQ(probe.get(0x80CFAF18), 0u);

    EXPECT_EQ(probe.set(0x80F89E9F, 0), 0);
    EXPECT_EQ(map.CurrentSwitchesControlStg.dirty, 0);
    EXPECT_EQ(probe.write(0x80F89E9F, 0, true), 0);
    EXPECT_EQ(bus.log,
              (std::vector<BusAccess>{{'W', 0x18290, 0x30}, {'W', 0x182A0, 0x0A000000}, {'W', 0x18288, 0}}));

    bus.memory[0x18284] = 0xF3;
    uint64_t v = 0;
    EXPECT_EQ(probe.read(0x80873A28, v), 0);
    EXPECT_EQ(v, 0xF3u);
    EXPECT_EQ(map.VoltageSwitchesStatusLive.dirty, 0);
    EXPECT_EQ(probe.read(0x807D356A, v), kUnknownId);

    tStatus s;
    map.DacLimit[2].writeDacLimit(0xFFFFFFFF, s, false);
    EXPECT_EQ(map.DacLimit[2].softCopy, 0x3FFFFFu);
    map.DacLimit[2].softCopy = 0xFFC00000;
    map.DacLimit[2].writeDacLimit(0x1, s, false);
    EXPECT_EQ(map.DacLimit[2].softCopy, 0xFFC00001u) << "bits 22-31 are kept";
}

TEST_F(SolstraSeqChannel, PendingStrobeWordsOfTheTableConfiguration) {
    EXPECT_EQ(probe.set(0x0453CC08, 1), 0);
    EXPECT_EQ(map.KelvoTableConfig.dirty, 1);
    EXPECT_EQ(probe.get(0x8053CC08) & 0x100u, 0u);
    EXPECT_EQ(probe.flush(0x8053CC08, false), 0);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x183F0, 0x100}));
    EXPECT_EQ(map.KelvoTableConfig.softCopy & 0x100u, 0u);
    EXPECT_EQ(probe.flush(0x8053CC08, false), 0);
    EXPECT_EQ(bus.count('W'), 1u);

    EXPECT_EQ(probe.set(0x3E53CC08, 1), 0);
    EXPECT_EQ(probe.set(0x0053CC08, 0x5), 0);
    EXPECT_EQ(probe.flush(0x8053CC08, false), 0);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x183F0, 0x80000005}));
    EXPECT_EQ(probe.write(0x000CAB13, 1, false), 0) << "the potentiometer update strobe";
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x182F0, 0x1}));
    EXPECT_EQ(map.UpdateDigitalPotValues.softCopy, 0u);
}

TEST_F(SolstraSeqChannel, WholeMapOrderOverTheInterleavedPotentiometerArrays) {
    map.markDirtyRegMap();
    tStatus s;
    map.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    std::vector<uint32_t> own = {0x260, 0x264, 0x268, 0x26C, 0x280, 0x288, 0x290, 0x298,
                                 0x2A0, 0x2B0, 0x2B4, 0x2B8, 0x2BC, 0x2F0, 0x3F0, 0x1FFC};
    for (uint32_t i = 0; i < 10; ++i) {
        own.push_back(0x300 + 0x10 * i);
    }
    for (uint32_t i = 0; i < 10; ++i) {
        own.push_back(0x304 + 0x10 * i);
    }
    for (uint32_t& o : own) {
        o += 0x18000;
    }
    const std::vector<uint32_t> writes = bus.offsets('W');
    ASSERT_GT(writes.size(), own.size());
    EXPECT_EQ(std::vector<uint32_t>(writes.begin(), writes.begin() + static_cast<long>(own.size())), own);
    // Then the parts: register access (NisoBa, Niso), the sequencer block, the loop view.
    const uint32_t firstPart = writes[own.size()];
    EXPECT_GE(firstPart, 0x18200u);
    EXPECT_LT(firstPart, 0x18220u);
    EXPECT_EQ(writes.back(), 0x1862Cu) << "the loop view's last writable register";

    bus.log.clear();
    map.refreshRegMap(s);
    const std::vector<uint32_t> reads = bus.offsets('R');
    EXPECT_EQ(std::vector<uint32_t>(reads.begin(), reads.begin() + 6),
              (std::vector<uint32_t>{0x18260, 0x18264, 0x18268, 0x1826C, 0x18284, 0x1828C}));
}

TEST_F(SolstraSeqChannel, AFailedConstructionStillGivesThePotentiometerRecords) {
    tStatus failed;
    KELVO_SET_STATUS(failed, -50400);
    tSolstraSeqChRegMap broken(&bus, failed, 0x18000, 0, 0x2000);
    EXPECT_EQ(broken.NisoBaRegAccess[0], nullptr);
    EXPECT_EQ(broken.NisoRegAccess[0], nullptr);
    EXPECT_EQ(broken.DigitalPotB[9].address, 0x18394u);
    EXPECT_EQ(broken.DigitalPotA[0].softCopy, 0u);
    EXPECT_EQ(broken.SeqFlexLoop.base(), 0x18400u);
    broken.markDirtyRegMap();
    tStatus s;
    broken.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());

    // An allocation that fails leaves the later slot empty too.
    kal::memory::failNth(1);
    tStatus out;
    tSolstraSeqChRegMap partial(&bus, out, 0x18000, 0, 0x2000);
    kal::memory::clearFaults();
    EXPECT_EQ(out.getCode(), nVOAPALS100::tStatus::kOutOfMemory);
    EXPECT_EQ(partial.NisoBaRegAccess[0], nullptr);
    EXPECT_EQ(partial.NisoRegAccess[0], nullptr);
}

TEST(SolstraSeqBoard, OneSpareRegister) {
    kelvo_test::FakeAccessor bus;
    tSolstraSeqBoardRegMap map(&bus, 0x10000, 0, 0x2000);
    MapProbe probe(map);
    EXPECT_EQ(probe.write(0x0091A1B4, 0xBEEF), 0);
    EXPECT_EQ(probe.get(0x8091A1B4), 0xBEEFu);
    EXPECT_EQ(probe.format(0x0091A1B4).fields, (Fields{{3, 0xFFFFFFFF}}));
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x11FFC, 0xBEEF}}));
}

} // namespace
