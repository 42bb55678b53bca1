// The BAR endpoint tree: places of the eight stream circuits in BAR 0, its
// twelve registration names, whole-map order over the simulated module, the
// grouping maps' refusal of every identifier, and a failed allocation.
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

TEST_F(Bar0, TwelveNamesParentFirstAndRemovalGoesOnPastAMissingOne) {
    kelvo_test::FakeAccessor bus;
    tStatus c;
    tKelvoBar0RegMap map(&bus, c, 0, 0, 0xFFFFFFFF);
    kelvo_test::RegistrationLog d;
    tStatus s;
    map.addToDispatcher(d, s);
    EXPECT_TRUE(s.isSuccess());
    const std::vector<std::string> names = d.names;
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(names[0], "KelvoBar0RegMap");
    EXPECT_EQ(names[4], "KelvoBar0RegMap_FpgaEndpointWin_KelvoFpgaEndpointRegMap_BrixelWin_"
                        "KelvoStreamCircuitTopRegMap_BrixelInterfaceKernelWin0_StreamCircuitRegMap");
    EXPECT_EQ(d.maps[4], map.FpgaEndpoint.StreamCircuitTop.KernelCircuits[0]);
    EXPECT_EQ(d.maps[11], map.FpgaEndpoint.StreamCircuitTop.UserCircuits[3]);

    d.names.erase(d.names.begin() + 5);
    d.maps.erase(d.maps.begin() + 5);
    tStatus r;
    map.removeFromDispatcher(d, r);
    EXPECT_EQ(r.getCode(), -240024);
    EXPECT_EQ(d.removed, names);
    EXPECT_TRUE(d.names.empty());

    kelvo_test::RegistrationLog given;
    map.addToDispatcher(given, s, "Niso");
    ASSERT_EQ(given.names.size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(given.names[i], "Niso" + names[i].substr(std::string("KelvoBar0RegMap").size()));
    }
    kelvo_test::RegistrationLog skip;
    map.addToDispatcher(skip, s, nullptr, true);
    EXPECT_EQ(skip.names, std::vector<std::string>(names.begin() + 1, names.end()));
    kelvo_test::RegistrationLog top;
    map.FpgaEndpoint.StreamCircuitTop.addToDispatcher(top, s);
    EXPECT_EQ(top.names.front(), "KelvoStreamCircuitTopRegMap");
    EXPECT_EQ(top.names.back(), "KelvoStreamCircuitTopRegMap_BrixelInterfaceUserWin3_StreamCircuitRegMap");
}

TEST_F(Bar0, AFailedAllocationLeavesEmptySlotsThatEveryWalkSkips) {
    kelvo_test::FakeAccessor bus;
    kal::memory::failNth(3);
    tStatus s;
    auto* map = new (s, false) tKelvoBar0RegMap(&bus, s, 0, 0, 0xFFFFFFFF);
    ASSERT_NE(map, nullptr) << "the tree itself came from the first allocation";
    EXPECT_EQ(s.getCode(), -52000);
    const auto all = circuits(*map);
    EXPECT_NE(all[0], nullptr);
    for (size_t n = 1; n < 8; ++n) {
        EXPECT_EQ(all[n], nullptr) << n;
    }
    tStatus w;
    map->markDirtyRegMap();
    map->flushRegMap(true, w);
    map->refreshRegMap(w);
    map->reinitialize();
    EXPECT_TRUE(w.isSuccess());
    EXPECT_EQ(bus.count('W'), 22u) << "only the circuit that exists";
    kelvo_test::RegistrationLog d;
    tStatus a;
    map->addToDispatcher(d, a);
    EXPECT_EQ(d.names.size(), 5u);
    tStatus r;
    map->removeFromDispatcher(d, r);
    EXPECT_TRUE(r.isSuccess());
    kelvo_driver::nVOAPAL000::deleteObject(map);
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
