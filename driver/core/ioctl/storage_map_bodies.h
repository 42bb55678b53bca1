// The operation bodies of the storage-map codes that address a map by name,
// and of the two all-maps checks. Each storage-map body calls the storage-map
// dispatcher's operation of the same name with the record's fields in record
// order; the dispatcher copies the name and the data from and to user memory
// itself and checks every size and range before it allocates anything.
#pragma once

#include <stdint.h>

#include "core/ioctl/context.h"
#include "core/ioctl/device_window_bodies.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

namespace detail {

template <class Access, class Device> auto* mapDispatcher(Device& device, nVOAPALS100::tStatus& status) {
    return usableDispatcher(Access::storageMapDispatcher(device), status);
}

} // namespace detail

template <class A> void storageMap_flush(Ctx<A, Op::storageMap_flush>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        maps->flush(c.event, c.in.nameAddress, c.in.nameLength, c.in.force != 0, c.status);
    }
}

template <class A> void storageMap_refresh(Ctx<A, Op::storageMap_refresh>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        maps->refresh(c.event, c.in.nameAddress, c.in.nameLength, c.status);
    }
}

template <class A> void storageMap_getElementCount(Ctx<A, Op::storageMap_getElementCount>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        c.out.count =
            maps->getElementCount(c.event, c.in.nameAddress, c.in.nameLength, c.in.fieldId, c.status);
    }
}

template <class A> void storageMap_getElementSize(Ctx<A, Op::storageMap_getElementSize>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        c.out.size = maps->getElementSize(c.event, c.in.nameAddress, c.in.nameLength, c.in.fieldId, c.status);
    }
}

template <class A> void storageMap_setRaw(Ctx<A, Op::storageMap_setRaw>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        maps->setRaw(c.event, c.in.nameAddress, c.in.nameLength, c.in.fieldId, c.in.firstElement,
                     c.in.elementCount, c.in.buffer, c.in.elementSize, c.status);
    }
}

template <class A> void storageMap_getRaw(Ctx<A, Op::storageMap_getRaw>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        maps->getRaw(c.event, c.in.nameAddress, c.in.nameLength, c.in.fieldId, c.in.firstElement,
                     c.in.elementCount, c.in.buffer, c.in.elementSize, c.status);
    }
}

template <class A> void storageMap_isChecksumValid(Ctx<A, Op::storageMap_isChecksumValid>& c) {
    if (auto* maps = detail::mapDispatcher<A>(c.device, c.status)) {
        c.out.valid = maps->isChecksumValid(c.event, c.in.nameAddress, c.in.nameLength, c.status) ? 1 : 0;
    }
}

template <class A>
void corran_areStorageMapChecksumsValid(Ctx<A, Op::corran_areStorageMapChecksumsValid>& c) {
    c.out.allValid = A::areStorageMapChecksumsValid(c.device, c.status) ? 1 : 0;
}

template <class A> void corran_areStorageMapVersionsValid(Ctx<A, Op::corran_areStorageMapVersionsValid>& c) {
    c.out.allValid = A::areStorageMapVersionsValid(c.device, c.status) ? 1 : 0;
}

} // namespace kelvo_driver::ioctl
