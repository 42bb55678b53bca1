// The device's two I/O-control interfaces: "smu_kelvo", which answers every
// code of the code table, and "nPXICOOLING_17_2_pxiCooling", which answers
// the two cooling codes exactly as "smu_kelvo" does.
//
// Both are templates over the device class and its session class (see
// DeviceAccess for what they need of them). A code an interface does not
// know goes to the device's own decodeIOControl, whose default answers
// -52002 and writes nothing.
#pragma once

#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "core/ioctl/device_access.h"
#include "core/ioctl/stub.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver {

template <class Device, class Session> class tInterfaceTemplate_kelvo : public nVOAPAL000::tDeviceInterface {
    using Access = ioctl::DeviceAccess<Device, Session>;

public:
    static constexpr const char* kName = "smu_kelvo";

    explicit tInterfaceTemplate_kelvo(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : tDeviceInterface(device, kName, properties), device_(device) {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
        if (const ioctl::Row<Access>* row = ioctl::findRow<Access>(code)) {
            return ioctl::dispatch(*row, *device_, event, input, inputSize, output, outputSize, status);
        }
        return tDeviceInterface::decodeIOControl(event, code, input, inputSize, output, outputSize, status);
    }

private:
    Device* device_;
};

template <class Device, class Session>
class tInterfaceTemplate_pxiCooling : public nVOAPAL000::tDeviceInterface {
    using Access = ioctl::DeviceAccess<Device, Session>;

public:
    static constexpr const char* kName = "nPXICOOLING_17_2_pxiCooling";

    explicit tInterfaceTemplate_pxiCooling(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : tDeviceInterface(device, kName, properties), device_(device) {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
#define KELVO_COOLING_CODE(op, in, out) KELVO_IOCTL_##op,
        static constexpr uint32_t kCodes[] = {KELVO_PXICOOLING_TABLE(KELVO_COOLING_CODE)};
#undef KELVO_COOLING_CODE
        for (uint32_t known : kCodes) {
            if (code == known) {
                return ioctl::dispatch(*ioctl::findRow<Access>(code), *device_, event, input, inputSize,
                                       output, outputSize, status);
            }
        }
        return tDeviceInterface::decodeIOControl(event, code, input, inputSize, output, outputSize, status);
    }

private:
    Device* device_;
};

} // namespace kelvo_driver
