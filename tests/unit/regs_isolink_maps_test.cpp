// The isolation-link maps: register access, isolation-link communication,
// the isolated side's DC-bus configuration, DC-bus receive status and debug.
#include "regmaps/kelvo_dc_bus_reg_map.h"
#include "regmaps/kelvo_debug_reg_map.h"
#include "regmaps/kelvo_iso_comm_reg_map.h"
#include "regmaps/kelvo_niso_comm_reg_map.h"
#include "regmaps/kelvo_reg_access_reg_map.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

namespace {

using kelvo_test::FakeAccessor;
using nVOAPALS100::tStatus;

class IsoLinkMaps : public kelvo_test::LeakCheckedTest {
protected:
    FakeAccessor bus;
};

TEST_F(IsoLinkMaps, AddressRegisterKeepsOnlyBits18To30AfterAWrite) {
    kelvo_regmaps::tKelvoRegAccessRegMap map(&bus, 0x200, 0, 0x20);
    tStatus s;
    map.set(0x0074A60D, 0x7FFFF, s, 0); // wider than 18 bits: cut
    map.set(0x3E74A60D, 1, s, 0);
    map.flushRegMap(false, s);
    EXPECT_EQ(bus.log, (std::vector<kelvo_test::BusAccess>{{'W', 0x200, 0x8003FFFF}}));
    uint64_t v = 1;
    map.get(0x8074A60D, v, s, 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(map.RegAccessAddr.dirty, 0);
    map.set(0x0074A60D, 0x7FFFF, s, 0);
    map.set(0x3E74A60D, 1, s, 0);
    EXPECT_EQ(map.RegAccessAddr.dirty, 1) << "the same fields again are a change";
    map.set(0x8074A60D, 0x12340000, s, 0);
    map.RegAccessAddr.flush(s, false);
    EXPECT_EQ(map.RegAccessAddr.softCopy, 0x12340000u & 0x7FFC0000u);
    EXPECT_TRUE(s.isSuccess());

    tStatus r;
    v = 7;
    map.read(0x8074A60D, v, r, 0);
    EXPECT_EQ(r.getCode(), kelvo_test::kUnknownId);
    EXPECT_EQ(v, 0u);

    uint32_t count = 5;
    arm::FieldType types[5];
    uint64_t masks[5];
    map.getRegisterFormat(0x807B4F57, count, types, masks, s);
    EXPECT_EQ(count, 5u);
    const arm::FieldType expectedTypes[5] = {arm::FieldType(3), arm::FieldType(0), arm::FieldType(0),
                                             arm::FieldType(0), arm::FieldType(0)};
    const uint64_t expectedMasks[5] = {0x7FFFF, 0x1000000, 0x2000000, 0x4000000, 0x80000000};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(types[i], expectedTypes[i]);
        EXPECT_EQ(masks[i], expectedMasks[i]);
    }
    count = 4;
    tStatus small;
    map.getRegisterFormat(0x807B4F57, count, types, masks, small);
    EXPECT_EQ(small.getCode(), kelvo_test::kBufferTooSmall);
    EXPECT_EQ(count, 4u);
    tStatus field;
    map.getRegisterFormat(0x567B4F57, count, types, masks, field);
    EXPECT_EQ(field.getCode(), kelvo_test::kNotImplemented);
}

TEST_F(IsoLinkMaps, StrobeBitsAreClearedAfterASuccessfulWriteOnlyAndAFailedOneIsRepeated) {
    kelvo_regmaps::tKelvoIsoCommRegMap isoComm(&bus, 0, 0, 0x10);
    tStatus s;
    isoComm.set(0x000F4DCB, 3, s, 0);
    isoComm.set(0x040F4DCB, 1, s, 0);
    isoComm.write(0x240F4DCB, 1, false, s, 0);
    EXPECT_EQ(bus.log.back(), (kelvo_test::BusAccess{'W', 0x0, 0x303}));
    EXPECT_EQ(isoComm.IsoCommConfig.softCopy, 0x200u);

    isoComm.set(0x040F4DCB, 1, s, 0);
    bus.failNext(1);
    tStatus failed;
    isoComm.flushRegMap(false, failed);
    EXPECT_EQ(failed.getCode(), -50400);
    EXPECT_EQ(isoComm.IsoCommConfig.softCopy, 0x300u) << "the strobe bit stays after a failed write";
    EXPECT_EQ(isoComm.IsoCommConfig.dirty, 1);
    bus.log.clear();
    isoComm.flushRegMap(false, s);
    EXPECT_EQ(bus.log, (std::vector<kelvo_test::BusAccess>{{'W', 0x0, 0x300}})) << "repeated";
    EXPECT_EQ(isoComm.IsoCommConfig.softCopy, 0x200u);

    kelvo_regmaps::tKelvoNisoCommRegMap nisoComm(&bus, 0, 0, 0x10);
    nisoComm.write(0x80D80EEA, 0x6, false, s, 0);
    EXPECT_EQ(nisoComm.IsoDcBusConfig.softCopy, 0x2u);
    bus.log.clear();
    nisoComm.refreshRegMap(s);
    EXPECT_TRUE(bus.log.empty()) << "no readable register";

    kelvo_regmaps::tKelvoDebugRegMap debug(&bus, 0, 0, 0x100);
    debug.write(0x80790EAC, 0x1111 | 0x10000, false, s, 0);
    EXPECT_EQ(debug.RegPortSnifferControl.softCopy, 0x11000u) << "bits 0, 4 and 8 cleared";
    EXPECT_TRUE(s.isSuccess());
}

TEST_F(IsoLinkMaps, TypedMethodsAndFieldInsertion) {
    kelvo_regmaps::tKelvoIsoCommRegMap isoComm(&bus, 0, 0, 0x10);
    bus.memory[0x4] = 0x0F000102;
    tStatus s;
    EXPECT_EQ(isoComm.IsoCommStatus.readIsoCommStatus(s), 2u);
    EXPECT_TRUE(isoComm.IsoCommStatus.readNisoDcBusStartupComplete(s));
    EXPECT_EQ(bus.count('R'), 2u);
    kelvo_regmaps::tKelvoIsoCommRegMap outside(&bus, 0, 0, 4);
    tStatus o;
    EXPECT_EQ(outside.IsoCommStatus.readIsoCommStatus(o), 0u);
    EXPECT_EQ(o.getCode(), kelvo_test::kOutsideWindow);

    kelvo_regmaps::tKelvoDcBusRegMap dcBus(&bus, 0, 0, 8);
    dcBus.write(0x0213E50F, 0x1FF, false, s, 0);
    dcBus.write(0x2013E50F, 2, false, s, 0);
    EXPECT_EQ(dcBus.DcBusRxStatus.softCopy, 0xFF0002u);

    kelvo_regmaps::tKelvoRegAccessRegMap regAccess(&bus, 0, 0, 0x20);
    bus.memory[0x8] = 0x05000000;
    regAccess.RegAccessStatus.refresh(s);
    EXPECT_TRUE(regAccess.RegAccessStatus.getReadyForNewAccess(s));
    EXPECT_TRUE(regAccess.RegAccessStatus.getNewRegReadResponse(s));
    EXPECT_TRUE(s.isSuccess());
}

} // namespace
