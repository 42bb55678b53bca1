#include "platform/device.h"

#include "platform/property.h"
#include "platform/secondary_interrupt.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {

using nVOAPALS100::tStatus;

// What a property hands to the kernel layer, by its type code. False for a
// type code the kernel layer does not know.
bool propertyValue(const tProperty& property, const void*& value, uint64_t& length) {
    switch (property.typeCode) {
    case kPropertyTypeString: {
        const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(property.value));
        if (text == nullptr || text[0] == '\0') {
            // A missing text is registered as the empty one: the kernel layer
            // reads the one byte it is told about.
            value = "";
            length = 1;
        } else {
            value = text;
            length = vosdbg_strlen(text) + 1;
        }
        return true;
    }
    case kPropertyTypeInt32:
    case kPropertyTypeUInt32:
        value = &property.value;
        length = 4;
        return true;
    case kPropertyTypeInt64:
    case kPropertyTypeUInt64:
        value = &property.value;
        length = 8;
        return true;
    case kPropertyTypeBytes:
        value = reinterpret_cast<const tBytesProperty&>(property).bytes;
        length = property.value;
        return value != nullptr || length == 0;
    default:
        return false;
    }
}

} // namespace

tDevice::tDevice(const uint64_t* kernelDeviceWord, tStatus& status)
    : tDeviceCore(status), kernelDeviceWord_(kernelDeviceWord) {}

tDevice::~tDevice() {}

nVOKAL_tHandle tDevice::getKernelDeviceHandle() const {
    return kernelDeviceWord_ == nullptr
               ? nullptr
               : reinterpret_cast<nVOKAL_tHandle>(static_cast<uintptr_t>(kernelDeviceWord_[0]));
}

void tDevice::registerPropertyList(uint32_t kind, nVOKAL_tHandle owner, tProperty* const* list,
                                   tStatus& status) {
    if (status.isFatal() || list == nullptr) {
        return;
    }
    for (uint32_t i = 0; list[i] != nullptr; ++i) {
        tProperty& property = *list[i];
        const void* value = nullptr;
        uint64_t length = 0;
        nVOKAL_tHandle handle = nullptr;
        if (propertyValue(property, value, length)) {
            handle = nVOKAL200_registerProperty(kind, owner, property.name, value, length);
        }
        if (handle == nullptr) {
            for (uint32_t j = 0; j < i; ++j) {
                if (list[j]->kernelHandle != 0) {
                    nVOKAL200_unregisterProperty(
                        reinterpret_cast<nVOKAL_tHandle>(static_cast<uintptr_t>(list[j]->kernelHandle)));
                    list[j]->kernelHandle = 0;
                }
            }
            KELVO_SET_STATUS(status, tStatus::kUnsupportedValue);
            return;
        }
        property.kernelHandle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    }
}

void tDevice::unregisterPropertyList(tProperty* const* list) {
    if (list == nullptr) {
        return;
    }
    for (uint32_t i = 0; list[i] != nullptr; ++i) {
        if (list[i]->kernelHandle != 0) {
            nVOKAL200_unregisterProperty(
                reinterpret_cast<nVOKAL_tHandle>(static_cast<uintptr_t>(list[i]->kernelHandle)));
            list[i]->kernelHandle = 0;
        }
    }
}

void tDevice::registerDeviceProperties(tStatus& status) {
    registerPropertyList(kPropertyKindDevice, getKernelDeviceHandle(), getDeviceProperties(), status);
}

void tDevice::registerBusProperties(tStatus& status) {
    registerPropertyList(kPropertyKindBus, getKernelDeviceHandle(), getBusProperties(), status);
}

void tDevice::registerInterfaceProperties(tStatus& status) {
    tDeviceInterface* const* interfaces = getDeviceInterfaces();
    if (interfaces == nullptr) {
        return;
    }
    for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
        // An interface that is not registered has no owner to hold properties.
        if (interfaces[i]->getKernelHandle() != nullptr) {
            registerPropertyList(kPropertyKindInterface, interfaces[i]->getKernelHandle(),
                                 interfaces[i]->getProperties(), status);
        }
    }
}

void tDevice::unregisterDeviceProperties() {
    unregisterPropertyList(getDeviceProperties());
}

void tDevice::unregisterBusProperties() {
    unregisterPropertyList(getBusProperties());
}

void tDevice::unregisterInterfaceProperties() {
    tDeviceInterface* const* interfaces = getDeviceInterfaces();
    if (interfaces == nullptr) {
        return;
    }
    for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
        unregisterPropertyList(interfaces[i]->getProperties());
    }
}

void tDevice::remove() {
    if (getPnPState() == kPnPStateNotPresent) {
        return;
    }
    unregisterInterfaceProperties();
    unregisterDeviceProperties();
    unregisterBusProperties();
    tStatus local;
    commonChangePnPState(tEventDescriptor(0), kPnPStateNotPresent, kSuspendReasonRemove, false, local);
    tDeviceInterface* const* interfaces = getDeviceInterfaces();
    if (interfaces == nullptr) {
        return;
    }
    uint32_t count = 0;
    while (interfaces[count] != nullptr) {
        ++count;
    }
    while (count > 0) {
        tDeviceInterface* deviceInterface = interfaces[--count];
        if (deviceInterface->getKernelHandle() != nullptr) {
            nVOKAL200_unregisterDeviceInterface(deviceInterface->getKernelHandle());
            deviceInterface->setKernelHandle(nullptr);
        }
    }
}

void tDevice::scheduleSecondaryHandler(tSecondaryInterruptHandler* handler) {
    VOSDBG_ASSERT(handler != nullptr);
    if (handler == nullptr) {
        return;
    }
    nVOKAL100_scheduleDPC(handler->getDPC(), handler);
}

void tDevice::describe(const char* prefix, const char* suffix) const {
    const void* kernelDevice = getKernelDeviceHandle();
    const void* physicalDevice =
        kernelDeviceWord_ == nullptr
            ? nullptr
            : reinterpret_cast<const void*>(static_cast<uintptr_t>(kernelDeviceWord_[1]));
    vosdbg_printf("%stDevice(%p,kalDev:%p,pdo:%p) (%s from %s)%s", prefix != nullptr ? prefix : "",
                  static_cast<const void*>(this), kernelDevice, physicalDevice,
                  getPnPStateName(getPnPState()), getPnPStateName(getPreviousPnPState()),
                  suffix != nullptr ? suffix : "");
}

} // namespace kelvo_driver::nVOAPAL000
