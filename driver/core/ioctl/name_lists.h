// The name lists of a registry as the I/O controls hand them to user mode.
#pragma once

#include <stdint.h>

#include "framework/dispatcher_base.h"
#include "nVOKAL.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/user_buffer.h"
#include "platform/vohtl/string.h"

namespace kelvo_driver::ioctl {

// One 64-byte slot per registration, in registration order, written to the
// caller's buffer (count x 64 bytes). Each slot is zeroed whole before its
// name goes in, so no other kernel memory reaches the caller. No
// registrations: the registry's null-buffer code (-240031), nothing written.
template <class W>
void writeRegistrationNames(const voregitools::DispatcherBase<W>& dispatcher,
                            const nVOAPAL000::tEventDescriptor& event, uint64_t buffer,
                            nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t count = dispatcher.getNumberOfRegistrations();
    if (count == 0) {
        dispatcher.getRegistrationNames(nullptr, status);
        return;
    }
    if (count > UINT64_MAX / voregitools::internal::kNameSlotSize) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kUnsupportedValue);
        return;
    }
    const uint64_t size = count * voregitools::internal::kNameSlotSize;
    char* names = static_cast<char*>(nVOAPAL200_malloc(size, &status));
    if (names == nullptr) {
        return;
    }
    nVOKAL240_memSet(names, 0, size);
    dispatcher.getRegistrationNames(names, status);
    nVOAPAL000::tUserBuffer user(event, buffer, size);
    user.write(0, names, size, status);
    nVOKAL100_free(names);
}

// The names joined by TAB, without a terminator, written to the caller's
// buffer (nothing when no name is registered); the caller sizes the buffer
// with getSizeOfRegistrationList.
template <class W>
void writeRegistrationList(const voregitools::DispatcherBase<W>& dispatcher,
                           const nVOAPAL000::tEventDescriptor& event, uint64_t buffer,
                           nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    vohtl::BasicString list;
    dispatcher.getRegistrationList(list, status);
    if (status.isFatal() || list.length() == 0) {
        return;
    }
    nVOAPAL000::tUserBuffer user(event, buffer, list.length());
    user.write(0, list.c_str(), list.length(), status);
}

} // namespace kelvo_driver::ioctl
