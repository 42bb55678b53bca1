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
enum {
    nVOKAL_kPropertyKindDevice = 0,
    nVOKAL_kPropertyKindBus = 1,
    nVOKAL_kPropertyKindInterface = 2
};

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
