// The register-map engine on the test-only maps.
#include "regmaps/test_reg_map.h"
#include "regmaps/test_top_reg_map.h"
#include "regs/sized_register_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_test::BusAccess;
using kelvo_test::codeOf;
using kelvo_test::FakeAccessor;
using kelvo_test::RegistrationLog;
using kelvo_test_regmaps::tTestRegMap;
using nVOAPALS100::tStatus;

// A one-bit field described "any non-zero" takes any non-zero value as 1, one described "bit 0" only bit 0.
TEST(SizedFields, AValueIsInsertedAsItsFieldIsDescribed) {
    const struct {
        uint64_t value;
        uint32_t lsb, width;
        bool anyNonZero;
        uint64_t bits;
    } cases[] = {{2, 3, 1, true, 0x8}, {2, 3, 1, false, 0}, {3, 3, 1, false, 0x8}, {0x1F, 4, 4, false, 0xF0}};
    for (const auto& c : cases) {
        EXPECT_EQ(arm::insertedSizedBits(c.value, c.lsb, c.width, c.anyNonZero), c.bits) << c.value;
    }
}

class EngineTest : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
};

class TestMap : public EngineTest {
protected:
    tStatus built;
    tTestRegMap map{&bus, built, 0, 0, 0x400};
    kelvo_test::MapProbe probe{map};
};

TEST_F(TestMap, StrobeBitsWaitInThePendingWordAndLeaveTheSoftCopyAfterTheWrite) {
    tStatus s;
    map.set(0x8053CC08, 0xFFFFFFFF, s, 0);
    EXPECT_EQ(map.TableConfig.softCopy, 0x7FFFFEFFu);
    EXPECT_EQ(map.TableConfig.strobeCopy, 0x80000100u);
    uint64_t v = 9;
    map.get(0x0453CC08, v, s, 0);
    EXPECT_EQ(v, 0u) << "get of a strobe bit answers 0";
    map.flush(0x8053CC08, false, s, 0);
    map.flush(0x8053CC08, true, s, 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x008, 0xFFFFFFFF}, {'W', 0x008, 0x7FFFFEFF}}));
    EXPECT_EQ(map.TableConfig.strobeCopy, 0u);

    // A strobe bit through its field identifier, on a clean register: written once, not kept.
    bus.log.clear();
    map.write(0x1E18D796, 1, false, s, 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x160, 0x40000000}}));
    EXPECT_EQ(map.MuPacketGenConfig.softCopy, 0u);
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 0);
    map.write(0x1E18D796, 1, false, s, 0);
    EXPECT_EQ(bus.count('W'), 2u) << "a strobe is sent again each time";

    // Pending strobe bits survive setting another field.
    bus.log.clear();
    map.MuPacketGenConfig.setArmStb(true, s);
    map.MuPacketGenConfig.setMode(kelvo_test_regmaps::nTestRegMap::kRunning, s);
    map.MuPacketGenConfig.flush(s, false);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x160, 0x40000002}}));
}

TEST_F(TestMap, AFailedWriteKeepsStrobeBitsPendingForTheRetry) {
    tStatus s;
    map.MuPacketGenConfig.setMode(kelvo_test_regmaps::nTestRegMap::kArmed, s);
    map.MuPacketGenConfig.setArmStb(true, s);
    bus.failNext(1);
    map.MuPacketGenConfig.flush(s, false);
    EXPECT_EQ(s.getCode(), -50400);
    EXPECT_EQ(map.MuPacketGenConfig.strobeCopy, 0x40000000u);
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 1);
    tStatus retry;
    map.flushRegMap(false, retry);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x160, 0x40000001}, {'W', 0x160, 0x40000001}}));
    EXPECT_EQ(map.MuPacketGenConfig.strobeCopy, 0u);
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 0);

    // A successful refresh drops what is pending; a failed one keeps it.
    tStatus t;
    map.MuPacketGenConfig.setResetStb(true, t);
    bus.failNext(1);
    EXPECT_EQ(probe.refresh(0x8018D796), -50400);
    EXPECT_EQ(map.MuPacketGenConfig.strobeCopy, 0x80000000u);
    bus.memory[0x160] = 0x10000003;
    map.refresh(0x8018D796, t, 0);
    EXPECT_EQ(map.MuPacketGenConfig.strobeCopy, 0u);
    EXPECT_EQ(map.MuPacketGenConfig.dirty, 0);
    EXPECT_TRUE(map.MuPacketGenConfig.getBusy(t));
}

TEST_F(TestMap, ARegisterWithBothKindsOfFieldHasAReadView) {
    EXPECT_EQ(probe.format(0x8018D796, 5).fields,
              (std::vector<std::pair<int, uint64_t>>{{1, 0x3}, {0, 0x10}, {0, 0x40000000}, {0, 0x80000000}}));
    const std::vector<std::pair<int, uint64_t>> readView = {
        {1, 0x3}, {0, 0x10}, {0, 0x10000000}, {0, 0x40000000}, {0, 0x80000000}};
    EXPECT_EQ(probe.format(0xC018D796, 5).fields, readView);
    EXPECT_EQ(probe.format(0x4E18D796, 5).fields, readView) << "the read-only field selects the read view";
    uint64_t v = 0;
    bus.memory[0x160] = 0x10000000;
    EXPECT_EQ(probe.refresh(0x4E18D796), 0);
    EXPECT_EQ(probe.get(0xFF18D796, v), 0);
    EXPECT_EQ(v, 0x10000000u) << "the read view with selector bits";
    uint32_t count = 8;
    EXPECT_EQ(codeOf([&](tStatus& s) { map.getRegisterFormat(0x8018D796, count, nullptr, &v, s); }),
              kelvo_test::kBufferTooSmall)
        << "missing arrays hold nothing";
}

TEST_F(TestMap, WriteOnlyRegistersClearTheirStrobeBitsAndAreNeverRead) {
    tStatus s;
    map.set(0x000F4DCB, 3, s, 0);
    map.set(0x040F4DCB, 1, s, 0);
    map.write(0x240F4DCB, 1, false, s, 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x300, 0x303}}));
    EXPECT_EQ(map.IsoCommConfig.dirty, 0);
    uint64_t v = 5;
    EXPECT_EQ(probe.read(0x800F4DCB, v), kelvo_test::kUnknownId);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(probe.refresh(0x800F4DCB), kelvo_test::kUnknownId);
    EXPECT_EQ(probe.get(0x800F4DCB), 0x200u);

    // A failed write keeps the strobe bits and the dirty flag, so a later flush repeats it.
    map.set(0x000F4DCB, 1, s, 0);
    bus.failNext(1);
    EXPECT_EQ(probe.flush(0x800F4DCB), -50400);
    EXPECT_EQ(map.IsoCommConfig.softCopy, 0x201u);
    EXPECT_EQ(map.IsoCommConfig.dirty, 1);

    // Arrays of timers: the whole soft copy goes after a write.
    bus.log.clear();
    map.set(0x80CFCAC1, 5, s, 0);
    tStatus m;
    map.flushRegMap(false, m);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x220, 5}, {'W', 0x300, 0x201}}));
    EXPECT_EQ(map.Timer[0].softCopy, 0u);
    map.Timer[0].flush(m, true);
    map.HighResTimerConfig[1].writeExpireHighResTimerStb(true, m, false);
    EXPECT_EQ(std::vector(bus.log.end() - 2, bus.log.end()),
              (std::vector<BusAccess>{{'W', 0x220, 0}, {'W', 0x22C, 2}}));
    EXPECT_EQ(map.HighResTimerConfig[1].softCopy, 0u);
}

TEST_F(TestMap, DefaultsComeBackWithReinitialize) {
    tStatus s;
    EXPECT_EQ(probe.get(0x809DAF0B), 0xDEADBEEFu);
    EXPECT_EQ(probe.get(0x429DAF0B), 0xDEADu);
    EXPECT_EQ(map.Signature.getUpper(s), 0xDEADu);
    bus.memory[0x304] = 0x12345678;
    EXPECT_EQ(map.Signature.readRegister(s), 0x12345678u);
    map.set(0x80CFCAC1, 5, s, 0);
    map.Leaf.set(0x0213E50F, 0x1FF, s, 0);
    EXPECT_EQ(map.Leaf.DcBusRxStatus.softCopy, 0xFF0000u) << "an 8-bit field keeps 8 bits";
    EXPECT_EQ(map.Leaf.DcBusRxStatus.getErrorCount(s), 0xFF);
    map.reinitialize();
    EXPECT_EQ(map.Signature.softCopy, 0xDEADBEEFu);
    EXPECT_EQ(map.Timer[0].dirty, 0);
    EXPECT_EQ(map.Leaf.DcBusRxStatus.softCopy, 0u);
}

TEST_F(TestMap, WholeMapOperationsWalkDeclarationOrderThenSubMaps) {
    ASSERT_TRUE(built.isSuccess());
    map.markDirtyRegMap();
    tStatus s;
    map.flushRegMap(false, s);
    EXPECT_TRUE(s.isSuccess());
    // Declaration order (not offset order), read-only Signature skipped, then the leaves.
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0x008, 0x160, 0x220, 0x228, 0x224, 0x22C, 0x300, 0x100,
                                                       0x5000, 0x5100}));
    // A failed read is reported and the rest are read.
    bus.log.clear();
    bus.failNext(1);
    map.refreshRegMap(s);
    EXPECT_EQ(s.getCode(), -50400);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{0x008, 0x160, 0x304, 0x100, 0x5000, 0x5100}));
    EXPECT_EQ(bus.count('W'), 0u);
}

TEST_F(EngineTest, SubMapsArePlacedInsideTheParentsWindow) {
    tStatus s;
    tTestRegMap map(&bus, s, 0x8000, 0x0, 0x104);
    EXPECT_EQ(map.Leaf.windowSize(), 4u) << "cut to what is left of the parent's window";
    EXPECT_EQ(map.Leaf.DcBusRxStatus.address, 0x8100u);
    EXPECT_EQ(map.OwnedLeaves[1]->base(), 0x5100u) << "fixed placement";
    EXPECT_EQ(map.Timer[0].inWindow, 0);

    // (parent base, window start, window size, offset, size) -> (base, window start, window size)
    const struct {
        uint32_t in[5];
        uint32_t base, windowStart, windowSize;
    } cases[] = {
        {{0x2000, 0x2000, 0x2000, 0x2100, 0x100}, 0x2100, 0, 0x100},
        {{0, 0, 0xFFFFFFFF, 0x2000, 0x2000}, 0x2000, 0, 0x2000}, // no wrap-around of 0xFFFFFFFF bytes
        {{0x1000, 0x0, 0x1000, 0x800, 0x10}, 0x1800, 0, 0x10},
        {{0x1000, 0x808, 0x100, 0x800, 0x10}, 0x1000, 8, 8}, // the parent's window starts inside
        {{0x1000, 0x900, 0x100, 0x800, 0x10}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const arm::tPlacement p = arm::relativePlacement(c.in[0], c.in[1], c.in[2], c.in[3], c.in[4]);
        EXPECT_EQ(p.windowSize, c.windowSize) << std::hex << c.in[1] << " " << c.in[3];
        if (c.windowSize != 0) {
            EXPECT_EQ(p.base, c.base);
            EXPECT_EQ(p.windowStart, c.windowStart);
        }
    }
}

class CountingLock : public arm::tRegMapLockInterface {
public:
    void acquire() override {
        ++acquired;
        ++depth;
    }
    void release() override { --depth; }
    int acquired = 0, depth = 0;
};

TEST_F(TestMap, TheExternalLockIsTakenByEveryOperationByNumberAndWholeMapOperation) {
    CountingLock lock, leafLock;
    map.setExternalLock(&lock);
    map.Leaf.setExternalLock(&leafLock);
    uint64_t v = 0;
    probe.get(0x8053CC08, v);
    probe.set(0x8053CC08, 1);
    probe.read(0x8053CC08, v);
    probe.write(0x8053CC08, 2);
    probe.flush(0x8053CC08, true);
    probe.refresh(0x8053CC08);
    probe.format(0x8053CC08, 8);
    probe.get(0x12345678, v); // unknown: still under the lock
    EXPECT_EQ(lock.acquired, 8);
    tStatus s;
    map.flushRegMap(true, s);
    map.refreshRegMap(s);
    EXPECT_TRUE(s.isSuccess());
    map.markDirtyRegMap();
    map.reinitialize();
    EXPECT_EQ(lock.acquired, 12);
    EXPECT_EQ(lock.depth + leafLock.depth, 0);
    EXPECT_EQ(leafLock.acquired, 4) << "the sub-map's whole-map operations take its own lock";
}

TEST_F(TestMap, RegistrationNamesEveryMapParentFirstAndRemovalGoesOnPastAMissingName) {
    RegistrationLog d;
    tStatus s;
    map.addToDispatcher(d, s);
    EXPECT_TRUE(s.isSuccess());
    const std::vector<std::string> expected = {"TestRegMap", "TestRegMap_LeafWin_TestLeafRegMap",
                                               "TestRegMap_OwnedLeafWin0_TestLeafRegMap",
                                               "TestRegMap_OwnedLeafWin1_TestLeafRegMap"};
    EXPECT_EQ(d.names, expected);
    EXPECT_EQ(d.maps[3], map.OwnedLeaves[1]);

    d.names.erase(d.names.begin() + 2); // removed by hand beforehand
    d.maps.erase(d.maps.begin() + 2);
    EXPECT_EQ(codeOf([&](tStatus& s) { map.removeFromDispatcher(d, s); }), KELVO_STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(d.removed, expected);
    EXPECT_TRUE(d.names.empty());

    RegistrationLog g;
    tStatus t;
    map.addToDispatcher(g, t, "Given", true);
    EXPECT_EQ(g.names,
              (std::vector<std::string>{"Given_LeafWin_TestLeafRegMap", "Given_OwnedLeafWin0_TestLeafRegMap",
                                        "Given_OwnedLeafWin1_TestLeafRegMap"}));
    map.removeFromDispatcher(g, t, "Given", true);
    EXPECT_TRUE(t.isSuccess());
    EXPECT_TRUE(g.names.empty());
}

TEST_F(EngineTest, AnEmptyOwnedSlotIsSkippedByEveryWalk) {
    tStatus built;
    kal::memory::failNth(3); // the map itself, the first owned leaf, then the second
    tTestRegMap* map = new tTestRegMap(&bus, built, 0, 0, 0x400);
    kal::memory::clearFaults();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(built.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(map->OwnedLeaves[1], nullptr);

    tStatus s;
    map->markDirtyRegMap();
    map->flushRegMap(false, s);
    map->refreshRegMap(s);
    map->reinitialize();
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.offsets('W').back(), 0x5000u);
    RegistrationLog d;
    map->addToDispatcher(d, s);
    EXPECT_EQ(d.names.size(), 3u);
    map->removeFromDispatcher(d, s);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_TRUE(d.names.empty());
    delete map; // the leak check covers the owned leaf
}

TEST_F(EngineTest, AMapWithoutRegistersServesNoIdentifierAndNestsNames) {
    tStatus built;
    kelvo_test_regmaps::tTestTopRegMap top(&bus, built);
    EXPECT_TRUE(built.isSuccess());
    EXPECT_EQ(top.windowSize(), 0xFFFFFFFFu);
    EXPECT_EQ(top.Test.Signature.address, 0x10304u);
    EXPECT_EQ(top.Test.Leaf.DcBusRxStatus.address, 0x10100u);
    kelvo_test::MapProbe probe{top};
    uint64_t v = 5;
    EXPECT_EQ(probe.get(0x809DAF0B, v), kelvo_test::kUnknownId);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(probe.write(0x80000000, 1, true), kelvo_test::kUnknownId);
    EXPECT_EQ(probe.format(0x80000000, 4).code, kelvo_test::kNotImplemented);
    RegistrationLog d;
    tStatus r;
    top.addToDispatcher(d, r);
    EXPECT_EQ(d.names.back(), "TestTopRegMap_TestWin_TestRegMap_OwnedLeafWin1_TestLeafRegMap");
    top.removeFromDispatcher(d, r);
    EXPECT_TRUE(d.names.empty());
}

} // namespace
