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

TEST_F(TimingChipMaps, DefaultsAndOneBitRules) {
    tStatus status;
    uint64_t value = 0;
    digital->get(0x80000014, value, status, 0);
    EXPECT_EQ(value, 0x80u) << "bit 7 of the mode register lies outside its fields";
    for (uint32_t id : {0x00000014u, 0x20000014u, 0x0C000014u, 0x1C000014u}) {
        digital->get(id, value, status, 0);
        EXPECT_EQ(value, 0u) << std::hex << id;
    }
    digital->set(0x28000008, 2, status, 0);
    digital->set(0x00000014, 2, status, 0);
    EXPECT_EQ(digital->DIO_Direction_Register.softCopy, 0u);
    EXPECT_EQ(digital->DO_Mode_Register.softCopy, 0x81u);
    digital->set(0x80000002, 0x05, status, 0);
    digital->set(0x08000002, 0x1F, status, 0);
    EXPECT_EQ(digital->CDO_DMA_Select_Register.softCopy, 0xF5u);

    tymo_regmaps::tOutTimer& timer = digital->OutTimer;
    timer.get(0x80000026, value, status, 0);
    EXPECT_EQ(value, 1u);
    timer.get(0x00000026, value, status, 0);
    EXPECT_EQ(value, 1u);
    timer.set(0x0A000020, 2, status, 0);
    timer.set(0x16000020, 2, status, 0);
    EXPECT_EQ(timer.Mode_2_Register.softCopy, 1u << 26);
    // Bit 18 of mode 2 is a strobe: gone from the soft copy once written.
    timer.set(0x12000020, 1, status, 0);
    timer.flush(0x12000020, false, status, 0);
    timer.get(0x12000020, value, status, 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(timer.Mode_2_Register.dirty, 0u);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{{true, 0x54, 4, (1u << 26) | (1u << 18)}}));
    EXPECT_TRUE(status.isSuccess());
}

TEST_F(TimingChipMaps, DataPortsAndSharedOffsets) {
    tStatus status;
    digital->write(0x00000030, 0xFFFFF, false, status, 0);
    digital->write(0x80000030, 0x12345, false, status, 0);
    digital->OutTimer.write(0x08000000, 5, false, status, 0);
    digital->OutTimer.write(0x08000000, 0, true, status, 0);
    digital->OutTimer.write(0x80000034, 0x12345, false, status, 0);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{{true, 0x30, 2, 0x0FFF},
                                                {true, 0x30, 2, 0x2345},
                                                {true, 0x34, 4, 0x10},
                                                {true, 0x34, 4, 0},
                                                {true, 0x68, 2, 0x2345}}));
    for (uint32_t id : {0x8000000Cu}) {
        uint64_t value = 5;
        tStatus get, set, read, refresh;
        digital->get(id, value, get, 0);
        digital->set(id, 1, set, 0);
        digital->read(id, value, read, 0);
        digital->refresh(id, refresh, 0);
        for (const tStatus* s : {&get, &set, &read, &refresh}) {
            EXPECT_EQ(s->getCode(), kUnknownId);
        }
    }
    module->timingChip().clearTrace();
    digital->flush(0x8000000C, true, status, 0);
    digital->OutTimer.flush(0x80000028, true, status, 0);
    EXPECT_TRUE(chipTrace().empty());

    // Offset 0: the read-only register is read 32 bits wide, the enable register written as a byte.
    module->timingChip().setReadValue(0x00, 0xCAFE1234);
    uint64_t value = 0;
    digital->read(0x40000000, value, status, 0);
    EXPECT_EQ(value, 0x1234u);
    digital->write(0x80000000, 0x1FF, false, status, 0);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{{false, 0x00, 4, 0xCAFE1234}, {true, 0x00, 1, 0xFF}}));
    for (uint32_t id : {0x40000000u, 0xC0000000u}) {
        tStatus flush;
        digital->flush(id, true, flush, 0);
        EXPECT_EQ(flush.getCode(), kUnknownId);
    }
    module->timingChip().setReadValue(0x38, 0x600DF00D);
    for (uint32_t id : {0x80000004u, 0x00000004u}) {
        tStatus read;
        digital->OutTimer.read(id, value, read, 0);
        EXPECT_EQ(read.getCode(), kUnknownId);
        EXPECT_EQ(value, 0u);
    }
    digital->OutTimer.read(0xC0000004, value, status, 0);
    EXPECT_EQ(value, 0x600DF00Du);
    EXPECT_TRUE(status.isSuccess());

    uint32_t count = 14;
    arm::FieldType types[15];
    uint64_t masks[15];
    tStatus small;
    digital->OutTimer.getRegisterFormat(0x0800002C, count, types, masks, small);
    EXPECT_EQ(small.getCode(), kBufferTooSmall);
}

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
