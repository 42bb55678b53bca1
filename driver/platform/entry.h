// The driver's entry and the eleven callbacks through which the kernel layer
// reaches the driver's devices. The product's driver entry
// (nVOAPAL200_driverEntry, in the core) hands its own part to
// nVOAPAL200_enterDriver: the platform knows nothing of the layers above it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nVOKAL.h"
#include "platform/cxxruntime.h"

// The I/O-control request header exchanged with user mode for every code
// but the two notifier codes (32 bytes, little-endian).
struct nVOAPAL200_tIOControlHeader {
    uint64_t inputAddress;  // user space
    uint64_t outputAddress; // user space
    uint32_t inputSize;
    uint32_t outputSize;
    uint32_t result; // set to 0 on receipt; written back only when the call leaves it non-zero
    uint32_t reserved;
};
static_assert(sizeof(nVOAPAL200_tIOControlHeader) == 32);
static_assert(offsetof(nVOAPAL200_tIOControlHeader, result) == 24);

// The payload of the open-a-notifier code (16 bytes).
struct nVOAPAL200_tCreateNotifierPayload {
    uint64_t cookie;
    uint32_t destination;
    uint32_t notifierId;
};
static_assert(sizeof(nVOAPAL200_tCreateNotifierPayload) == 16);

// Platform I/O-control codes.
constexpr uint32_t nVOAPAL200_kIOControlCreateNotifier =
    0x4010FF00;                                                   // argument: address of the 16-byte payload
constexpr uint32_t nVOAPAL200_kIOControlDestroyNotifier = 0xFF01; // argument: the notifier id (low 32 bits)

// What the product gives the driver entry: its add-device and unload
// callbacks and its initialiser table (nVOAPAL200_initializeCPPRunTime).
struct nVOAPAL200_tDriver {
    nVOKAL_tStatus (*addDevice)(struct nVOKAL_tPCIDevice* record, void** deviceContext);
    void (*unload)(void* argument);
    const nVOAPAL200_tInitializer* initializers;
    uint32_t initializerCount;
};

extern "C" {
// The body of the driver entry: runs the static initialisers, fills the
// descriptor with the driver's name, the platform's callbacks and the
// product's two, keeps it as the driver object and registers the driver. A
// refused registration runs the static finalisers and is returned unchanged.
nVOKAL_tStatus nVOAPAL200_enterDriver(nVOKAL_tDriverDescriptor* descriptor, const nVOAPAL200_tDriver& driver);
// The registered descriptor; null when the driver is not loaded.
nVOKAL_tDriverDescriptor* nVOAPAL200_getDriverObject();
void nVOAPAL200_setDriverObject(nVOKAL_tDriverDescriptor* descriptor);
// Null-terminated list of "nVOVersion_<key>=<value>" texts.
const char* const* nVOAPAL200_getVersionRecord();

nVOKAL_tStatus nVOAPAL200_open(void* unused, void** context);
void nVOAPAL200_close(void* context);
nVOKAL_tStatus nVOAPAL200_read(void* context, uint64_t userAddress, uint64_t size, uint64_t offset,
                               uint64_t* count);
nVOKAL_tStatus nVOAPAL200_write(void* context, uint64_t userAddress, uint64_t size, uint64_t offset,
                                uint64_t* count);
nVOKAL_tStatus nVOAPAL200_deviceIOControl(void* context, uint32_t code, uint64_t argument);
void nVOAPAL200_removeDevice(void* device);
void nVOAPAL200_destroyDevice(void* device);
nVOKAL_tStatus nVOAPAL200_mapMemory(void* context, uint16_t selector, nVOKAL_tHandle kernelMap,
                                    uint32_t* created, void** mapContext);
void nVOAPAL200_unmapMemory(void* mapContext);
}
