// The Duskmere isolated board and channel maps: register tables (copied by hand
// from the board's register lists), one-shot registers, the setpoint limit's
// reset value, the occurrence multiplexer status without bits 0-11, windows.
#include <vector>

#include "regmaps/duskmere_iso_board_reg_map.h"
#include "regmaps/duskmere_iso_ch_reg_map.h"
#include "map_probe.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tDuskmereIsoBoardRegMap;
using kelvo_regmaps::tDuskmereIsoChRegMap;
using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

class DuskmereIsoBoard : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereIsoBoardRegMap map{&bus, built, 0, 0, 0x2000};
    kelvo_test::MapProbe op{map};
};

TEST_F(DuskmereIsoBoard, ConfigurationAndLimitUpdatesActOnce) {
    EXPECT_EQ(op.set(0x00EC09B9, 1), 0);
    EXPECT_EQ(op.flush(0x80EC09B9), 0);
    EXPECT_EQ(op.get(0x00EC09B9), 0u);
    EXPECT_EQ(op.flush(0x80EC09B9), 0);
    EXPECT_EQ(op.write(0x00FFD874, 0x3F), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x100, 0x1}, {'W', 0x200, 0xF}})) << "four bits";
    EXPECT_EQ(op.get(0x80FFD874), 0u);
    EXPECT_EQ(op.refresh(0x80FFD874), kelvo_test::kUnknownId);
    EXPECT_EQ(op.set(0x8086B014, 1), kelvo_test::kUnknownId);

    // The reserved register: its one field fills it, and both identifiers name the same value.
    EXPECT_EQ(op.set(0x0015A809, 0xCAFEF00D), 0);
    EXPECT_EQ(op.get(0x8015A809), 0xCAFEF00Du);
    EXPECT_EQ(op.get(0x0015A809), 0xCAFEF00Du);
}

class DuskmereIsoCh : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
    tStatus built;
    tDuskmereIsoChRegMap map{&bus, built, 0x2000, 0, 0x2000};
    kelvo_test::MapProbe op{map};
};

TEST_F(DuskmereIsoCh, TheSetpointLimitStartsAtFullScale) {
    EXPECT_EQ(op.get(0x00EB4CB0), 0xFFFu);
    EXPECT_EQ(map.DpSetpointLimit.dirty, 0);
    EXPECT_EQ(op.flush(0x80EB4CB0, true), 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0x2280, 0xFFF}}));
    // reinitialize returns it there.
    EXPECT_EQ(op.set(0x00EB4CB0, 5), 0);
    map.reinitialize();
    EXPECT_EQ(op.get(0x00EB4CB0), 0xFFFu);
    EXPECT_EQ(map.DpSetpointLimit.dirty, 0);
}

TEST_F(DuskmereIsoCh, SwitchControlIsWrittenOnceAndTheOccurrenceStatusHasNoLowField) {
    EXPECT_EQ(op.write(0x8050D879, 0xFFFFFFFF), 0);
    EXPECT_EQ(op.write(0x1E50D879, 1), 0) << "bit 30";
    EXPECT_EQ(map.IsoSwitchControl.softCopy, 0x83C0FFFFu);
    tStatus s;
    bus.log.clear();
    map.flushRegMap(false, s);
    EXPECT_TRUE(bus.log.empty());
    // Bits 0-11 of this block's occurrence multiplexer status are no field.
    uint64_t v = 9;
    EXPECT_EQ(op.get(0x4075712F, v), kelvo_test::kUnknownId);
    EXPECT_EQ(op.get(0x4C75712F, v), 0);
}

TEST_F(DuskmereIsoCh, TheReservedRegisterLiesOutsideAWindowOf0x1000) {
    FakeAccessor other;
    tStatus b;
    tDuskmereIsoChRegMap narrow{&other, b, 0x2000, 0, 0x1000};
    kelvo_test::MapProbe n{narrow};
    EXPECT_EQ(n.flush(0x8045C664, true), kelvo_test::kOutsideWindow);
    EXPECT_EQ(n.refresh(0x8045C664), kelvo_test::kOutsideWindow);
    EXPECT_EQ(n.flush(0x806471D0, true), 0);
    EXPECT_EQ(other.log, (std::vector<BusAccess>{{'W', 0x2310, 0}}));
}

} // namespace
