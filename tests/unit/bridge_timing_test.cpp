// The timing chip's digital-output map with its embedded output timer over
// the simulated chip: access classes, one-bit exceptions, data ports, the
// fixed placement of the timer, windows and reinitialize.
#include <vector>

#include "bridge_test_support.h"
#include "regmaps/tymo_do.h"
#include "regmaps/tymo_out_timer.h"

namespace {

using kelvo_test::kBufferTooSmall;
using kelvo_test::kOutsideWindow;
using kelvo_test::kUnknownId;
using nVOAPALS100::tStatus;

using tymo_regmaps::tDO;

using Access = kelvo_test::ChipAccess;

class TimingChipMaps : public kelvo_test::SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        regionF = region(sim::TimingChip::kBase, 0x6A);
        digital = std::make_unique<tDO>(&regionF, 0u, 0u, 0xFFFFFFFFu);
    }
    void TearDown() override {
        digital.reset();
        SimulatedBarTest::TearDown();
    }

    kelvo_test::tRegion regionF;
    std::unique_ptr<tDO> digital;
};

TEST_F(TimingChipMaps, RegistersOutsideTheWindowAreNotAccessed) {
    // A window over map offsets 0x04 to 0x13 only, the window's start at block offset 0x04.
    tDO narrow(&regionF, 4u, 4u, 0x10u);
    EXPECT_EQ(narrow.DIO_Direction_Register.address, 0x08u) << "base - window start + offset";
    tStatus status;
    narrow.set(0x80000014, 0x1, status, 0);
    tStatus flush;
    narrow.flush(0x80000014, true, flush, 0);
    EXPECT_EQ(flush.getCode(), kOutsideWindow);
    EXPECT_EQ(narrow.DO_Mode_Register.dirty, 1u);
    tStatus port;
    narrow.write(0x8000001C, 1, false, port, 0);
    EXPECT_EQ(port.getCode(), kOutsideWindow);
    tStatus read;
    uint64_t value = 3;
    narrow.read(0xC0000000, value, read, 0);
    EXPECT_EQ(read.getCode(), kOutsideWindow);
    EXPECT_EQ(value, 0u) << "the unchanged soft copy";
    tStatus whole;
    narrow.flushRegMap(true, whole);
    EXPECT_EQ(whole.getCode(), kOutsideWindow) << "the first error stays";
    // Every register inside the window was still written: 0x04, 0x08, 0x10 of the map, all of the timer.
    size_t mapWrites = 0;
    for (const Access& a : chipTrace()) {
        mapWrites += a.offset < 0x34 ? 1 : 0;
    }
    EXPECT_EQ(mapWrites, 3u);
    tStatus refreshed;
    narrow.refreshRegMap(refreshed);
    EXPECT_EQ(refreshed.getCode(), kOutsideWindow) << "a whole-map refresh reports it too";

    // ... and goes on past it: the timer's status register (offset 0) lies
    // before this window, its three save registers inside it.
    tymo_regmaps::tOutTimer timer(&regionF, 0x38u, 4u, 0x14u);
    const size_t before = chipTrace().size();
    tStatus timerRefresh;
    timer.refreshRegMap(timerRefresh);
    EXPECT_EQ(timerRefresh.getCode(), kOutsideWindow);
    std::vector<uint32_t> reads;
    const auto trace = chipTrace();
    for (size_t i = before; i < trace.size(); ++i) {
        if (!trace[i].write) {
            reads.push_back(trace[i].offset);
        }
    }
    EXPECT_EQ(reads, (std::vector<uint32_t>{0x38, 0x40, 0x48}));
}

} // namespace
