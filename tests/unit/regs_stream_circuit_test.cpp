// The stream-circuit register map over a recording accessor: what the test maps lack.
#include "map_probe.h"
#include "regmaps/stream_circuit_reg_map.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tStreamCircuitRegMap;
using kelvo_test::BusAccess;
using kelvo_test::codeOf;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

// Writable soft-copy registers in declaration order (the order of flushRegMap), of the map at 0x34000.
const std::vector<uint32_t> kFlushOrder = {
    0x34818, 0x3481C, 0x34820, 0x34824, 0x34828, 0x3482C, 0x34830, 0x34840, 0x34844, 0x34848, 0x34900,
    0x34910, 0x34920, 0x34930, 0x34904, 0x34914, 0x34924, 0x34934, 0x34904, 0x34914, 0x34924, 0x34934};

class StreamCircuitMap : public kelvo_test::LeakCheckedTest, protected kelvo_test::MapProbe {
protected:
    StreamCircuitMap() : MapProbe(map) {}
    FakeAccessor bus;
    tStreamCircuitRegMap map{&bus, 0x34000, 0, 0x1000};
};

// Writes, flushes and refreshes by field identifiers are checked through user mode in core_ioctl_arm_test.
TEST_F(StreamCircuitMap, FieldsAreInsertedByTheirBitsAndSetMarksDirtyOnlyOnAChange) {
    // A 5-bit field set to 0x21 keeps its low bits; a one-bit field set to 2 becomes 1.
    EXPECT_EQ(set(0x262A7254, 0x21), 0);
    EXPECT_EQ(map.StreamEviction.softCopy, 0x02000000u);
    EXPECT_EQ(set(0x1E2A7254, 2), 0);
    EXPECT_EQ(map.StreamEviction.softCopy, 0x42000000u);
    uint64_t v = 0;
    EXPECT_EQ(get(0x802A7254 | 0x3F000000, v), 0) << "selector bits name the same register";
    EXPECT_EQ(v, 0x42000000u);
    EXPECT_EQ(get(0xC02A7254, v), kelvo_test::kUnknownId) << "bit 30 is no read view here";
    EXPECT_EQ(v, 0u);

    EXPECT_EQ(set(0x80D5E884, 0), 0);
    EXPECT_EQ(write(0x80D5E884, 0, false), 0);
    EXPECT_TRUE(bus.log.empty());
    EXPECT_EQ(write(0x80D5E884, 0, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x3482C, 0}}));
    EXPECT_EQ(set(0x80D5E884, 3), 0);
    bus.memory[0x3482C] = 0x77;
    EXPECT_EQ(refresh(0x00D5E884), 0);
    EXPECT_EQ(map.StreamPriority.dirty, 0) << "a refresh drops what was set";
}

TEST_F(StreamCircuitMap, DataPortsGoToTheHardwareEveryTime) {
    EXPECT_EQ(write(0x02F37940, 1), 0); // a field write writes the field alone
    EXPECT_EQ(write(0x02F37940, 0), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x34800, 0x10000}, {'W', 0x34800, 0}}));
    bus.log.clear();
    // Transfer count and additive transfer count share offset 0x810.
    bus.memory[0x34810] = 0xABCD;
    uint64_t v = 0;
    EXPECT_EQ(read(0x40F7D413, v), 0);
    EXPECT_EQ(v, 0xABCDu);
    EXPECT_EQ(write(0x80959304, 0x10), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'R', 0x34810, 0xABCD}, {'W', 0x34810, 0x10}}));
    bus.log.clear();
    EXPECT_EQ(flush(0x80959304, true), 0);
    EXPECT_TRUE(bus.log.empty()) << "a writable data port has nothing to flush";
    EXPECT_EQ(std::tuple(refresh(0x80959304), read(0x80959304, v), get(0x80F37940, v)),
              std::tuple(kelvo_test::kUnknownId, kelvo_test::kUnknownId, kelvo_test::kUnknownId));
    tStatus s;
    bus.memory[0x34800] = 0x100;
    EXPECT_TRUE(map.StreamControlStatus.readDataTransferEnable(s));
    EXPECT_FALSE(map.StreamControlStatus.readStreamCircuitResetComplete(s));
}

TEST_F(StreamCircuitMap, PeerRegistersHaveTwoViewsOfOneHardwareWord) {
    tStatus s;
    map.StreamPeerStreamNumber[2].writePeerStreamNumber(0x7FF, s, false);
    map.StreamPeerStreamNumber[2].writePeerStreamEndpoint(0x3, s, false);
    map.StreamPeerLocalAddress[2].writePeerLocalAddress(0x1234567, s, false);
    map.StreamPeerLocalAddress[2].writePeerEndpoint(0x9, s, false);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x34924, 0x003FF000},
                                               {'W', 0x34924, 0x303FF000},
                                               {'W', 0x34924, 0x01234567},
                                               {'W', 0x34924, 0x91234567}}));

    // Forced flush: each peer word twice, the stream-number view last.
    bus.log.clear();
    map.flushRegMap(true, s);
    EXPECT_EQ(std::tuple(bus.offsets('W'), bus.memory[0x34924]), std::tuple(kFlushOrder, 0x303FF000u));

    // A refresh loads both views from the same word.
    bus.log.clear();
    bus.memory[0x34904] = 0xA0012345;
    map.refreshRegMap(s);
    EXPECT_EQ(map.StreamPeerLocalAddress[0].getPeerLocalAddress(s), 0x0012345u);
    EXPECT_EQ(map.StreamPeerStreamNumber[0].getPeerStreamNumber(s), 0x12u);
    EXPECT_EQ(map.StreamPeerStreamNumber[0].getPeerStreamEndpoint(s), 0xAu);
    std::vector<uint32_t> expected = kFlushOrder;
    expected.insert(expected.begin(), 0x34814);
    EXPECT_EQ(bus.offsets('R'), expected);
}

TEST_F(StreamCircuitMap, AWholeMapFlushGoesOnPastFailuresAndLeavesTheFailedRegistersDirty) {
    map.markDirtyRegMap();
    bus.failNext(2, -50401);
    EXPECT_EQ(codeOf([&](tStatus& s) { map.flushRegMap(false, s); }), -50401);
    EXPECT_EQ(std::tuple(bus.count('W'), map.StreamFifoDecrease.dirty, map.StreamGovernor.dirty),
              std::tuple(kFlushOrder.size(), 1, 0));
}

TEST_F(StreamCircuitMap, RegistersOutsideTheWindowReportNotAccessible) {
    FakeAccessor small;
    tStreamCircuitRegMap cut(&small, 0x34000, 0, 0x800);
    kelvo_test::MapProbe probe{cut};
    EXPECT_EQ(probe.set(0x80D5E884, 6), 0);
    EXPECT_EQ(probe.flush(0x80D5E884), kelvo_test::kOutsideWindow);
    EXPECT_EQ(cut.StreamPriority.dirty, 1);
    uint64_t v = 0;
    EXPECT_EQ(probe.read(0x80D5E884, v), kelvo_test::kOutsideWindow);
    EXPECT_EQ(v, 6u);
    tStatus d;
    EXPECT_TRUE(cut.StreamControlStatus.readDataTransferEnable(d)) << "the field of 0xFFFFFFFF";
    EXPECT_EQ(d.getCode(), kelvo_test::kOutsideWindow);
    EXPECT_EQ(codeOf([&](tStatus& s) { cut.StreamControlStatus.writeRegister(1, s); }),
              kelvo_test::kOutsideWindow);
    EXPECT_TRUE(small.log.empty());
    // A window starting above the registers' offsets.
    tStreamCircuitRegMap high(&small, 0x34000, 0x900, 0x10);
    EXPECT_EQ(high.StreamPeerConfig[0].inWindow, 1);
    EXPECT_EQ(high.StreamPeerConfig[0].address, 0x34000u);
    EXPECT_EQ(high.StreamPeerConfig[1].inWindow, 0);
}

} // namespace
