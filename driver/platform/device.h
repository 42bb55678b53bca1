// tDevice: the device core as the kernel layer sees it. It registers the
// device's property lists, runs the remove request, and hands deferred
// procedure calls to the kernel layer.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/device_core.h"
#include "platform/property.h"

namespace kelvo_driver::nVOAPAL000 {

class tSecondaryInterruptHandler;

// A property of type 187: the record and the address of its bytes.
struct tBytesProperty {
    tProperty property;
    const void* bytes;
};

// Property type codes beyond those of platform/property.h.
constexpr uint64_t kPropertyTypeInt64 = 100;  // address of the value word, 8 bytes
constexpr uint64_t kPropertyTypeUInt64 = 101; // address of the value word, 8 bytes
// The value word holds a byte count; the bytes' address is the word after the
// record: such a property is a tBytesProperty.
constexpr uint64_t kPropertyTypeBytes = 187;

// Property kinds of registerPropertyList.
constexpr uint32_t kPropertyKindDevice = 0;
constexpr uint32_t kPropertyKindBus = 1;
constexpr uint32_t kPropertyKindInterface = 2;

class tDevice : public tDeviceCore {
public:
    // kernelDeviceWord points into the device description at the kernel
    // layer's device handle, which the physical-device word follows. It must
    // outlive the device.
    tDevice(const uint64_t* kernelDeviceWord, nVOAPALS100::tStatus& status);
    ~tDevice() override;

    // Fills the bus property list (slot 28); getBusProperties returns it,
    // null-terminated (slot 29).
    virtual void buildBusProperties() = 0;
    virtual tProperty* const* getBusProperties() = 0;

    // Registers each property of a null-terminated list (null: nothing) under
    // kind and owner handle. Nothing on a fatal status. When one is refused,
    // the part of this list registered so far is unregistered again and the
    // status becomes -52003.
    void registerPropertyList(uint32_t kind, nVOKAL_tHandle owner, tProperty* const* list,
                              nVOAPALS100::tStatus& status);
    // Unregisters every registered property of the list and clears its
    // handle; properties that hold no handle are skipped.
    static void unregisterPropertyList(tProperty* const* list);

    void registerDeviceProperties(nVOAPALS100::tStatus& status);
    void registerBusProperties(nVOAPALS100::tStatus& status);
    void registerInterfaceProperties(nVOAPALS100::tStatus& status);
    void unregisterDeviceProperties();
    void unregisterBusProperties();
    void unregisterInterfaceProperties();

    // The remove request: unregisters the properties, moves the device to
    // NotPresent and unregisters its interfaces (last first). Nothing when
    // the device is NotPresent already. Safe after a partial registration:
    // only what holds a handle is unregistered, and handles are cleared.
    void remove();

    // Hands the handler's DPC to the kernel layer (any level).
    void scheduleSecondaryHandler(tSecondaryInterruptHandler* handler);

    // Prints "<prefix>tDevice(<device>,kalDev:<handle>,pdo:<word>) (<state> from <previous>)<suffix>".
    void describe(const char* prefix, const char* suffix) const;

    nVOKAL_tHandle getKernelDeviceHandle() const;

private:
    const uint64_t* kernelDeviceWord_;
};

} // namespace kelvo_driver::nVOAPAL000
