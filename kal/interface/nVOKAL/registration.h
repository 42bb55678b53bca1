/* Kernel-layer interface: registration of the driver, its device interfaces
 * and their properties, and the add events that tell user space about a new
 * interface.
 *
 * Handles are opaque and never 0 when valid. A kernel device handle is the one
 * the kernel layer hands to the add-device callback in the per-device context
 * word; interfaces and the device's own and bus properties are registered under
 * it, interface properties under the interface's handle.
 */
#ifndef NVOKAL_REGISTRATION_H
#define NVOKAL_REGISTRATION_H

#include "nVOKAL/base.h"

/* ---- the driver descriptor ------------------------------------------------
 * The kernel layer's record of a driver, handed to the driver's entry, which
 * fills the name and the eleven callbacks and registers it. The other words
 * are the kernel layer's own. */

struct nVOKAL_tPCIDevice;

/* open: the first argument is not used; context is the per-open context (the
 * interface's registration context on entry, replaced by the driver on success). */
typedef nVOKAL_tStatus (*nVOKAL_tOpenCallback)(void* unused, void** context);
/* close: the per-open context; called once, after every other call on the handle returned. */
typedef void (*nVOKAL_tCloseCallback)(void* context);
/* read and write: user range [userAddress, userAddress + size), file offset, byte count out. */
typedef nVOKAL_tStatus (*nVOKAL_tReadCallback)(void* context, uint64_t userAddress, uint64_t size,
                                               uint64_t offset, uint64_t* count);
typedef nVOKAL_tStatus (*nVOKAL_tWriteCallback)(void* context, uint64_t userAddress, uint64_t size,
                                                uint64_t offset, uint64_t* count);
/* I/O control: the control code and the caller's argument word (a user address or a value). */
typedef nVOKAL_tStatus (*nVOKAL_tIOControlCallback)(void* context, uint32_t code, uint64_t argument);
/* unload: argument is the descriptor. */
typedef void (*nVOKAL_tUnloadCallback)(void* argument);
/* add device: the kernel layer's PCI record; deviceContext holds the kernel
 * device handle on entry and the driver's device (or 0) on return. */
typedef nVOKAL_tStatus (*nVOKAL_tAddDeviceCallback)(struct nVOKAL_tPCIDevice* record, void** deviceContext);
/* remove and destroy: the driver's device (the per-device context). */
typedef void (*nVOKAL_tRemoveDeviceCallback)(void* device);
typedef void (*nVOKAL_tDestroyDeviceCallback)(void* device);
/* memory map: selector, the kernel layer's user map handle; on success the
 * driver sets *created to 1 and *mapContext to its map, handed to unmap. */
typedef nVOKAL_tStatus (*nVOKAL_tMapMemoryCallback)(void* context, uint16_t selector,
                                                    nVOKAL_tHandle kernelMap, uint32_t* created,
                                                    void** mapContext);
typedef void (*nVOKAL_tUnmapMemoryCallback)(void* mapContext);

typedef struct nVOKAL_tDriverDescriptor {
    uint64_t kernelWords[3];                     /* 0x00 */
    const char* name;                            /* 0x18 */
    uint64_t kernelWord20;                       /* 0x20 */
    nVOKAL_tOpenCallback open;                   /* 0x28 */
    nVOKAL_tCloseCallback close;                 /* 0x30 */
    nVOKAL_tReadCallback read;                   /* 0x38 */
    nVOKAL_tWriteCallback write;                 /* 0x40 */
    nVOKAL_tIOControlCallback ioControl;         /* 0x48 */
    nVOKAL_tUnloadCallback unload;               /* 0x50 */
    nVOKAL_tAddDeviceCallback addDevice;         /* 0x58 */
    nVOKAL_tRemoveDeviceCallback removeDevice;   /* 0x60 */
    nVOKAL_tMapMemoryCallback mapMemory;         /* 0x68 */
    nVOKAL_tUnmapMemoryCallback unmapMemory;     /* 0x70 */
    nVOKAL_tDestroyDeviceCallback destroyDevice; /* 0x78 */
    uint64_t kernelTail[8];                      /* 0x80 */
} nVOKAL_tDriverDescriptor;

#ifdef __cplusplus
static_assert(offsetof(nVOKAL_tDriverDescriptor, name) == 0x18, "descriptor layout");
static_assert(offsetof(nVOKAL_tDriverDescriptor, open) == 0x28, "descriptor layout");
static_assert(offsetof(nVOKAL_tDriverDescriptor, ioControl) == 0x48, "descriptor layout");
static_assert(offsetof(nVOKAL_tDriverDescriptor, addDevice) == 0x58, "descriptor layout");
static_assert(offsetof(nVOKAL_tDriverDescriptor, destroyDevice) == 0x78, "descriptor layout");
#endif

NVOKAL_BEGIN_DECLS

/* Registers the driver described by descriptor (the driver's record, filled by
 * its entry with its name and callbacks). A result of 0 or above is success;
 * a negative kernel-layer code is a refusal. */
nVOKAL_tStatus nVOKAL200_registerDriver(void* descriptor) NVOKAL_NOEXCEPT;
/* Unregisters the driver; argument is what the kernel layer passed to the
 * unload callback (the descriptor). */
void nVOKAL200_unregisterDriver(void* argument) NVOKAL_NOEXCEPT;

/* Registers the device interface name (NUL-terminated, at most 255
 * characters) of the device kernelDevice, as the interface at position index
 * of that device. context is what the kernel layer keeps as the per-open
 * context of every handle opened on the interface until the open callback
 * replaces it. Returns the interface handle, 0 when the interface cannot be
 * registered (a name already registered for the device included). */
nVOKAL_tHandle nVOKAL240_registerDeviceInterface(void* driverDescriptor, nVOKAL_tHandle kernelDevice,
                                                 const char* name, uint32_t index,
                                                 void* context) NVOKAL_NOEXCEPT;
/* Unregisters an interface. The handle must be registered: unregistering it
 * twice is a driver fault. */
void nVOKAL200_unregisterDeviceInterface(nVOKAL_tHandle interfaceHandle) NVOKAL_NOEXCEPT;
/* Tells user space that a registered interface is ready to be opened. */
void nVOKAL240_notifyUserspaceAddEvent(nVOKAL_tHandle interfaceHandle) NVOKAL_NOEXCEPT;

/* Property kinds: the device's own properties and the bus properties are kept
 * under the kernel device handle, interface properties under the interface
 * handle. */
enum { nVOKAL_kPropertyKindDevice = 0, nVOKAL_kPropertyKindBus = 1, nVOKAL_kPropertyKindInterface = 2 };

/* Registers the property name (NUL-terminated) of kind under owner with
 * length bytes copied from value (value may be null only with length 0).
 * Returns the property handle, 0 when it cannot be registered. */
nVOKAL_tHandle nVOKAL200_registerProperty(uint32_t kind, nVOKAL_tHandle owner, const char* name,
                                          const void* value, uint64_t length) NVOKAL_NOEXCEPT;
/* Unregisters a property. The handle must be registered: unregistering it
 * twice is a driver fault. */
void nVOKAL200_unregisterProperty(nVOKAL_tHandle propertyHandle) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
