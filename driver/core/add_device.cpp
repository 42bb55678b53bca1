// The product's two driver-descriptor callbacks: add device, which turns a
// PCI function the kernel layer binds to the driver into a started device
// with its interfaces and properties published, and unload.
#include "core/add_device.h"

#include "framework/product_caps.h"
#include "kelvo/product_ids.h"
#include "nVOKAL.h"
#include "platform/cxxruntime.h"
#include "platform/entry.h"
#include "platform/kal_status.h"
#include "platform/vosdbg.h"

using kelvo_driver::nVOAPAL000::kPnPStateReady;
using kelvo_driver::nVOAPAL000::kSuspendReasonStart;
using kelvo_driver::nVOAPAL000::tDeviceInterface;
using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tPCIDevice;
using nVOAPALS100::tStatus;

namespace kelvo_driver {

namespace {

// The identities add device accepts, in the order they are compared.
constexpr uint64_t kAcceptedIdentities[] = {
    KELVO_PCI_IDENTITY_OF(KELVO_SUBSYSTEM_ID_SOLSTRA),
    KELVO_PCI_IDENTITY_OF(KELVO_SUBSYSTEM_ID_DUSKMERE_A),
    KELVO_PCI_IDENTITY_OF(KELVO_SUBSYSTEM_ID_DUSKMERE_B),
};

// Registers the interfaces in list order. When one is refused, those
// registered so far are unregistered, last first, and their handles cleared,
// so that nothing later unregisters them again; -52000.
void registerInterfaces(tPCIDevice& device, tStatus& status) {
    tDeviceInterface* const* interfaces = device.getDeviceInterfaces();
    if (status.isFatal() || interfaces == nullptr) {
        return;
    }
    nVOKAL_tHandle kernelDevice = device.getKernelDeviceHandle();
    for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
        nVOKAL_tHandle handle = nVOKAL240_registerDeviceInterface(nVOAPAL200_getDriverObject(), kernelDevice,
                                                                  interfaces[i]->getName(), i, interfaces[i]);
        if (handle == nullptr) {
            for (uint32_t j = i; j > 0; --j) {
                nVOKAL200_unregisterDeviceInterface(interfaces[j - 1]->getKernelHandle());
                interfaces[j - 1]->setKernelHandle(nullptr);
            }
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
            return;
        }
        interfaces[i]->setKernelHandle(handle);
    }
}

void announceInterfaces(tPCIDevice& device) {
    tDeviceInterface* const* interfaces = device.getDeviceInterfaces();
    if (interfaces == nullptr) {
        return;
    }
    for (uint32_t i = 0; interfaces[i] != nullptr; ++i) {
        nVOKAL240_notifyUserspaceAddEvent(interfaces[i]->getKernelHandle());
    }
}

} // namespace

void describePCIFunction(const nVOKAL_tPCIDevice& record, uint64_t kernelDeviceHandle,
                         nVOAPAL200_tDeviceInfo& info) {
    nVOKAL240_memSet(&info, 0, sizeof(info));
    info.busType = nVOAPAL200_kBusTypePCI;
    info.busNumber = static_cast<uint8_t>(record.busNumber);
    info.deviceNumber = static_cast<uint8_t>(record.deviceNumber);
    info.functionNumber = static_cast<uint8_t>(record.functionNumber);
    info.vendorID = record.vendorID;
    info.deviceID = record.deviceID;
    info.subsystemVendorID = record.subsystemVendorID;
    info.subsystemID = record.subsystemID;
    info.revision = static_cast<uint8_t>(record.revision);
    info.numaNode = nVOKAL1_getDeviceNUMANode(record.pciHandle);

    uint8_t ioWindows = 0;
    uint8_t memoryWindows = 0;
    for (uint32_t i = 0; i < nVOAPAL200_kMaxWindows; ++i) {
        const nVOKAL_tPCIResource& resource = record.resources[i];
        info.resourceLow[i].start = static_cast<uint32_t>(resource.start);
        info.resourceLow[i].size = static_cast<uint32_t>(resource.size);
        if ((resource.flags & NVOKAL_PCI_RESOURCE_IO) != 0) {
            info.ioWindows[ioWindows++] = {resource.start, resource.size, 0};
        } else if ((resource.flags & NVOKAL_PCI_RESOURCE_MEMORY) != 0) {
            info.memoryWindows[memoryWindows++] = {resource.start, resource.size, 0};
        }
    }
    if (ioWindows != 0) {
        info.numberOfIOWindows = ioWindows;
    }
    if (memoryWindows != 0) {
        info.numberOfMemoryWindows = memoryWindows;
    }
    if (record.lineInterrupt != 0) {
        info.interruptType = nVOAPAL200_kInterruptTypeLine;
        info.interruptNumber = record.interruptNumber;
    }
    info.kernelDeviceHandle = kernelDeviceHandle;
    info.pciHandle = record.pciHandle;
    info.driverName = KELVO_COMPONENT;
}

uint64_t identityWord(const nVOAPAL200_tDeviceInfo& info) {
    uint64_t word = 0;
    __builtin_memcpy(&word, &info.vendorID, sizeof(word));
    return word;
}

bool isAcceptedIdentity(uint64_t identity) {
    for (uint64_t accepted : kAcceptedIdentities) {
        if (identity == accepted) {
            return true;
        }
    }
    return false;
}

} // namespace kelvo_driver

extern "C" nVOKAL_tStatus nVOAPAL200_addDevice(struct nVOKAL_tPCIDevice* record, void** deviceContext) {
    VOSDBG_ASSERT(record != nullptr && deviceContext != nullptr);
    tStatus status;
    nVOAPAL200_tDeviceInfo info;
    kelvo_driver::describePCIFunction(*record, reinterpret_cast<uintptr_t>(*deviceContext), info);

    if (!kelvo_driver::isAcceptedIdentity(kelvo_driver::identityWord(info))) {
        vosdbg_print("Got a device we don't recognize. Should never happened.\n");
        KELVO_SET_STATUS(status, tStatus::kUnsupportedValue);
        *deviceContext = nullptr;
        return nVOAPAL200_statusToKALStatus(status.getCode());
    }

    if (nVOKAL230_pciRequestMSI(record, 1) == 0) {
        info.interruptNumber = record->interruptNumber;
        info.interruptType = nVOAPAL200_kInterruptTypeMSI;
        info.msiFlag = 1;
    }

    tPCIDevice* device = nVOAPAL200_createDevice(info, status);
    if (device == nullptr || status.isFatal()) {
        *deviceContext = nullptr;
        return nVOAPAL200_statusToKALStatus(status.getCode());
    }
    *deviceContext = device;

    device->commonChangePnPState(tEventDescriptor(0), kPnPStateReady, kSuspendReasonStart, false, status);
    kelvo_driver::registerInterfaces(*device, status);
    if (status.isNotFatal()) {
        device->buildBusProperties();
        device->registerBusProperties(status);
        device->registerDeviceProperties(status);
        device->registerInterfaceProperties(status);
    }
    if (status.isNotFatal()) {
        kelvo_driver::announceInterfaces(*device);
        return nVOAPAL200_statusToKALStatus(status.getCode());
    }
    nVOAPAL200_removeDevice(device);
    nVOAPAL200_destroyDevice(device);
    *deviceContext = nullptr;
    return nVOAPAL200_statusToKALStatus(status.getCode());
}

extern "C" void nVOAPAL200_driverUnload(void* argument) {
    nVOKAL200_unregisterDriver(argument);
    nVOAPAL200_setDriverObject(nullptr);
    nVOAPAL200_finalizeCPPRunTime();
}

namespace {

const nVOAPAL200_tInitializer kInitializers[] = {
    nVOAPAL200_initializeTrace,
    corran_caps_initializeProductCaps,
};

} // namespace

const nVOAPAL200_tDriver kelvo_driver::kDriver = {
    nVOAPAL200_addDevice,
    nVOAPAL200_driverUnload,
    kInitializers,
    sizeof(kInitializers) / sizeof(kInitializers[0]),
};

extern "C" nVOKAL_tStatus nVOAPAL200_driverEntry(nVOKAL_tDriverDescriptor* descriptor) {
    return nVOAPAL200_enterDriver(descriptor, kelvo_driver::kDriver);
}
