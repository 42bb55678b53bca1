#include "platform/entry.h"

#include "platform/cxxruntime.h"
#include "platform/device.h"
#include "platform/io_notifier.h"
#include "platform/kal_status.h"
#include "platform/user_buffer.h"
#include "platform/user_memory_map.h"
#include "platform/vosdbg.h"

using kelvo_driver::nVOAPAL000::descriptorOf;
using kelvo_driver::nVOAPAL000::tDevice;
using kelvo_driver::nVOAPAL000::tDeviceCore;
using kelvo_driver::nVOAPAL000::tDeviceInterface;
using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tIONotifierParams;
using kelvo_driver::nVOAPAL000::tSession;
using kelvo_driver::nVOAPAL000::tUserBuffer;
using kelvo_driver::nVOAPAL000::tUserMemoryMap;
using nVOAPALS100::tStatus;

namespace {

// The driver object: the registered descriptor.
nVOKAL_tDriverDescriptor* gDriverObject = nullptr;

const char* const kVersionRecord[] = {
    "nVOVersion_name=vokelvo_driver",
    "nVOVersion_platformInterface=200",
    "nVOVersion_kernelLayerInterface=250",
    nullptr,
};

nVOKAL_tStatus toKAL(const tStatus& status) {
    return status.isSuccess() ? nVOKAL_kSuccess : nVOAPAL200_statusToKALStatus(status.getCode());
}

tSession* sessionFromContext(void* context) {
    VOSDBG_ASSERT(context != nullptr);
    return static_cast<tSession*>(context);
}

// A read or a write: the session's device moves bytes between the user's
// buffer and the device; count (when given) receives how many.
using tTransfer = uint64_t (tDeviceCore::*)(const tEventDescriptor&, tUserBuffer&, tStatus&);
nVOKAL_tStatus transfer(void* context, uint64_t userAddress, uint64_t size, uint64_t* count,
                        tTransfer operation) {
    tSession* session = sessionFromContext(context);
    tStatus status;
    const tEventDescriptor descriptor = descriptorOf(session);
    tUserBuffer buffer(descriptor, userAddress, size);
    const uint64_t bytes = (session->getDevice()->*operation)(descriptor, buffer, status);
    if (count != nullptr) {
        *count = bytes;
    }
    return toKAL(status);
}

} // namespace

extern "C" nVOKAL_tDriverDescriptor* nVOAPAL200_getDriverObject() {
    return gDriverObject;
}

extern "C" void nVOAPAL200_setDriverObject(nVOKAL_tDriverDescriptor* descriptor) {
    gDriverObject = descriptor;
}

extern "C" const char* const* nVOAPAL200_getVersionRecord() {
    return kVersionRecord;
}

extern "C" nVOKAL_tStatus nVOAPAL200_enterDriver(nVOKAL_tDriverDescriptor* descriptor,
                                                 const nVOAPAL200_tDriver& driver) {
    VOSDBG_ASSERT(descriptor != nullptr);
    nVOAPAL200_initializeCPPRunTime(driver.initializers, driver.initializerCount);
    descriptor->name = KELVO_COMPONENT;
    descriptor->open = nVOAPAL200_open;
    descriptor->close = nVOAPAL200_close;
    descriptor->read = nVOAPAL200_read;
    descriptor->write = nVOAPAL200_write;
    descriptor->ioControl = nVOAPAL200_deviceIOControl;
    descriptor->unload = driver.unload;
    descriptor->addDevice = driver.addDevice;
    descriptor->removeDevice = nVOAPAL200_removeDevice;
    descriptor->mapMemory = nVOAPAL200_mapMemory;
    descriptor->unmapMemory = nVOAPAL200_unmapMemory;
    descriptor->destroyDevice = nVOAPAL200_destroyDevice;
    gDriverObject = descriptor;
    const nVOKAL_tStatus result = nVOKAL200_registerDriver(descriptor);
    if (result < 0) {
        // No unload will follow: nothing may keep pointing at the descriptor.
        gDriverObject = nullptr;
        nVOAPAL200_finalizeCPPRunTime();
    }
    return result;
}

extern "C" nVOKAL_tStatus nVOAPAL200_open(void*, void** context) {
    VOSDBG_ASSERT(context != nullptr && *context != nullptr);
    tStatus status;
    const tEventDescriptor descriptor = 0;
    auto* deviceInterface = static_cast<tDeviceInterface*>(*context);
    tDeviceCore* device = deviceInterface->getDevice();
    tSession* session = device->openSession(descriptor, deviceInterface, status);
    const nVOKAL_tStatus result = toKAL(status);
    if (status.isNotFatal() && session != nullptr) {
        if (result < 0) {
            // A warning leaves as a failure, and a failed open is never
            // closed: close the session now rather than leak it.
            const tEventDescriptor sessionDescriptor = descriptorOf(session);
            device->cleanup(sessionDescriptor);
            device->closeSession(sessionDescriptor, session);
            return result;
        }
        *context = session;
    }
    return result;
}

extern "C" void nVOAPAL200_close(void* context) {
    tSession* session = sessionFromContext(context);
    const tEventDescriptor descriptor = descriptorOf(session);
    tDeviceCore* device = session->getDevice();
    device->cleanup(descriptor);
    device->closeSession(descriptor, session);
}

extern "C" nVOKAL_tStatus nVOAPAL200_read(void* context, uint64_t userAddress, uint64_t size, uint64_t,
                                          uint64_t* count) {
    return transfer(context, userAddress, size, count, &tDeviceCore::read);
}

extern "C" nVOKAL_tStatus nVOAPAL200_write(void* context, uint64_t userAddress, uint64_t size, uint64_t,
                                           uint64_t* count) {
    return transfer(context, userAddress, size, count, &tDeviceCore::write);
}

extern "C" nVOKAL_tStatus nVOAPAL200_deviceIOControl(void* context, uint32_t code, uint64_t argument) {
    tSession* session = sessionFromContext(context);
    const tEventDescriptor descriptor = descriptorOf(session);
    tDeviceCore* device = session->getDevice();

    if (code == nVOAPAL200_kIOControlDestroyNotifier) {
        device->destroyIONotifier(descriptor, static_cast<uint32_t>(argument));
        return 0;
    }
    if (code == nVOAPAL200_kIOControlCreateNotifier) {
        tStatus status;
        nVOAPAL200_tCreateNotifierPayload payload = {};
        KELVO_SET_STATUS_FROM_KAL(
            status, nVOKAL100_replicateInboundIOControlBuffer(&payload, argument, sizeof(payload)));
        tIONotifierParams params = {payload.cookie, payload.destination};
        // Called in every case: it does nothing on a fatal status.
        device->createIONotifier(descriptor, payload.notifierId, params, status);
        return toKAL(status);
    }

    nVOAPAL200_tIOControlHeader header = {};
    const nVOKAL_tStatus copied =
        nVOKAL100_replicateInboundIOControlBuffer(&header, argument, sizeof(header));
    if (copied < 0) {
        return copied;
    }
    header.result = 0;
    tStatus status;
    const uint64_t result = session->getDeviceInterface()->decodeIOControl(
        descriptor, code, header.inputAddress, header.inputSize, header.outputAddress, header.outputSize,
        status);
    header.result = static_cast<uint32_t>(result);
    if (header.result != 0) {
        // The header was read whole, so argument + 32 does not wrap.
        nVOKAL100_replicateOutboundIOControlBuffer(argument + offsetof(nVOAPAL200_tIOControlHeader, result),
                                                   &header.result, sizeof(header.result));
    }
    return toKAL(status);
}

extern "C" nVOKAL_tStatus nVOAPAL200_mapMemory(void* context, uint16_t selector, nVOKAL_tHandle kernelMap,
                                               uint32_t* created, void** mapContext) {
    tSession* session = sessionFromContext(context);
    tStatus status;
    const tEventDescriptor descriptor = descriptorOf(session);
    tUserMemoryMap* map = new (status, false) tUserMemoryMap(descriptor, kernelMap, selector);
    if (map == nullptr) {
        // Reported as the failure it is, never as a mapping made.
        return toKAL(status);
    }
    session->getDevice()->mapMemory(descriptor, *map, status);
    if (status.isNotFatal()) {
        *mapContext = map;
        *created = 1;
    } else {
        delete map;
    }
    return toKAL(status);
}

extern "C" void nVOAPAL200_unmapMemory(void* mapContext) {
    VOSDBG_ASSERT(mapContext != nullptr);
    auto* map = static_cast<tUserMemoryMap*>(mapContext);
    const tEventDescriptor descriptor = map->getEventDescriptor();
    tSession* session = sessionFromContext(reinterpret_cast<void*>(static_cast<uintptr_t>(descriptor)));
    session->getDevice()->unmapMemory(descriptor, *map);
    delete map;
}

extern "C" void nVOAPAL200_removeDevice(void* device) {
    VOSDBG_ASSERT(device != nullptr);
    static_cast<tDevice*>(device)->remove();
}

extern "C" void nVOAPAL200_destroyDevice(void* device) {
    VOSDBG_ASSERT(device != nullptr);
    delete static_cast<tDevice*>(device);
}
