// The BAR endpoint tree: places of the eight stream circuits in BAR 0 and a
// circuit reached by its versioned name over the simulated module. Names and
// empty slots are the register-map engine's (its own tests).
#include <memory>
#include <string>
#include <vector>

#include "control.h"
#include "regmaps/kelvo_bar0_reg_map.h"
#include "map_probe.h"
#include "regs/arm_dispatcher.h"
#include "regs_fake_accessor.h"
#include "regs_sim_support.h"
#include "test_support.h"

namespace {

using kelvo_regmaps::tKelvoBar0RegMap;
using kelvo_regmaps::tStreamCircuitRegMap;
using nVOAPALS100::tStatus;

class Bar0 : public kelvo_test::LeakCheckedTest {};

// Kernel circuits 0-3, then user circuits 0-3.
std::vector<tStreamCircuitRegMap*> circuits(tKelvoBar0RegMap& map) {
    auto& top = map.FpgaEndpoint.StreamCircuitTop;
    return {top.KernelCircuits[0], top.KernelCircuits[1], top.KernelCircuits[2], top.KernelCircuits[3],
            top.UserCircuits[0],   top.UserCircuits[1],   top.UserCircuits[2],   top.UserCircuits[3]};
}

TEST_F(Bar0, CircuitsLieWhereTheBarPlacesThem) {
    kelvo_test::FakeAccessor bus;
    tStatus s;
    tKelvoBar0RegMap map(&bus, s, 0, 0, 0xFFFFFFFF);
    ASSERT_TRUE(s.isSuccess());
    const auto all = circuits(map);
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(all[n]->StreamControlStatus.address, 0x34800u + n * 0x2000u);
        EXPECT_EQ(all[4 + n]->StreamControlStatus.address, 0x35800u + n * 0x2000u);
        EXPECT_EQ(all[n]->windowSize(), 0x1000u);
    }
    EXPECT_EQ(map.FpgaEndpoint.base(), 0x20000u);
    EXPECT_EQ(map.LocalEndpoint.base(), 0x10000u);
    EXPECT_EQ(map.FpgaEndpoint.StreamCircuitTop.base(), 0x30000u);
}

TEST_F(Bar0, RegisteredInTheRegisterMapDispatcherAndReachedByVersionedName) {
    kelvo_test::SimBoard b;
    armki::ARMDispatcher dispatcher;
    tStatus s;
    tKelvoBar0RegMap map(&b.barAccessor, s, 0, 0, 0xFFFFFFFF);
    map.addToDispatcher(dispatcher, s);
    ASSERT_TRUE(s.isSuccess());
    b.niso().poke(0x19810, 0x55); // user circuit 2, transfer count
    arm::DynamicAccessInterfaceBase<tStatus>* found = nullptr;
    dispatcher.getRegistration(
        "KelvoBar0RegMap_FpgaEndpointWin_KelvoFpgaEndpointRegMap_BrixelWin_"
        "KelvoStreamCircuitTopRegMap_BrixelInterfaceUserWin2_StreamCircuitRegMap_Ver1.0.0d379",
        &found, s, nullptr);
    ASSERT_TRUE(s.isSuccess());
    ASSERT_EQ(found, map.FpgaEndpoint.StreamCircuitTop.UserCircuits[2]);
    uint64_t v = 0;
    found->read(0x40F7D413, v, s, 0);
    EXPECT_EQ(v, 0x55u);
    tStatus removal;
    map.removeFromDispatcher(dispatcher, removal);
    EXPECT_TRUE(removal.isSuccess());
    tStatus gone;
    dispatcher.getRegistration("KelvoBar0RegMap_Ver1.0.0d379", &found, gone, nullptr);
    EXPECT_EQ(gone.getCode(), -240024);
}

} // namespace
