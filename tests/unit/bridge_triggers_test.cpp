// The trigger map over the simulated timing chip: the forced whole-map flush
// against the chip's access trace, write-only and read-only registers sharing
// offsets, the per-field one-bit rule, the strobe bit and the output-select arrays.
#include <vector>

#include "bridge_test_support.h"
#include "regmaps/brixel_triggers.h"

namespace {

using kelvo_test::kBufferTooSmall;
using kelvo_test::kNotImplemented;
using kelvo_test::kUnknownId;
using nVOAPALS100::tStatus;

using tTriggers = brixeltools::tTriggersWithOffset<0u>;

using Access = kelvo_test::ChipAccess;

class BridgeTriggers : public kelvo_test::SimulatedBarTest {
protected:
    void SetUp() override {
        SimulatedBarTest::SetUp();
        regionE = region(sim::TimingChip::kBase, 0x107);
        triggers = std::make_unique<tTriggers>(regionE);
    }
    void TearDown() override {
        triggers.reset();
        SimulatedBarTest::TearDown();
    }

    kelvo_test::tRegion regionE;
    std::unique_ptr<tTriggers> triggers;
};

TEST_F(BridgeTriggers, SharedOffsetsAreToldApartByBit30) {
    sim::TimingChip& chip = module->timingChip();
    chip.setReadValue(0xE0, 0xA5C3);
    chip.setReadValue(0xDC, 0x0002);
    for (uint32_t id : {0xC00000E0u, 0x400000DCu}) {
        tStatus set;
        triggers->set(id, 1, set, 0);
        EXPECT_EQ(set.getCode(), kUnknownId);
        tStatus write;
        triggers->write(id, 1, true, write, 0);
        EXPECT_EQ(write.getCode(), kUnknownId);
        tStatus flush;
        triggers->flush(id, true, flush, 0);
        EXPECT_EQ(flush.getCode(), kUnknownId);
    }
    uint64_t value = 7;
    tStatus rejected;
    triggers->read(0x800000E0, value, rejected, 0);
    EXPECT_EQ(rejected.getCode(), kUnknownId);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(chipTrace().empty());

    tStatus status;
    triggers->read(0xC00000E0, value, status, 0);
    EXPECT_EQ(value, 0xA5C3u);
    triggers->read(0x440000E0, value, status, 0);
    EXPECT_EQ(value, 1u) << "bit 8";
    triggers->read(0x600000DC, value, status, 0);
    EXPECT_EQ(value, 1u) << "bit 1 of the 16-bit read";
    triggers->get(0x800000DC, value, status, 0);
    EXPECT_EQ(value, 0x6000u) << "the written register's soft copy is its own";
    module->timingChip().clearTrace();
    triggers->refreshRegMap(status);
    EXPECT_EQ(chipTrace(), (std::vector<Access>{{false, 0xDC, 2, 0x0002}, {false, 0xE0, 2, 0xA5C3}}));
    EXPECT_TRUE(status.isSuccess());
}

} // namespace
