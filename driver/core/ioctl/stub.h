// The stub of an I/O-control code: checks the record sizes, copies the input
// record in, seeds the operation status from the caller's status word,
// answers or runs the operation as the code table says, and copies the output
// record back.
//
// Two statuses: the caller's (the transport: wrong sizes, failed copies) and
// the operation's, which travels back in the output record's status word.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "core/ioctl/bodies.h"
#include "core/ioctl/code_table.h"
#include "core/ioctl/copy_out.h"
#include "core/ioctl/device_access.h"
#include "nVOKAL.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/kal_status.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

namespace detail {

template <class T, class = void> struct HasOperation : std::false_type {};
template <class T> struct HasOperation<T, decltype(void(sizeof(T)))> : std::true_type {};

// Places the record's capacity in the output's count, where the routing
// session reads it and leaves the number of records written.
template <Op op> void placeCapacity(const typename Record<op>::In& in, typename Record<op>::Out& out) {
    if constexpr (op == Op::routing_calculateRoute) {
        out.possibilitiesCount = in.possibilitiesCapacity;
    } else if constexpr (op == Op::routing_reserveRoute) {
        out.conflictsCount = in.conflictsCapacity;
    } else if constexpr (op == Op::routing_getRouteTerminalPath) {
        out.pathLength = in.pathCapacity;
    }
}

// The operation proper, between seeding and the status word.
template <class Access, Op op, class Device>
void answer(Device& device, const nVOAPAL000::tEventDescriptor& event, const typename Record<op>::In& in,
            typename Record<op>::Out& out, nVOAPALS100::tStatus& status) {
    constexpr CodeRow row = rowOf(op);
    if constexpr ((row.flags & kEchoStatus) != 0) {
        return;
    } else if constexpr ((row.flags & kNotOffered) != 0) {
        KELVO_SET_STATUS(status, static_cast<int64_t>(row.answer));
        return;
    } else if constexpr ((row.flags & kOwnGate) != 0) {
        Operation<op>::template run<Access>(device, event, in, out, status);
        return;
    } else {
        static_assert((row.flags & kGate) != 0);
        if constexpr ((row.flags & kSkipOnSeededError) != 0) {
            if (status.isFatal()) {
                return;
            }
        }
        nVOAPALS100::tStatus gateStatus;
        typename Access::Gate gate(device,
                                   static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event)),
                                   row.level, gateStatus);
        if constexpr ((row.flags & kSensorCheck) != 0) {
            if (in.sensor != 0) {
                KELVO_SET_STATUS(status, static_cast<int64_t>(kInvalidSensorCode));
                return;
            }
        }
        if (gateStatus.isFatal()) {
            status.merge(gateStatus);
            if constexpr ((row.flags & kRefusalAnswersOne) != 0) {
                out.accessory = 1;
            }
            return;
        }
        if constexpr ((row.flags & kPlaceCapacity) != 0) {
            placeCapacity<op>(in, out);
        }
        Operation<op>::template run<Access>(device, event, in, out, status);
    }
}

} // namespace detail

// The stub of op for a device class and its session class: the number of
// bytes written to the caller's output (the output record's size), or 0 when
// the request was refused before the operation ran.
template <class Device, class Session, Op op>
uint64_t unmarshall(Device& device, const nVOAPAL000::tEventDescriptor& event, uint64_t input,
                    uint64_t inputSize, uint64_t output, uint64_t outputSize, nVOAPALS100::tStatus& status) {
    using In = typename Record<op>::In;
    using Out = typename Record<op>::Out;
    constexpr CodeRow row = rowOf(op);
    static_assert(sizeof(In) == row.inSize && sizeof(Out) == row.outSize);
    static_assert(offsetof(Out, status) + sizeof(int32_t) <= sizeof(Out));
    // The codes answered at the stub find the caller's word in the input's last four bytes.
    static_assert(row.body != Body::kAtStub || offsetof(In, status) == sizeof(In) - sizeof(int32_t));
    static_assert(row.body != Body::kBuilt || detail::HasOperation<Operation<op>>::value);

    if (inputSize != sizeof(In) || outputSize != sizeof(Out)) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return 0;
    }
    In in = {};
    const nVOKAL_tStatus copied = nVOKAL100_replicateInboundIOControlBuffer(&in, input, sizeof(In));
    if (copied < 0) {
        KELVO_SET_STATUS_FROM_KAL(status, copied);
        return 0;
    }
    Out out = {};
    nVOAPALS100::tStatus operation;
    KELVO_SET_STATUS(operation, static_cast<int64_t>(in.status));
    detail::answer<DeviceAccess<Device, Session>, op>(device, event, in, out, operation);
    out.status = static_cast<int32_t>(operation.getCode());
    nVOAPAL200_copyIoctlOutBufferForCodegen(output, &out, sizeof(Out), &status);
    return sizeof(Out);
}

} // namespace kelvo_driver::ioctl
