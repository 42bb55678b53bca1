// Add device: the product's check of the PCI identity and the device
// description it builds from the kernel layer's record.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/device_info.h"
#include "platform/pci_device.h"
#include "platform/status.h"

namespace kelvo_driver {

// Fills the description from the record: the IDs, bus position, windows (at
// most six resources; a resource with both flags counts as an I/O window),
// the low words of every resource, the line interrupt, the NUMA node and the
// handles. The MSI fields are add device's.
void describePCIFunction(const nVOKAL_tPCIDevice& record, uint64_t kernelDeviceHandle,
                         nVOAPAL200_tDeviceInfo& info);
// Vendor, device, subsystem vendor and subsystem ID as one word (vendor in the low bits).
uint64_t identityWord(const nVOAPAL200_tDeviceInfo& info);
// One Solstra and two Duskmere identities.
bool isAcceptedIdentity(uint64_t identity);

} // namespace kelvo_driver

extern "C" {
// Makes the product's device from the description and initialises it; null
// (the device destroyed again) when either step fails.
kelvo_driver::nVOAPAL000::tPCIDevice* nVOAPAL200_createDevice(const nVOAPAL200_tDeviceInfo& info,
                                                              nVOAPALS100::tStatus& status);
}
