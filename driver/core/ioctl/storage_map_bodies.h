// The operation bodies of the storage-map codes that address a map by name,
// and of the two all-maps checks. Each storage-map body calls the storage-map
// dispatcher's operation of the same name with the record's fields in record
// order; the dispatcher copies the name and the data from and to user memory
// itself and checks every size and range before it allocates anything.
#pragma once

#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "core/ioctl/device_window_bodies.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

namespace detail {

template <class Access, class Device> auto* mapDispatcher(Device& device, nVOAPALS100::tStatus& status) {
    return usableDispatcher(Access::storageMapDispatcher(device), status);
}

} // namespace detail

template <> struct Operation<Op::storageMap_flush> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            maps->flush(event, in.nameAddress, in.nameLength, in.force != 0, status);
        }
    }
};

template <> struct Operation<Op::storageMap_refresh> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            maps->refresh(event, in.nameAddress, in.nameLength, status);
        }
    }
};

template <> struct Operation<Op::storageMap_getElementCount> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            out.count = maps->getElementCount(event, in.nameAddress, in.nameLength, in.fieldId, status);
        }
    }
};

template <> struct Operation<Op::storageMap_getElementSize> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            out.size = maps->getElementSize(event, in.nameAddress, in.nameLength, in.fieldId, status);
        }
    }
};

template <> struct Operation<Op::storageMap_setRaw> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            maps->setRaw(event, in.nameAddress, in.nameLength, in.fieldId, in.firstElement, in.elementCount,
                         in.buffer, in.elementSize, status);
        }
    }
};

template <> struct Operation<Op::storageMap_getRaw> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            maps->getRaw(event, in.nameAddress, in.nameLength, in.fieldId, in.firstElement, in.elementCount,
                         in.buffer, in.elementSize, status);
        }
    }
};

template <> struct Operation<Op::storageMap_isChecksumValid> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* maps = detail::mapDispatcher<Access>(device, status)) {
            out.valid = maps->isChecksumValid(event, in.nameAddress, in.nameLength, status) ? 1 : 0;
        }
    }
};

template <> struct Operation<Op::corran_areStorageMapChecksumsValid> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.allValid = Access::areStorageMapChecksumsValid(device, status) ? 1 : 0;
    }
};

template <> struct Operation<Op::corran_areStorageMapVersionsValid> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.allValid = Access::areStorageMapVersionsValid(device, status) ? 1 : 0;
    }
};

} // namespace kelvo_driver::ioctl
