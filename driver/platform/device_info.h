// The device description: the PCI function as add device assembles it from
// the kernel layer's record. The PCI device keeps its own copy.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nVOKAL.h"

constexpr uint32_t nVOAPAL200_kBusTypePCI = 1;
// Interrupt types of the description.
constexpr uint32_t nVOAPAL200_kInterruptTypeMSI = 0;
constexpr uint32_t nVOAPAL200_kInterruptTypeLine = 6;
constexpr uint32_t nVOAPAL200_kMaxWindows = 6;

// One I/O or memory window: base (port or physical address) and size.
struct nVOAPAL200_tWindow {
    uint64_t base;
    uint64_t size;
    uint64_t reserved; // left 0
};

// Low 32 bits of one resource's start and size, whatever its kind.
struct nVOAPAL200_tResourceLow {
    uint32_t start;
    uint32_t size;
};

struct nVOAPAL200_tDeviceInfo {
    uint32_t busType;            // nVOAPAL200_kBusTypePCI
    void* owner;                 // the tPCIDevice holding this copy
    uint64_t kernelDeviceHandle; // the kernel layer's device handle (per-device context word)
    nVOKAL_tHandle pciHandle;    // the kernel layer's handle of the PCI function
    const char* driverName;      // "vokelvo_driver"
    uint64_t interruptCallback;  // written when the interrupt is reserved
    uint64_t interruptContext;
    uint32_t interruptNumber;
    uint32_t interruptType; // nVOAPAL200_kInterruptTypeLine or ...MSI
    uint8_t numberOfIOWindows;
    nVOAPAL200_tWindow ioWindows[nVOAPAL200_kMaxWindows];
    uint8_t numberOfMemoryWindows;
    nVOAPAL200_tWindow memoryWindows[nVOAPAL200_kMaxWindows]; // window 0: the bridge's registers
    uint16_t vendorID; // the four IDs read together form the identity word
    uint16_t deviceID;
    uint16_t subsystemVendorID;
    uint16_t subsystemID;
    uint8_t revision;
    uint8_t reserved0;
    uint8_t busNumber;
    uint8_t deviceNumber;
    uint8_t functionNumber;
    uint32_t msiFlag; // 1 when an MSI vector was granted
    nVOAPAL200_tResourceLow resourceLow[nVOAPAL200_kMaxWindows];
    uint8_t pcieMaxLinkSpeed; // the four link fields stay 0 until initialize
    uint8_t pcieLinkSpeed;
    uint8_t pcieMaxLinkWidth;
    uint8_t pcieLinkWidth;
    int32_t numaNode;     // negative when none
    uint64_t reserved[4]; // further words, left 0
};

static_assert(offsetof(nVOAPAL200_tDeviceInfo, vendorID) % 8 == 0, "the identity word is read as one u64");
