// The connected-accessory word of the device: read, and replaced by an atomic
// exchange. The word lives in the device, so it survives resets. The stub has
// opened the gate (level 19); a refused get answers 1 there.
#pragma once

#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

template <> struct Operation<Op::corran_getConnectedAccessory> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In&, Out& out,
                    nVOAPALS100::tStatus&) {
        out.accessory = Access::connectedAccessory(device);
    }
};

// The record carries no result: the word replaced is not answered. A
// caller's error word leaves the accessory as it was.
template <> struct Operation<Op::corran_setConnectedAccessory> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor&, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        if (status.isNotFatal()) {
            Access::exchangeConnectedAccessory(device, in.accessory);
        }
    }
};

} // namespace kelvo_driver::ioctl
