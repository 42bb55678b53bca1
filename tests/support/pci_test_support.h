// Helpers for tests of the PCI device: the device description that add device
// makes from a plugged simulated module.
#pragma once

#include <cstring>

#include "nVOKAL.h"
#include "pci_bus.h"
#include "platform/device_info.h"
#include "sim.h"

namespace kelvo_test {

inline nVOAPAL200_tDeviceInfo deviceInfoOf(const sim::Module& module) {
    nVOKAL_tPCIDevice record{};
    kal::pci::describe(module.pciHandle(), record);
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
    return info;
}

} // namespace kelvo_test
