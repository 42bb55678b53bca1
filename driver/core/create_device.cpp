// The product's device does not exist yet: an accepted module is not made
// into a device.
#include "core/add_device.h"

extern "C" kelvo_driver::nVOAPAL000::tPCIDevice* nVOAPAL200_createDevice(const nVOAPAL200_tDeviceInfo&,
                                                                         nVOAPALS100::tStatus& status) {
    KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotImplemented);
    return nullptr;
}
