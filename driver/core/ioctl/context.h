// What an operation body sees of its request: the device, the request's
// event and session, the input record as copied in, the output record (zeroed
// before the body) and the operation status, seeded from the caller's word.
//
// A body is a plain function of one context, templated only on the device
// access A (DeviceAccess<Device, Session>, so that a stand-in device can run
// the same bodies):
//
//     template <class A> void kelvo_getSetupLevel(Ctx<A, Op::kelvo_getSetupLevel>& c);
//
// Its row in the code table (code_table.h) says how the request is admitted
// before the body runs.
#pragma once

#include <stdint.h>

#include "kelvo/ioctl.h"
#include "platform/device_core.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

// One enumerator per code of "smu_kelvo", in code order.
enum class Op : uint32_t {
#define KELVO_OP_ENUM(op, in, out) op,
    KELVO_IOCTL_TABLE(KELVO_OP_ENUM)
#undef KELVO_OP_ENUM
        kCount
};

// The records and the code of an operation.
template <Op op> struct Record;
#define KELVO_OP_RECORD(op, in, out)                                                                         \
    template <> struct Record<Op::op> {                                                                      \
        using In = kelvo_##op##_in;                                                                          \
        using Out = kelvo_##op##_out;                                                                        \
        static constexpr uint32_t kCode = KELVO_IOCTL_##op;                                                  \
    };
KELVO_IOCTL_TABLE(KELVO_OP_RECORD)
#undef KELVO_OP_RECORD

template <class A, Op op> struct Ctx {
    typename A::DeviceType& device;
    const nVOAPAL000::tEventDescriptor& event;
    const typename Record<op>::In& in;
    typename Record<op>::Out& out;
    nVOAPALS100::tStatus& status;

    // The request's session; null for a request without one.
    typename A::SessionType* session() const {
        return static_cast<typename A::SessionType*>(nVOAPAL000::sessionOf(event));
    }
};

} // namespace kelvo_driver::ioctl
