// The register-map engine on the test-only maps.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "regmaps/test_reg_map.h"
#include "regs/sized_register_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"
#include "test_worker.h"

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
};

struct CountingLock : arm::tRegMapLockInterface {
    void acquire() override {
        ++acquired;
        ++depth;
    }
    void release() override { --depth; }
    int acquired = 0, depth = 0;
};

// A script of operations, "op id [value [!code]]" each: 's' set, 'w' write, 'f' flush, 'F' forced flush,
// 'r' refresh, 'T' format, 'g' get and 'R' read (these two expect `value`); on the whole map 'M' flush,
// 'U' refresh, 'D' mark dirty, 'X' reinitialize. A step expecting -50400 has the bus fail its first access.
// The log reads "op offset value" per access. Each operation takes the map's lock once, a whole-map flush
// or refresh once per record it may write (seven) or read (three), and a whole-map one the sub-map's too.
TEST_F(EngineTest, EachScriptOfOperationsLeavesItsLogOnTheBus) {
    const kelvo_test::Script scripts[] = {
        {"strobe bits wait in the pending word and leave the soft copy after the write",
         "s 8053CC08 FFFFFFFF; g 8053CC08 7FFFFEFF; g 0453CC08 0; f 8053CC08; F 8053CC08",
         "W 008 FFFFFFFF, W 008 7FFFFEFF"},
        {"a strobe bit through its field on a clean register: sent each time, not kept",
         "w 1E18D796 1; g 8018D796 0; f 8018D796; w 1E18D796 1", "W 160 40000000, W 160 40000000"},
        {"pending strobe bits survive setting another field", "s 1E18D796 1; s 0018D796 2; f 8018D796",
         "W 160 40000002"},
        {"a strobe is sent once: after a failed write the next flush, or the next field set, drops it",
         "s 0018D796 1; s 1E18D796 1; f 8018D796 0 !-50400; M; s 1E18D796 1; f 8018D796 0 !-50400; "
         "w 0018D796 2",
         "W 160 40000001, W 160 1, W 160 40000001, W 160 2"},
        {"a successful refresh drops what is pending, a failed one keeps it",
         "s 3E18D796 1; r 8018D796; g 4E18D796 1; f 8018D796; F 8018D796; s 3E18D796 1; "
         "r 8018D796 0 !-50400; f 8018D796",
         "R 160 10000003, W 160 10000003, R 160 10000003, W 160 90000003"},
        {"a write-only register clears its bits after the write and is never read",
         "s 000F4DCB 3; s 040F4DCB 1; w 240F4DCB 1; f 800F4DCB; R 800F4DCB 0 !-52005; r 800F4DCB 0 !-52005; "
         "g 800F4DCB 200",
         "W 300 303"},
        {"a failed write of a write-only register keeps its bits and stays dirty",
         "s 000F4DCB 1; f 800F4DCB 0 !-50400; g 800F4DCB 1; M; g 800F4DCB 0", "W 300 1, W 300 1"},
        {"arrays of timers: the whole soft copy goes after a write",
         "s 80CFCAC1 5; M; g 80CFCAC1 0; F 80CFCAC1; w 20ABF942 1; g 80ABF942 0",
         "W 220 5, W 220 0, W 22C 2"},
        {"the read view's identifiers, with selector bits", "r 4E18D796; g FF18D796 10000003; T 8018D796",
         "R 160 10000003"},
        {"defaults come back with reinitialize",
         "g 809DAF0B DEADBEEF; g 429DAF0B DEAD; R 809DAF0B 12345678; s 80CFCAC1 5; X; g 809DAF0B DEADBEEF; M",
         "R 304 12345678"},
        {"whole-map operations walk declaration order, not offset order, skip what is read-only, then the "
         "sub-maps; a failed read is reported and the rest are read",
         "D; M; U 0 0 !-50400",
         "W 008 0, W 160 0, W 220 0, W 228 0, W 224 0, W 22C 0, W 300 0, W 100 0, W 5000 0, W 5100 0, "
         "R 008 0, R 160 0, R 304 12345678, R 100 0, R 5000 0, R 5100 0"},
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.what);
        FakeAccessor bus;
        bus.memory = {{0x160, 0x10000003}, {0x304, 0x12345678}};
        tStatus built;
        tTestRegMap map{&bus, built, 0, 0, 0x400};
        EXPECT_EQ(built.getCode(), 0);
        kelvo_test::MapProbe probe{map};
        CountingLock lock, leafLock;
        map.setExternalLock(&lock);
        map.Leaf.setExternalLock(&leafLock);
        int taken = 0, wholeMap = 0;
        std::istringstream steps(script.steps);
        for (std::string step; std::getline(steps, step, ';');) {
            SCOPED_TRACE(step);
            char op = 0;
            uint32_t id = 0;
            uint64_t expected = 0, value = 0xBAD;
            int64_t code = 0;
            std::sscanf(step.c_str(), " %c %x %" SCNx64 " !%" SCNd64, &op, &id, &expected, &code);
            bus.failNext(code == -50400 ? 1 : 0);
            taken += op == 'M' ? 7 : op == 'U' ? 3 : 1;
            wholeMap += op == 'M' || op == 'U' || op == 'D' || op == 'X';
            const int64_t got = op == 's'                ? probe.set(id, expected)
                                : op == 'w'              ? probe.write(id, expected)
                                : op == 'f' || op == 'F' ? probe.flush(id, op == 'F')
                                : op == 'r'              ? probe.refresh(id)
                                : op == 'T'              ? probe.format(id, 8)
                                : op == 'M' ? codeOf([&](tStatus& s) { map.flushRegMap(false, s); })
                                : op == 'U' ? codeOf([&](tStatus& s) { map.refreshRegMap(s); })
                                : op == 'D' ? (map.markDirtyRegMap(), 0)
                                : op == 'X' ? (map.reinitialize(), 0)
                                : op == 'g' ? probe.get(id, value)
                                            : probe.read(id, value);
            EXPECT_EQ(got, code);
            if (op == 'g' || op == 'R') {
                EXPECT_EQ(value, expected);
            }
        }
        std::string log;
        for (const BusAccess& a : bus.log) {
            char line[32];
            std::snprintf(line, sizeof line, "%s%c %03X %X", log.empty() ? "" : ", ", a.op, a.offset,
                          a.value);
            log += line;
        }
        EXPECT_EQ(log, script.log);
        EXPECT_EQ(std::make_tuple(lock.acquired, leafLock.acquired, lock.depth + leafLock.depth),
                  std::make_tuple(taken, wholeMap, 0));
    }
}

// The generated maps hand their sub-maps these placements (the generator's expected output); the records'
// addresses and window flags within a map are checked by the stream-circuit window test.
TEST_F(EngineTest, SubMapsArePlacedInsideTheParentsWindow) {
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
        const bool placed = p.windowSize != 0; // an empty window's base and start mean nothing
        EXPECT_EQ(std::tuple(p.windowSize, placed ? p.base : 0, placed ? p.windowStart : 0),
                  std::tuple(c.windowSize, c.base, c.windowStart))
            << std::hex << c.in[1] << " " << c.in[3];
    }
}

TEST_F(TestMap, RegistrationNamesMapsParentFirstRemovalGoesOnPastAMissingNameAndNoFormatArrayHoldsAny) {
    RegistrationLog d;
    EXPECT_EQ(codeOf([&](tStatus& s) { map.addToDispatcher(d, s); }), 0);
    const std::vector<std::string> expected = {"TestRegMap", "TestRegMap_LeafWin_TestLeafRegMap",
                                               "TestRegMap_OwnedLeafWin0_TestLeafRegMap",
                                               "TestRegMap_OwnedLeafWin1_TestLeafRegMap"};
    EXPECT_EQ(d.names, expected);
    EXPECT_EQ(d.maps[3], map.OwnedLeaves[1]);

    d.names.erase(d.names.begin() + 2); // removed by hand beforehand
    d.maps.erase(d.maps.begin() + 2);
    EXPECT_EQ(codeOf([&](tStatus& s) { map.removeFromDispatcher(d, s); }), KELVO_STATUS_NAME_NOT_FOUND);
    EXPECT_EQ(d.removed, expected);

    RegistrationLog g;
    EXPECT_EQ(codeOf([&](tStatus& s) { map.addToDispatcher(g, s, "Given", true); }), 0);
    EXPECT_EQ(g.names,
              (std::vector<std::string>{"Given_LeafWin_TestLeafRegMap", "Given_OwnedLeafWin0_TestLeafRegMap",
                                        "Given_OwnedLeafWin1_TestLeafRegMap"}));
    EXPECT_EQ(codeOf([&](tStatus& s) { map.removeFromDispatcher(g, s, "Given", true); }), 0);
    EXPECT_TRUE(g.names.empty());

    // Missing format arrays hold nothing (read views, fields: the bridge maps, the register-format requests).
    uint64_t v = 0;
    uint32_t count = 8;
    EXPECT_EQ(codeOf([&](tStatus& s) { map.getRegisterFormat(0x8018D796, count, nullptr, &v, s); }),
              kelvo_test::kBufferTooSmall);
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
    EXPECT_EQ(bus.offsets('W').back(), 0x5000u);
    RegistrationLog d;
    map->addToDispatcher(d, s);
    EXPECT_EQ(d.names.size(), 3u);
    map->removeFromDispatcher(d, s);
    EXPECT_EQ(std::make_pair(s.getCode(), d.names.size()), std::make_pair(int64_t{0}, size_t{0}));
    delete map; // the leak check covers the owned leaf
}

// Until the worker blocks or ends; true when it blocked.
bool blocks(kelvo_test::Worker& worker) {
    while (!worker.done() && !kal::thread::isBlocked(worker.id())) {
        std::this_thread::yield();
    }
    return !worker.done();
}

// A request that waited for a map's tree lock while the lock was replaced (as the isolation link replaces
// it, under the old one) lets the old lock go and takes the new one. (That one lock covers the top map and
// every sub-map, the end-to-end register-access test shows.)
TEST(TreeLock, ARequestThatWaitedWhileTheLockWasReplacedTakesTheNewOne) {
    FakeAccessor bus;
    tStatus s;
    tTestRegMap map{&bus, s, 0, 0, 0x400};
    arm::tRegMapTreeLock lock;
    lock.initialize(s);
    ASSERT_EQ(s.getCode(), 0);
    map.installTreeLock(&lock);
    const uint32_t leafField = map.Leaf.tables().set.entries[0].id;
    auto setLeaf = [&] {
        tStatus local;
        map.Leaf.set(leafField, 1, local, 0);
    };

    arm::tRegMapTreeLock replacement;
    replacement.initialize(s);
    std::atomic<int> kernelAcquisitions{0};
    lock.acquire(); // the map's lock, as a controller's hold would take it
    kelvo_test::Worker waiter([&] {
        kal::thread::onMutexAcquire([&] { ++kernelAcquisitions; });
        setLeaf();
        kal::thread::onMutexAcquire({});
    });
    ASSERT_TRUE(blocks(waiter));
    map.installTreeLock(&replacement);
    replacement.acquire();
    lock.release();
    while (kernelAcquisitions.load() < 2 && !waiter.done()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(blocks(waiter)) << "it went on under the old lock";
    replacement.release();
    waiter.join();
    EXPECT_EQ(std::make_tuple(lock.depth(), replacement.depth()), std::make_tuple(0u, 0u));
    map.installTreeLock(nullptr);
}

} // namespace
