// The bridge-port accessor and the two maps behind it over the simulated switched bus interface.
#include <thread>
#include <utility>

#include "bridge/io_port.h"
#include "bridge/port_accessor.h"
#include "bridge_test_support.h"
#include "regmaps/brixel_isolation_port.h"

namespace {

using namespace brixeltools;
using namespace kelvo_test;
using nVOAPALS100::tStatus;
using tSwitched = tSwitchedBrixelBimRegMapWithOffset<0u>;
using tIoPort2 = tIOPort2RegMapWithOffset<0u>;
using tIsolation = tIsolationPortRegMapWithOffset<0u>;

constexpr uint64_t kCommand = sim::SwitchedBusInterface::kCommand;
constexpr uint64_t kData = sim::SwitchedBusInterface::kData;

// The command word of a transaction on port 0 with setting 2.
constexpr uint32_t command(bool write, uint32_t address) {
    return (address << 24) | (2u << 8) | (write ? 1u : 2u);
}

class BridgePort : public SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        regionA = region(0, 0x704);
        switched = std::make_unique<tSwitched>(regionA);
        tStatus status;
        accessor = std::make_unique<TYMOPortAccessor>(*switched, 0, 2, status);
        ASSERT_TRUE(status.isSuccess());
        ioPort2 = std::make_unique<tIoPort2>(*accessor);
        isolation = std::make_unique<tIsolation>(*accessor);
        bim().clearTrace();
    }
    void TearDown() override {
        isolation.reset();
        ioPort2.reset();
        accessor.reset();
        switched.reset();
        SimulatedBarTest::TearDown();
    }
    sim::SwitchedBusInterface& bim() { return module->switchedBim(); }

    tRegion regionA;
    std::unique_ptr<tSwitched> switched;
    std::unique_ptr<TYMOPortAccessor> accessor;
    std::unique_ptr<tIoPort2> ioPort2;
    std::unique_ptr<tIsolation> isolation;
};

TEST_F(BridgePort, WriteAndReadAreOneTransactionEach) {
    tStatus status;
    ioPort2->write(0x80000010, 0xBEEF, false, status, 0);
    // Data, then the command; the start bits leave the command's soft copy.
    EXPECT_EQ(accessesOf(bim()),
              (std::vector<ChipAccess>{W32(kData, 0xBEEF), W32(kCommand, command(true, 0x10))}));
    EXPECT_EQ(std::tuple(switched->ConfigControlReg.softCopy, switched->ConfigControlReg.dirty),
              std::tuple(command(true, 0x10) & ~3u, 0u));

    bim().setPortRegister(0x80, 0x1234A5);
    bim().clearTrace();
    uint64_t value = 0;
    ioPort2->read(0x40000080, value, status, 0);
    EXPECT_EQ(bim().writtenValues(kCommand), (std::vector<uint64_t>{command(false, 0x80)}));
    // It completes at once: one poll.
    EXPECT_EQ(std::tuple(value, ioPort2->IoPort2DebugReg0.softCopy, bim().readCount(kCommand),
                         bim().readCount(kData), status.isSuccess()),
              std::tuple(0xA5u, 0x1234A5u, 1u, 1u, true));
}

TEST_F(BridgePort, ReadTimesOutWhenTheCompletionBitNeverComes) {
    tStatus status;
    EXPECT_EQ(accessor->read(0x84, status), 0u);
    ASSERT_TRUE(status.isSuccess());
    // The completion of that read must not satisfy the next one: every command clears it.
    bim().setCompletion(false);
    kal::clock::clearSleepLog();
    bim().clearTrace();
    kal::clock::ScopedStepped stepped; // each poll's wait moves the clock on by its length
    const uint32_t value = accessor->read(0x88, status);
    EXPECT_EQ(status.getCode(), KELVO_STATUS_PORT_COMPLETION_TIMEOUT);
    EXPECT_EQ(value, 0u) << "the data register's old soft copy";
    EXPECT_EQ(bim().readCount(kData), 0u);
    // Between polls: 10 us, then doubled up to 100 us, until 100 ms have passed; a poll after every wait.
    std::vector<uint32_t> sleeps, expected = {10, 20, 40, 80};
    expected.resize(4 + (100000 - 150 + 99) / 100, 100); // 150 us slept after the first four
    for (const kal::clock::SleepRecord& r : kal::clock::sleepLog()) {
        sleeps.push_back(r.microseconds);
    }
    EXPECT_EQ(std::tuple(sleeps, bim().readCount(kCommand)), std::tuple(expected, expected.size() + 1));

    // A status that holds an error: nothing happens, all ones.
    bim().clearTrace();
    EXPECT_EQ(accessor->read(0x88, status), 0xFFFFFFFFu);
    accessor->write(0x88, 1, status);
    EXPECT_TRUE(bim().trace().empty());
}

TEST_F(BridgePort, AccessorWithoutItsMutexReportsOutOfMemory) {
    kal::faults::failNth(kal::faults::kMutex, 1);
    tStatus status;
    TYMOPortAccessor broken(*switched, 0, 2, status);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(codeOf([&](tStatus& s) { broken.write(0x10, 1, s); }), tStatus::kOutOfMemory);
    EXPECT_EQ(codeOf([&](tStatus& s) { EXPECT_EQ(broken.read(0x10, s), 0xFFFFFFFFu); }),
              tStatus::kOutOfMemory);
    EXPECT_TRUE(bim().trace().empty());
}

// Each transaction's data and command stay together.
TEST_F(BridgePort, TwoThreadsUseTheTwoPortMapsAtOnce) {
    constexpr uint32_t kRounds = 300;
    uint32_t mismatches[2] = {0, 0};
    auto run = [&](arm::tSizedRegisterMapBase& map, uint32_t id, uint32_t pattern, uint32_t n) {
        for (uint32_t i = 0; i < kRounds; ++i) {
            tStatus status;
            map.write(id, pattern | i, false, status, 0);
            uint64_t back = 0;
            map.read(id, back, status, 0);
            mismatches[n] += back != (pattern | i) || status.isFatal() ? 1 : 0;
        }
    };
    std::thread a([&] { run(*ioPort2, 0x80000008, 0x3F000000, 0); });
    std::thread b([&] { run(*isolation, 0x80000004, 0x5A000000, 1); });
    a.join();
    b.join();
    EXPECT_EQ(mismatches[0] + mismatches[1], 0u);
    EXPECT_EQ(bim().portTrace().size(), 4u * kRounds);
}

TEST_F(BridgePort, IOPortResetAndConfigure) {
    using Write = std::pair<uint32_t, uint32_t>; // address, value
    struct Case {
        const char* name;
        int resets, configures;
        bool neverReady;
        int64_t code;
        std::vector<Write> writes;
        bool control2 = false; // the non-isolated FPGA's port, or the same with control 2 set too
    };
    // Serializer: A=0 (bits 8-14), B=1 (16-22), C=3 (24-29), PLL range 7 (4-6), low 0; control 1 (bit 1).
    const Write setup{0x0C, 2}, serializer{0x08, 0x03010070}, control{0x00, 0x02};
    const Case cases[] = {
        {"reset", 1, 0, false, 0, {{0x00, 0x01}}},
        {"reset of a port that never becomes ready", 1, 0, true, 0, {{0x00, 0x01}}},
        {"reset then configure", 1, 1, false, 0, {{0x00, 0x01}, setup, serializer, control}},
        {"configure: ready never comes", 0, 1, true, IOPort2::kNotReady, {setup, serializer, control}},
        {"a second configure writes only the setup", 0, 2, false, 0, {setup, serializer, control, setup}},
        {"control 2 set: bit 2", 1, 1, false, 0, {{0x00, 0x01}, setup, serializer, {0x00, 0x06}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tIoPort2 map(*accessor);
        IOPort2Template<0, 1, 3, 7, 0, true, true> withControl2(map);
        tNonIsolatedIOPort2 nonIsolated(map);
        IOPort2& port = c.control2 ? static_cast<IOPort2&>(withControl2) : nonIsolated;
        bim().setIOPortNeverReady(c.neverReady);
        bim().setPortRegister(0x00, 0);
        bim().clearPortTrace();
        tStatus status;
        kal::clock::ScopedStepped stepped(1000); // the 500 ms time-out passes by sleeps and clock reads
        for (int i = 0; i < c.resets; ++i) {
            port.reset(status);
        }
        for (int i = 0; i < c.configures; ++i) {
            port.configure(status);
        }
        EXPECT_EQ(status.getCode(), c.code);
        EXPECT_EQ(port.isReady(status), c.code == 0 && !c.neverReady && c.configures > 0);
        std::vector<Write> writes;
        for (const sim::PortAccess& a : bim().portTrace()) {
            if (a.write) {
                writes.push_back({a.address, a.value});
            }
        }
        EXPECT_EQ(writes, c.writes);
    }
}

} // namespace
