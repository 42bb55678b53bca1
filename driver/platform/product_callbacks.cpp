// The product's add-device and unload callbacks.
//
// Until the product's device exists, add device offers no device: the kernel
// layer binds the driver to nothing it could serve.
#include "platform/cxxruntime.h"
#include "platform/entry.h"
#include "platform/kal_status.h"
#include "platform/status.h"

extern "C" nVOKAL_tStatus nVOAPAL200_addDevice(struct nVOKAL_tPCIDevice*, void** deviceContext) {
    if (deviceContext != nullptr) {
        *deviceContext = nullptr;
    }
    return nVOAPAL200_statusToKALStatus(nVOAPALS100::tStatus::kNotImplemented);
}

extern "C" void nVOAPAL200_driverUnload(void* argument) {
    nVOKAL200_unregisterDriver(argument);
    nVOAPAL200_setDriverObject(nullptr);
    nVOAPAL200_finalizeCPPRunTime();
}
