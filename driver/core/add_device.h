// Add device: the product's check of the PCI identity and the device
// description it builds from the kernel layer's record.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/device_info.h"
#include "platform/entry.h"
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

// The product's part of the driver entry: its two callbacks and the driver's
// initialiser table (run from its last entry to its first: the capabilities
// table, then the trace stream).
extern const nVOAPAL200_tDriver kDriver;

} // namespace kelvo_driver

extern "C" {
// The driver entry the kernel layer calls: nVOAPAL200_enterDriver with the
// product's part (kelvo_driver::kDriver).
nVOKAL_tStatus nVOAPAL200_driverEntry(nVOKAL_tDriverDescriptor* descriptor);
// The product's add-device and unload callbacks.
nVOKAL_tStatus nVOAPAL200_addDevice(struct nVOKAL_tPCIDevice* record, void** deviceContext);
void nVOAPAL200_driverUnload(void* argument);
// Makes the product's device from the description and initialises it; null
// (the device destroyed again) when either step fails.
kelvo_driver::nVOAPAL000::tPCIDevice* nVOAPAL200_createDevice(const nVOAPAL200_tDeviceInfo& info,
                                                              nVOAPALS100::tStatus& status);
}
