// The maps both board generations share: required registers, board-common,
// measure-stream status, I2C bus access, I/O expander, PLL interface,
// transformer control and the stream-control maps.
#include "regmaps/kelvo_adf4002_interface_reg_map.h"
#include "regmaps/kelvo_i2c_bus_access_reg_map.h"
#include "regmaps/kelvo_iso_stream_control_reg_map.h"
#include "regmaps/kelvo_measure_stream_status_reg_map.h"
#include "regmaps/kelvo_niso_board_common_reg_map.h"
#include "regmaps/kelvo_niso_stream_control_reg_map.h"
#include "regmaps/kelvo_pca6416a_regs.h"
#include "regmaps/kelvo_stream_control_reg_map.h"
#include "regmaps/kelvo_transformer_control_reg_map.h"
#include "regmaps/required_regs.h"
#include "regs_fake_accessor.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using kelvo_test::BusAccess;
using kelvo_test::FakeAccessor;
using kelvo_test::kUnknownId;
using nVOAPALS100::tStatus;

class CommonMaps : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
};

TEST_F(CommonMaps, RequiredRegistersStartAtTheirDefaultsAndReturnToThem) {
    kelvo_regmaps::tRequiredRegs map(&bus, 0, 0, 0x20);
    tStatus s;
    uint64_t v = 0;
    map.get(0x809DAF0B, v, s, 0);
    EXPECT_EQ(v, 0xDEADBEEFu);
    map.get(0x429DAF0B, v, s, 0);
    EXPECT_EQ(v, 0xDEADu);
    map.get(0x4671CF8E, v, s, 0);
    EXPECT_EQ(v, 1u);
    map.get(0x40FC36C9, v, s, 0);
    EXPECT_EQ(v, 379u);
    map.get(0x8095A79C, v, s, 0);
    EXPECT_EQ(v, 0x234961D2u);

    map.refreshRegMap(s);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{0x0, 0x4, 0x8, 0xC, 0x10, 0x18, 0x1C}));
    EXPECT_EQ(map.Signature.softCopy, 0u) << "the hardware's word";
    map.markDirtyRegMap();
    map.flushRegMap(false, s);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0x18, 0x1C}));
    map.reinitialize();
    EXPECT_EQ(map.Signature.softCopy, 0xDEADBEEFu);

    bus.log.clear();
    map.write(0x0033B4C6, 0, false, s, 0);
    EXPECT_TRUE(bus.log.empty()) << "same value, not forced: no write";
    map.write(0x0033B4C6, 0, true, s, 0);
    EXPECT_EQ(bus.count('W'), 1u);

    uint32_t count = 3;
    arm::FieldType types[3];
    uint64_t masks[3];
    map.getRegisterFormat(0x8021579F, count, types, masks, s);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(types[0], arm::FieldType(1));
    EXPECT_EQ(types[1], arm::FieldType(2));
    EXPECT_EQ(types[2], arm::FieldType(1));
    EXPECT_EQ(masks[1], 0xFFFF00u);
    EXPECT_EQ(masks[2], 0xFF000000u);
    count = 2;
    tStatus small;
    map.getRegisterFormat(0x8021579F, count, types, masks, small);
    EXPECT_EQ(small.getCode(), kelvo_test::kBufferTooSmall);
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(CommonMaps, BoardCommonAndMeasureStreamStatus) {
    kelvo_regmaps::tKelvoNisoBoardCommonRegMap common(&bus, 0, 0, 0x40);
    tStatus s;
    common.write(0x00AA2FE2, 5, false, s, 0);
    EXPECT_EQ(bus.log.back(), (BusAccess{'W', 0x0, 0x1}));
    bus.log.clear();
    common.refreshRegMap(s);
    EXPECT_TRUE(bus.log.empty());

    kelvo_regmaps::tKelvoMeasureStreamStatusRegMap measure(&bus, 0x21B0, 0, 0x10);
    bus.memory[0x21B0] = 1;
    EXPECT_EQ(measure.MeasureStreamAbortedMeasurement.readRegister(s), 1u);
    measure.set(0x0042228B, 0, s, 0);
    EXPECT_EQ(measure.MeasureStreamAbortedMeasurement.dirty, 1);
    measure.refreshRegMap(s);
    EXPECT_EQ(measure.MeasureStreamAbortedMeasurement.softCopy, 1u)
        << "the refresh drops the unflushed change";
    EXPECT_EQ(measure.MeasureStreamAbortedMeasurement.dirty, 0);
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(CommonMaps, StrobeRegistersOfTheI2cAndExpanderMaps) {
    kelvo_regmaps::tKelvoI2cBusAccessRegMap i2c(&bus, 0, 0, 0x10);
    tStatus s;
    const uint32_t controlFields[] = {0x00FF6E0E, 0x20FF6E0E, 0x08FF6E0E, 0x04FF6E0E,
                                      0x02FF6E0E, 0x2EFF6E0E, 0x1EFF6E0E, 0x3EFF6E0E};
    for (uint32_t id : controlFields) {
        i2c.write(id, 0xFF, false, s, 0);
        uint64_t v = 1;
        i2c.get(id, v, s, 0);
        EXPECT_EQ(v, 0u) << std::hex << id;
        EXPECT_EQ(i2c.I2cBusControl.dirty, 0);
    }
    i2c.set(0x80FF6E0E, 0xFFFFFFFF, s, 0);
    i2c.flush(0x80FF6E0E, false, s, 0);
    EXPECT_EQ(i2c.I2cBusControl.softCopy, 0x1F00808Cu) << "bits only a whole-register set reaches stay";
    tStatus refused;
    i2c.set(0x4072F7FD, 1, refused, 0);
    EXPECT_EQ(refused.getCode(), kUnknownId);
    tStatus view;
    uint64_t v = 0;
    i2c.get(0xC072F7FD, v, view, 0);
    EXPECT_EQ(view.getCode(), kUnknownId);
    i2c.get(0x8A72F7FD, v, s, 0);
    bus.log.clear();
    i2c.markDirtyRegMap();
    i2c.flushRegMap(false, s);
    EXPECT_EQ(bus.offsets('W'), (std::vector<uint32_t>{0, 8}));
    i2c.refreshRegMap(s);
    EXPECT_EQ(bus.offsets('R'), (std::vector<uint32_t>{4, 8, 12}));

    kelvo_regmaps::tKelvoPca6416ARegs pca(&bus, 0, 0, 0x20);
    bus.log.clear();
    pca.write(0x10169A11, 2, false, s, 0);
    pca.write(0x10169A11, 2, false, s, 0);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0, 0x8}, {'W', 0, 0x8}}))
        << "the soft copy is 0 after each";
    pca.write(0x00DBFEDA, 0, false, s, 0);
    EXPECT_EQ(bus.count('W'), 2u) << "0 into a clean 0: no write";
    pca.write(0x80B1EE14, 0x1F, false, s, 0);
    EXPECT_EQ(pca.Control.softCopy, 0xBu) << "bits 2 and 4 cleared";
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(CommonMaps, ExpanderWholeMapOperationsFollowTheTableOverTheSimulatedFpga) {
    kelvo_test::SimBoard b("duskmere-a");
    kelvo_regmaps::tKelvoPca6416ARegs pca(&b.fpga, 0xC220, 0, 0x20);
    b.niso().clearTrace();
    tStatus s;
    pca.markDirtyRegMap();
    pca.flushRegMap(false, s);
    pca.refreshRegMap(s);
    std::vector<std::pair<bool, uint64_t>> trace;
    for (const sim::Access& a : b.niso().trace()) {
        trace.emplace_back(a.write, a.offset);
    }
    const std::vector<std::pair<bool, uint64_t>> expected = {
        {true, 0xC220}, {true, 0xC224},  {true, 0xC228},  {true, 0xC22C},  {true, 0xC230},
        {true, 0xC238}, {false, 0xC228}, {false, 0xC22C}, {false, 0xC230}, {false, 0xC234}};
    EXPECT_EQ(trace, expected);
    EXPECT_TRUE(s.isSuccess());
    EXPECT_EQ(b.module->deviceErrorCount(), 0u);
}

TEST_F(CommonMaps, PllAndTransformerControl) {
    kelvo_regmaps::tKelvoAdf4002InterfaceRegMap pll(&bus, 0, 0, 0x10);
    tStatus s;
    pll.set(0x24E77A23, 1, s, 0);
    EXPECT_EQ(pll.Adf4002Status.softCopy, 0x200u);
    EXPECT_EQ(pll.Adf4002Status.dirty, 1);
    pll.set(0x80E5AF2F, 0xAB000000, s, 0);
    pll.set(0x00E5AF2F, 0xFF123456, s, 0);
    EXPECT_EQ(pll.Adf4002Shift.softCopy, 0xAB123456u);
    pll.flushRegMap(false, s);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 0, 0xAB123456}, {'W', 4, 0x200}}));
    bus.memory[4] = 0x200;
    EXPECT_TRUE(pll.Adf4002Status.readAdf4002Locked(s));

    kelvo_regmaps::tKelvoTransformerControlRegMap transformer(&bus, 0, 0, 0x40);
    uint32_t count = 1;
    arm::FieldType types[2];
    uint64_t masks[2];
    tStatus small;
    transformer.getRegisterFormat(0x80F91FD5, count, types, masks, small);
    EXPECT_EQ(small.getCode(), kelvo_test::kBufferTooSmall);
    count = 2;
    transformer.getRegisterFormat(0x80F91FD5, count, types, masks, s);
    EXPECT_EQ(types[0], arm::FieldType(2));
    EXPECT_EQ(masks[0], 0xFFFFu);
    EXPECT_EQ(types[1], arm::FieldType(0));
    EXPECT_EQ(masks[1], 0x80000000u);
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(CommonMaps, StreamControlStrobesAndTheSwappedCreditMaps) {
    kelvo_regmaps::tKelvoStreamControlRegMap control(&bus, 0, 0, 0x80);
    tStatus s;
    control.MeasureStreamCircuitFifoReset.writeResetScFifoStb(1, s, false);
    control.MeasureStreamCircuitFifoReset.writeResetScFifoStb(1, s, false);
    EXPECT_EQ(bus.count('W'), 2u);
    EXPECT_EQ(control.MeasureStreamCircuitFifoReset.softCopy, 0u);
    tStatus r;
    uint64_t v = 5;
    control.read(0x00400F08, v, r, 0);
    EXPECT_EQ(r.getCode(), kUnknownId);
    EXPECT_EQ(v, 0u);

    kelvo_regmaps::tKelvoNisoStreamControlRegMap niso(&bus, 0, 0, 0x20);
    bus.log.clear();
    niso.NisoTxCreditControl.writeStartStreamStb(true, s, false);
    EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', 4, 0x10000}}));
    EXPECT_EQ(niso.NisoTxCreditControl.softCopy, 0u);
    EXPECT_EQ(niso.NisoTxCreditControl.dirty, 0);
    niso.write(0x807D147C, 0x3C0001, false, s, 0);
    EXPECT_EQ(niso.NisoRxCreditControl.softCopy, 0x300001u) << "bits 18-19 cleared";
    bus.memory[0] = 0x20000;
    EXPECT_TRUE(niso.NisoTxCreditStatus.readStreamStopped(s));

    kelvo_regmaps::tKelvoIsoStreamControlRegMap iso(&bus, 0, 0, 0x20);
    tStatus isoRefuses;
    iso.set(0x029E2E0B, 1, isoRefuses, 0);
    EXPECT_EQ(isoRefuses.getCode(), kUnknownId);
    tStatus nisoRefuses;
    niso.set(0x027D147C, 1, nisoRefuses, 0);
    EXPECT_EQ(nisoRefuses.getCode(), kUnknownId);
    iso.write(0x807D147C, 0xF0001, false, s, 0);
    EXPECT_EQ(iso.IsoTxCreditControl.softCopy, 0x1u) << "bits 16-19 cleared";
    tStatus statusField;
    niso.set(0x62D70687, 1, statusField, 0);
    EXPECT_EQ(statusField.getCode(), kUnknownId);
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(CommonMaps, RegistersOutsideTheWindowTouchNothing) {
    kelvo_regmaps::tKelvoNisoStreamControlRegMap niso(&bus, 0, 0, 4); // only offset 0 inside
    tStatus s;
    niso.set(0x229E2E0B, 1, s, 0);
    EXPECT_TRUE(s.isSuccess()) << "the soft copy still takes it";
    tStatus flush;
    niso.flush(0x809E2E0B, false, flush, 0);
    EXPECT_EQ(flush.getCode(), kelvo_test::kOutsideWindow);
    EXPECT_EQ(niso.NisoTxCreditControl.softCopy, 0x20000u);
    EXPECT_EQ(niso.NisoTxCreditControl.dirty, 1);
    tStatus refresh;
    niso.refresh(0x80698FBE, refresh, 0);
    EXPECT_EQ(refresh.getCode(), kelvo_test::kOutsideWindow);
    tStatus clean;
    niso.flush(0x807D147C, false, clean, 0);
    EXPECT_TRUE(clean.isSuccess()) << "neither dirty nor forced: nothing to report";
    EXPECT_TRUE(bus.log.empty());
}

} // namespace
