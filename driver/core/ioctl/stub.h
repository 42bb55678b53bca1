// The dispatcher of the I/O-control codes: finds the code's row, checks the
// record sizes, copies the input record in, seeds the operation status from
// the caller's status word, admits the request and runs the body as the row
// says, and copies the output record back.
//
// Two statuses: the caller's (the transport: wrong sizes, failed copies) and
// the operation's, which travels back in the output record's status word.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "core/ioctl/copy_out.h"
#include "core/ioctl/device_access.h"
#include "core/kelvo_helper.h"
#include "nVOKAL.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/kal_status.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

// The row of a code (binary search of the header's codes, which are the
// table's in its order), or null.
template <class A> const Row<A>* findRow(uint32_t code) {
    static_assert(tableIsConsistent<A>(), "code table: a row per header code, in order, bodies as admitted");
    constexpr size_t count = sizeof(kHeaderCodes) / sizeof(kHeaderCodes[0]);
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (kHeaderCodes[middle] < code) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < count && kHeaderCodes[low] == code ? &kCodeTable<A>[low] : nullptr;
}

namespace detail {

// Admits the request as the row says and runs its body; the output holds
// zeros before.
template <class A>
void admitAndRun(const Row<A>& row, typename A::DeviceType& device, const nVOAPAL000::tEventDescriptor& event,
                 const uint8_t* in, uint8_t* out, nVOAPALS100::tStatus& status) {
    const Rules& rules = row.rules;
    switch (rules.admit) {
    case Admit::kCallersWord:
        return;
    case Admit::kAnswer:
        KELVO_SET_STATUS(status, static_cast<int64_t>(rules.answer));
        return;
    case Admit::kOwnGate:
        row.body(device, event, in, out, status);
        return;
    case Admit::kGate:
        break;
    }
    if (rules.skipOnCallersError && status.isFatal()) {
        return;
    }
    nVOAPALS100::tStatus gateStatus;
    typename A::Gate gate(device, static_cast<typename A::SessionType*>(nVOAPAL000::sessionOf(event)),
                          rules.level, gateStatus);
    if (rules.zeroArgumentAt >= 0) {
        uint32_t argument = 0;
        __builtin_memcpy(&argument, in + rules.zeroArgumentAt, sizeof(argument));
        if (argument != 0) {
            KELVO_SET_STATUS(status, static_cast<int64_t>(KELVO_STATUS_VALUE_OUT_OF_RANGE));
            return;
        }
    }
    if (gateStatus.isFatal()) {
        status.merge(gateStatus);
        __builtin_memcpy(out, &rules.refusedResult, sizeof(rules.refusedResult));
        return;
    }
    // The isolation link's error bit, seen by an access of this request, is
    // explained where the body is back from the register layer and holds no
    // lock (the gate only): a failing check of the device replaces the answer.
    // While the link holds no mark, each side costs one load.
    KelvoHelper* const helper = A::kelvoHelper(device);
    if (helper != nullptr) {
        helper->forgetIsolationLinkError();
    }
    row.body(device, event, in, out, status);
    if (helper != nullptr) {
        helper->explainIsolationLinkError(status);
    }
}

} // namespace detail

// A request of a code with its row: the number of bytes written to the
// caller's output (the output record's size), or 0 when the request was
// refused before the operation ran.
template <class A>
uint64_t dispatch(const Row<A>& row, typename A::DeviceType& device,
                  const nVOAPAL000::tEventDescriptor& event, uint64_t input, uint64_t inputSize,
                  uint64_t output, uint64_t outputSize, nVOAPALS100::tStatus& status) {
    if (inputSize != row.inSize || outputSize != row.outSize) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return 0;
    }
    alignas(8) uint8_t in[kMaxInSize];
    const nVOKAL_tStatus copied = nVOKAL100_replicateInboundIOControlBuffer(in, input, row.inSize);
    if (copied < 0) {
        KELVO_SET_STATUS_FROM_KAL(status, copied);
        return 0;
    }
    alignas(8) uint8_t out[kMaxOutSize] = {};
    int32_t word = 0;
    __builtin_memcpy(&word, in + row.inStatusAt, sizeof(word));
    nVOAPALS100::tStatus operation;
    if (word != 0) {
        KELVO_SET_STATUS(operation, static_cast<int64_t>(word));
    }
    detail::admitAndRun(row, device, event, in, out, operation);
    word = static_cast<int32_t>(operation.getCode());
    __builtin_memcpy(out + row.outStatusAt, &word, sizeof(word));
    nVOAPAL200_copyIoctlOutBufferForCodegen(output, out, row.outSize, &status);
    return row.outSize;
}

} // namespace kelvo_driver::ioctl
