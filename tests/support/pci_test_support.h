// Helpers for tests of the PCI device: the device description that add device
// makes from a plugged simulated module.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "standin/control.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"
#include "platform/device_info.h"
#include "sim/sim.h"

namespace kelvo_test {

// withMSI: asks for one MSI vector first, as add device does (the stand-in
// grants it unless its knob refuses).
inline nVOAPAL200_tDeviceInfo deviceInfoOf(const sim::Module& module, bool withMSI = false) {
    nVOKAL_tPCIDevice record{};
    kal::pci::describe(module.pciHandle(), record);
    const bool msi = withMSI && nVOKAL230_pciRequestMSI(&record, 1) == 0;
    nVOAPAL200_tDeviceInfo info;
    std::memset(&info, 0, sizeof info);
    info.busType = nVOAPAL200_kBusTypePCI;
    info.pciHandle = record.pciHandle;
    info.driverName = "vokelvo_driver";
    info.busNumber = static_cast<uint8_t>(record.busNumber);
    info.deviceNumber = static_cast<uint8_t>(record.deviceNumber);
    info.functionNumber = static_cast<uint8_t>(record.functionNumber);
    info.vendorID = record.vendorID;
    info.deviceID = record.deviceID;
    info.subsystemVendorID = record.subsystemVendorID;
    info.subsystemID = record.subsystemID;
    info.revision = static_cast<uint8_t>(record.revision);
    for (const nVOKAL_tPCIResource& r : record.resources) {
        if ((r.flags & NVOKAL_PCI_RESOURCE_MEMORY) != 0) {
            info.memoryWindows[info.numberOfMemoryWindows++] = {r.start, r.size, 0};
        }
    }
    info.numaNode = nVOKAL1_getDeviceNUMANode(record.pciHandle);
    info.interruptNumber = record.interruptNumber;
    info.interruptType = msi ? nVOAPAL200_kInterruptTypeMSI : nVOAPAL200_kInterruptTypeLine;
    info.msiFlag = msi ? 1 : 0;
    return info;
}

// After a DMA test: no page list, kernel mapping or scatter-gather list left
// behind and no DMA fault noted by the stand-in; then its DMA state is cleared
// for the next test.
inline void expectNoDmaLeftovers(std::size_t pageListsAtStart) {
    EXPECT_EQ(kal::pagelists::live(), pageListsAtStart) << "page lists leaked";
    EXPECT_EQ(kal::pagelists::kernelMappings(), 0u);
    EXPECT_EQ(kal::dma::liveSGLs(), 0u);
    EXPECT_TRUE(kal::dma::faults().empty()) << ::testing::PrintToString(kal::dma::faults());
    kal::dma::clearFaults();
    kal::pagelists::resetPlacement();
}

} // namespace kelvo_test
