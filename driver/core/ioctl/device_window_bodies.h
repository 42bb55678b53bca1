// The operation bodies of the device-window codes that address a window by
// name: each calls the device-window dispatcher's operation of the same name
// with the record's fields in record order. The dispatcher copies the name
// and the data from and to user memory itself and checks every size and range
// before it allocates anything.
#pragma once

#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

namespace detail {

// A by-name dispatcher fetched for a body: none after an earlier failure.
template <class Dispatcher>
Dispatcher* usableDispatcher(Dispatcher* dispatcher, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    if (dispatcher == nullptr) {
        // Level 1 guarantees the registry: its absence is a broken invariant.
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
    }
    return dispatcher;
}

template <class Access, class Device> auto* windowDispatcher(Device& device, nVOAPALS100::tStatus& status) {
    return usableDispatcher(Access::deviceWindowDispatcher(device), status);
}

} // namespace detail

template <> struct Operation<Op::deviceWindow_get> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->get(event, in.nameAddress, in.nameLength, in.offset, in.size, in.buffer, status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_read> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->read(event, in.nameAddress, in.nameLength, in.offset, in.size, in.buffer, status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_set> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->set(event, in.nameAddress, in.nameLength, in.buffer, in.offset, in.size, status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_write> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->write(event, in.nameAddress, in.nameLength, in.buffer, in.offset, in.size, in.force != 0,
                           status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_flush> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->flush(event, in.nameAddress, in.nameLength, in.offset, in.size, in.force != 0, status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_refresh> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            windows->refresh(event, in.nameAddress, in.nameLength, in.offset, in.size, status);
        }
    }
};

template <> struct Operation<Op::deviceWindow_getSizeInBytes> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        if (auto* windows = detail::windowDispatcher<Access>(device, status)) {
            out.size = windows->getSizeInBytes(event, in.nameAddress, in.nameLength, status);
        }
    }
};

} // namespace kelvo_driver::ioctl
