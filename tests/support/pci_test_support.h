// Helpers for tests of the PCI device and its DMA.
#pragma once

#include <memory>
#include <tuple>

#include "core/add_device.h"
#include "standin/pci_bus.h"
#include "sim/sim.h"
#include "test_support.h"

namespace kelvo_test {

// The description add device makes of a plugged function; withMSI asks for one MSI vector first.
inline nVOAPAL200_tDeviceInfo deviceInfoOf(nVOKAL_tHandle pciHandle, bool withMSI = false) {
    nVOKAL_tPCIDevice record{};
    kal::pci::describe(pciHandle, record);
    nVOAPAL200_tDeviceInfo info;
    kelvo_driver::describePCIFunction(record, 0, info);
    if (withMSI && nVOKAL230_pciRequestMSI(&record, 1) == 0) {
        info.interruptNumber = record.interruptNumber;
        info.interruptType = nVOAPAL200_kInterruptTypeMSI;
        info.msiFlag = 1;
    }
    return info;
}
inline nVOAPAL200_tDeviceInfo deviceInfoOf(const sim::Module& module, bool withMSI = false) {
    return deviceInfoOf(module.pciHandle(), withMSI);
}

// A plugged module and its description, with no DMA state left over before or after the test.
class DmaModuleTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        kal::pagelists::resetPlacement();
        kal::dma::clearFaults();
        listsAtStart_ = kal::pagelists::live();
        module = bus.plug("solstra");
        info = deviceInfoOf(*module);
    }
    // No page list, kernel mapping, scatter-gather list or DMA fault left; then clears the DMA state.
    void TearDown() override {
        EXPECT_EQ(
            std::make_tuple(kal::pagelists::live(), kal::pagelists::kernelMappings(), kal::dma::liveSGLs()),
            std::make_tuple(listsAtStart_, std::size_t{0}, std::size_t{0}));
        EXPECT_TRUE(kal::dma::faults().empty()) << ::testing::PrintToString(kal::dma::faults());
        kal::dma::clearFaults();
        kal::pagelists::resetPlacement();
        module.reset();
        LeakCheckedTest::TearDown();
    }
    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    nVOAPAL200_tDeviceInfo info{};
    std::size_t listsAtStart_ = 0;
};

} // namespace kelvo_test
