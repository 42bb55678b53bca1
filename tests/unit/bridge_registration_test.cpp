// Every bridge and timing-chip map built over the simulated module as the
// register-map group places them, registered by name in the register-map
// dispatcher, and reached by versioned name and identifier.
#include <string>
#include <vector>

#include "bridge/port_accessor.h"
#include "bridge_golden.h"
#include "bridge_test_support.h"
#include "regmaps/brixel_config_port_spi.h"
#include "regmaps/brixel_config_port_window.h"
#include "regmaps/brixel_core.h"
#include "regmaps/brixel_dma_channel.h"
#include "regmaps/brixel_io_port2.h"
#include "regmaps/brixel_isolation_port.h"
#include "regmaps/brixel_switched_bim.h"
#include "regmaps/brixel_triggers.h"
#include "regmaps/tymo_do.h"
#include "regs/arm_dispatcher.h"

namespace {

using nVOAPALS100::tStatus;
namespace golden = kelvo_test::golden;

// The maps and regions in the group's member order.
struct Maps {
    Maps(char* bar, tStatus& status)
        : regionA(bar, 0x704), regionB(bar, 0x518), regionC(bar, 0xE4), regionD(bar + 0x580, 0x10),
          regionE(bar + 0x10000, 0x107), regionF(bar + 0x10000, 0x6A), switched(regionA), core(regionB),
          port(switched, 0, 2, status), isolation(port), ioPort2(port), window(regionC), spi(regionD),
          triggers(regionE), digital(&regionF, 0, 0, 0xFFFFFFFF) {}

    kelvo_test::tRegion regionA, regionB, regionC, regionD, regionE, regionF;
    brixeltools::tSwitchedBrixelBimRegMapWithOffset<0u> switched;
    brixeltools::tBrixelWithOffset<0u> core;
    brixeltools::TYMOPortAccessor port;
    brixeltools::tIsolationPortRegMapWithOffset<0u> isolation;
    brixeltools::tIOPort2RegMapWithOffset<0u> ioPort2;
    brixeltools::tBrixelConfigPortWindowWithOffset<0u> window;
    brixeltools::tBrixelConfigPortSPIWithOffset<0u> spi;
    brixeltools::tTriggersWithOffset<0u> triggers;
    tymo_regmaps::tDO digital;
};

using BridgeRegistration = kelvo_test::SimulatedBarTest;

// The bridge maps carry the bridge's version, the timing-chip maps theirs; a
// registered map answers only a name that states a version.
std::string versioned(const std::string& name) {
    return name + (name == "Triggers" || name == "DO" ? "_Ver200a13081315" : "_Ver2.3.0f7");
}

arm::DynamicAccessInterfaceBase<tStatus>* find(armki::ARMDispatcher& dispatcher, const std::string& name,
                                               int64_t expected = 0) {
    arm::DynamicAccessInterfaceBase<tStatus>* map = nullptr;
    tStatus status;
    dispatcher.getRegistration(name.c_str(), &map, status, nullptr);
    EXPECT_EQ(status.getCode(), expected) << name;
    return map;
}

std::vector<std::string> registered(const armki::ARMDispatcher& dispatcher) {
    vohtl::BasicString list;
    tStatus status;
    dispatcher.getRegistrationList(list, status);
    std::vector<std::string> names;
    std::string text(list.c_str(), list.length());
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        const size_t tab = text.find('\t', start);
        names.push_back(text.substr(start, tab - start));
        start = tab == std::string::npos ? text.size() + 1 : tab + 1;
    }
    return names;
}

TEST_F(BridgeRegistration, EveryMapIsReachableByItsName) {
    ensureInterruptMaskRegister();
    module->bridgeRegisters().setDmaBase(0x2000);
    tStatus status;
    Maps maps(bar, status);
    ASSERT_TRUE(status.isSuccess());

    // The DMA channels are placed from the DMA base and the stride the core reports.
    maps.core.DMABASE.refresh(status);
    maps.core.COREDR.refresh(status);
    const uint64_t dmaBase = maps.core.DMABASE.softCopy;
    const uint64_t stride = uint64_t{1} << maps.core.COREDR.getChannelStrideLog2(status);
    EXPECT_EQ(dmaBase, 0x2000u);
    EXPECT_EQ(stride, 0x100u);
    kelvo_test::tRegion dmaRegions[2] = {kelvo_test::tRegion(bar + dmaBase, 0xA8),
                                         kelvo_test::tRegion(bar + dmaBase + stride, 0xA8)};
    auto* dma0 = new (status, false) brixeltools::tBrixelDMAChannelWithOffset<0u>(dmaRegions[0]);
    auto* dma1 = new (status, false) brixeltools::tBrixelDMAChannelWithOffset<0u>(dmaRegions[1]);
    ASSERT_TRUE(status.isSuccess());

    armki::ARMDispatcher dispatcher;
    dispatcher.add("BrixelDMAChannel0", *dma0, status);
    dispatcher.add("BrixelDMAChannel1", *dma1, status);
    maps.switched.addToDispatcher(dispatcher, status);
    maps.core.addToDispatcher(dispatcher, status);
    maps.ioPort2.addToDispatcher(dispatcher, status);
    maps.isolation.addToDispatcher(dispatcher, status);
    maps.spi.addToDispatcher(dispatcher, status);
    maps.window.addToDispatcher(dispatcher, status);
    maps.triggers.addToDispatcher(dispatcher, status);
    maps.digital.addToDispatcher(dispatcher, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(registered(dispatcher),
              (std::vector<std::string>{"BrixelDMAChannel0", "BrixelDMAChannel1", "SwitchedBrixelBimRegMap",
                                        "Brixel", "IOPort2RegMap", "IsolationPortRegMap",
                                        "BrixelConfigPortSPI", "BrixelConfigPortWindow", "Triggers", "DO"}))
        << "the output timer is reached through DO only";

    const std::pair<const char*, std::vector<kelvo_test::BridgeGoldenRegister>> tables[] = {
        {"BrixelDMAChannel0", golden::dmaChannel()},
        {"BrixelDMAChannel1", golden::dmaChannel()},
        {"SwitchedBrixelBimRegMap", golden::switchedBim()},
        {"Brixel", golden::core()},
        {"IOPort2RegMap", golden::ioPort2()},
        {"IsolationPortRegMap", golden::isolationPort()},
        {"BrixelConfigPortSPI", golden::spi()},
        {"BrixelConfigPortWindow", golden::window()},
        {"Triggers", golden::triggers()},
        {"DO", golden::digitalOutput()},
    };
    for (const auto& [name, table] : tables) {
        find(dispatcher, name, -240023); // a bare name is refused
        arm::DynamicAccessInterfaceBase<tStatus>* map = find(dispatcher, versioned(name));
        ASSERT_NE(map, nullptr) << name;
        EXPECT_EQ(kelvo_test::checkGolden(*map, table, true), "") << name;
    }

    // Channel 1's registers are read one stride above channel 0's.
    sim::LatchBlock& channel1 = module->bridgeRegisters().channel(1);
    EXPECT_EQ(module->bar0().baseOf("dma-channel-1"), 0x2100u);
    channel1.setLatch(0x60, 4, 0xC0DE);
    channel1.clearTrace();
    uint64_t value = 0;
    find(dispatcher, versioned("BrixelDMAChannel1"))->read(0xC0000060, value, status, 0);
    EXPECT_EQ(value, 0xC0DEu);
    EXPECT_EQ(channel1.readCount(0x60), 1u);

    // Removal in the group's order; a name that is not there is reported and skipped.
    for (const char* name :
         {"DO", "Triggers", "BrixelConfigPortWindow", "BrixelConfigPortSPI", "IsolationPortRegMap",
          "IOPort2RegMap", "Brixel", "SwitchedBrixelBimRegMap", "BrixelDMAChannel0", "BrixelDMAChannel1"}) {
        tStatus local;
        dispatcher.remove(name, local);
        EXPECT_TRUE(local.isSuccess()) << name;
    }
    tStatus again;
    maps.digital.removeFromDispatcher(dispatcher, again);
    EXPECT_EQ(again.getCode(), -240024);
    EXPECT_EQ(dispatcher.getNumberOfRegistrations(), 0u);
    kelvo_driver::nVOAPAL000::deleteObject(dma1);
    kelvo_driver::nVOAPAL000::deleteObject(dma0);
}

} // namespace
