// The device's two I/O-control interfaces: "smu_kelvo", which decodes every
// code of the code table, and "nPXICOOLING_17_2_pxiCooling", which decodes
// the two cooling codes and answers them exactly as "smu_kelvo" does.
//
// Both are templates over the device class and its session class (see
// DeviceAccess for what they need of them); each holds only the device
// pointer besides the fields of tDeviceInterface. A code an interface does
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

// A decoded code and its stub, as a member of the interface class I.
template <class I> struct StubEntry {
    uint32_t code;
    uint64_t (I::*stub)(const nVOAPAL000::tEventDescriptor&, uint64_t, uint64_t, uint64_t, uint64_t,
                        nVOAPALS100::tStatus&);
};

// The stub of a code among entries sorted by code (binary search), or null.
template <class I, size_t N> const StubEntry<I>* findStub(const StubEntry<I> (&entries)[N], uint32_t code) {
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

template <class I, size_t N> constexpr bool sortedByCode(const StubEntry<I> (&entries)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (entries[i - 1].code >= entries[i].code) {
            return false;
        }
    }
    return true;
}

} // namespace ioctl

#define KELVO_DECLARE_STUB(op, in, out, level)                                                                 \
    uint64_t unmarshall_##op(const nVOAPAL000::tEventDescriptor& event, uint64_t input, uint64_t inputSize,    \
                             uint64_t output, uint64_t outputSize, nVOAPALS100::tStatus& status) {             \
        return ioctl::unmarshall<Device, Session, ioctl::Op::op>(*device_, event, input, inputSize, output,    \
                                                                 outputSize, status);                          \
    }
#define KELVO_STUB_ENTRY(op, in, out, level) {KELVO_IOCTL_##op, &Self::unmarshall_##op},

template <class Device, class Session> class tInterfaceTemplate_kelvo : public nVOAPAL000::tDeviceInterface {
    using Self = tInterfaceTemplate_kelvo;

public:
    static constexpr const char* kName = "smu_kelvo";

    explicit tInterfaceTemplate_kelvo(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : tDeviceInterface(device, kName, properties), device_(device) {}
    ~tInterfaceTemplate_kelvo() override {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
        static constexpr ioctl::StubEntry<Self> kEntries[] = {KELVO_IOCTL_TABLE(KELVO_STUB_ENTRY)};
        static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == KELVO_IOCTL_CODE_COUNT);
        static_assert(ioctl::sortedByCode(kEntries));
        if (const ioctl::StubEntry<Self>* entry = ioctl::findStub(kEntries, code)) {
            return (this->*(entry->stub))(event, input, inputSize, output, outputSize, status);
        }
        return tDeviceInterface::decodeIOControl(event, code, input, inputSize, output, outputSize, status);
    }

    KELVO_IOCTL_TABLE(KELVO_DECLARE_STUB)

private:
    Device* device_;
};

template <class Device, class Session> class tInterfaceTemplate_pxiCooling : public nVOAPAL000::tDeviceInterface {
    using Self = tInterfaceTemplate_pxiCooling;

public:
    static constexpr const char* kName = "nPXICOOLING_17_2_pxiCooling";

    explicit tInterfaceTemplate_pxiCooling(Device* device, nVOAPAL000::tProperty* const* properties = nullptr)
        : tDeviceInterface(device, kName, properties), device_(device) {}
    ~tInterfaceTemplate_pxiCooling() override {}

    uint64_t decodeIOControl(const nVOAPAL000::tEventDescriptor& event, uint32_t code, uint64_t input,
                             uint64_t inputSize, uint64_t output, uint64_t outputSize,
                             nVOAPALS100::tStatus& status) override {
        static constexpr ioctl::StubEntry<Self> kEntries[] = {KELVO_PXICOOLING_TABLE(KELVO_STUB_ENTRY)};
        static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == KELVO_PXICOOLING_CODE_COUNT);
        static_assert(ioctl::sortedByCode(kEntries));
        if (const ioctl::StubEntry<Self>* entry = ioctl::findStub(kEntries, code)) {
            return (this->*(entry->stub))(event, input, inputSize, output, outputSize, status);
        }
        return tDeviceInterface::decodeIOControl(event, code, input, inputSize, output, outputSize, status);
    }

    KELVO_PXICOOLING_TABLE(KELVO_DECLARE_STUB)

private:
    Device* device_;
};

#undef KELVO_DECLARE_STUB
#undef KELVO_STUB_ENTRY

} // namespace kelvo_driver
