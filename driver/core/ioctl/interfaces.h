// The device's two I/O-control interfaces: "smu_kelvo", which decodes every
// code of the code table, and "nPXICOOLING_17_2_pxiCooling", which decodes
// the two cooling codes and answers them exactly as "smu_kelvo" does.
//
// Both are templates over the device class and its session class (see
// DeviceAccess for what they need of them) and differ only in name and code
// table; tCodeTableInterface holds the device pointer and does the decoding. A code an interface does
// not know goes to the device's own decodeIOControl, whose default answers
// -52002 and writes nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "core/ioctl/device_access.h"
#include "core/ioctl/stub.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver {

namespace ioctl {

// A decoded code and its stub for the device class Device.
template <class Device> struct StubEntry {
    uint32_t code;
    uint64_t (*stub)(Device&, const nVOAPAL000::tEventDescriptor&, uint64_t, uint64_t, uint64_t, uint64_t,
                     nVOAPALS100::tStatus&);
};

// The stub of a code among entries sorted by code (binary search), or null.
template <class Device, size_t N>
const StubEntry<Device>* findStub(const StubEntry<Device> (&entries)[N], uint32_t code) {
    size_t low = 0;
    size_t high = N;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (entries[middle].code < code) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < N && entries[low].code == code ? &entries[low] : nullptr;
}

template <class Device, size_t N> constexpr bool sortedByCode(const StubEntry<Device> (&entries)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (entries[i - 1].code >= entries[i].code) {
            return false;
        }
    }
    return true;
}

// What both interfaces share: the device pointer and the decoding of a code
// through a sorted table of stubs.
template <class Device> class tCodeTableInterface : public nVOAPAL000::tDeviceInterface {
protected:
    using Entry = StubEntry<Device>;

    tCodeTableInterface(Device* device, const char* name, nVOAPAL000::tProperty* const* properties)
        : tDeviceInterface(device, name, properties), device_(device) {}

    template <size_t N>
    uint64_t decode(const Entry (&entries)[N], const nVOAPAL000::tEventDescriptor& event, uint32_t code,
                    uint64_t input, uint64_t inputSize, uint64_t output, uint64_t outputSize,
                    nVOAPALS100::tStatus& status) {
        if (const Entry* entry = findStub(entries, code)) {
            return entry->stub(*device_, event, input, inputSize, output, outputSize, status);
        }
        return tDeviceInterface::decodeIOControl(event, code, input, inputSize, output, outputSize, status);
    }

private:
    Device* device_;
};

} // namespace ioctl

#define KELVO_STUB_ENTRY(op, in, out, level)                                                                 \
    {KELVO_IOCTL_##op, &ioctl::unmarshall<Device, Session, ioctl::Op::op>},

template <class Device, class Session>
class tInterfaceTemplate_kelvo : public ioctl::tCodeTableInterface<Device> {
    using Entry = typename ioctl::tCodeTableInterface<Device>::Entry;

public:
    static constexpr const char* kName = "smu_kelvo";

    explicit tInterfaceTemplate_kelvo(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : ioctl::tCodeTableInterface<Device>(device, kName, properties) {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
        static constexpr Entry kEntries[] = {KELVO_IOCTL_TABLE(KELVO_STUB_ENTRY)};
        static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == KELVO_IOCTL_CODE_COUNT);
        static_assert(ioctl::sortedByCode(kEntries));
        return this->decode(kEntries, event, code, input, inputSize, output, outputSize, status);
    }
};

template <class Device, class Session>
class tInterfaceTemplate_pxiCooling : public ioctl::tCodeTableInterface<Device> {
    using Entry = typename ioctl::tCodeTableInterface<Device>::Entry;

public:
    static constexpr const char* kName = "nPXICOOLING_17_2_pxiCooling";

    explicit tInterfaceTemplate_pxiCooling(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : ioctl::tCodeTableInterface<Device>(device, kName, properties) {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
        static constexpr Entry kEntries[] = {KELVO_PXICOOLING_TABLE(KELVO_STUB_ENTRY)};
        static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == KELVO_PXICOOLING_CODE_COUNT);
        static_assert(ioctl::sortedByCode(kEntries));
        return this->decode(kEntries, event, code, input, inputSize, output, outputSize, status);
    }
};

#undef KELVO_STUB_ENTRY

} // namespace kelvo_driver
