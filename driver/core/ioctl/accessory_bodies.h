// The connected-accessory word of the device: read, and replaced by an atomic
// exchange. The word lives in the device, so it survives resets. The dispatcher has
// opened the gate (level 19); a refused get answers 1 there.
#pragma once

#include <stdint.h>

#include "core/ioctl/context.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <class A> void corran_getConnectedAccessory(Ctx<A, Op::corran_getConnectedAccessory>& c) {
    c.out.accessory = A::connectedAccessory(c.device);
}

// The record carries no result: the word replaced is not answered. A
// caller's error word leaves the accessory as it was.
template <class A> void corran_setConnectedAccessory(Ctx<A, Op::corran_setConnectedAccessory>& c) {
    if (c.status.isNotFatal()) {
        A::exchangeConnectedAccessory(c.device, c.in.accessory);
    }
}

} // namespace kelvo_driver::ioctl
