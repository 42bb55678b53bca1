// The operation bodies of the device-window codes that address a window by
// name: each calls the device-window dispatcher's operation of the same name
// with the record's fields in record order. The dispatcher copies the name
// and the data from and to user memory itself and checks every size and range
// before it allocates anything.
#pragma once

#include <stdint.h>

#include "core/ioctl/context.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

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

template <class A> void deviceWindow_get(Ctx<A, Op::deviceWindow_get>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->get(c.event, c.in.nameAddress, c.in.nameLength, c.in.offset, c.in.size, c.in.buffer,
                     c.status);
    }
}

template <class A> void deviceWindow_read(Ctx<A, Op::deviceWindow_read>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->read(c.event, c.in.nameAddress, c.in.nameLength, c.in.offset, c.in.size, c.in.buffer,
                      c.status);
    }
}

template <class A> void deviceWindow_set(Ctx<A, Op::deviceWindow_set>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->set(c.event, c.in.nameAddress, c.in.nameLength, c.in.buffer, c.in.offset, c.in.size,
                     c.status);
    }
}

template <class A> void deviceWindow_write(Ctx<A, Op::deviceWindow_write>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->write(c.event, c.in.nameAddress, c.in.nameLength, c.in.buffer, c.in.offset, c.in.size,
                       c.in.force != 0, c.status);
    }
}

template <class A> void deviceWindow_flush(Ctx<A, Op::deviceWindow_flush>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->flush(c.event, c.in.nameAddress, c.in.nameLength, c.in.offset, c.in.size, c.in.force != 0,
                       c.status);
    }
}

template <class A> void deviceWindow_refresh(Ctx<A, Op::deviceWindow_refresh>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        windows->refresh(c.event, c.in.nameAddress, c.in.nameLength, c.in.offset, c.in.size, c.status);
    }
}

template <class A> void deviceWindow_getSizeInBytes(Ctx<A, Op::deviceWindow_getSizeInBytes>& c) {
    if (auto* windows = detail::windowDispatcher<A>(c.device, c.status)) {
        c.out.size = windows->getSizeInBytes(c.event, c.in.nameAddress, c.in.nameLength, c.status);
    }
}

} // namespace kelvo_driver::ioctl
