// The operation bodies of the register-map I/O controls: a registered map
// named from user mode (optionally with a "_Ver" suffix, which the registry
// checks), then one of its operations by identifier, a whole-map flush or a
// register's format.
//
// Each body looks the map up, holds the registration's mutex around the map
// operation (two requests on one map are serialised, requests on different
// maps run in parallel) and answers the failures of the lookup and of the map
// unchanged in the operation status. The Ex forms take an element index of at
// most 0xFFFFFF (-52002 above, the map untouched) and move all 64 bits of the
// value; the 32-bit get and read answer -52003 and 0 for a value that does
// not fit.
#pragma once

#include <stdint.h>

#include "core/ioctl/code_table.h"
#include "framework/dispatcher.h"
#include "platform/event_descriptor.h"
#include "platform/safecast.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regs/dynamic_access.h"

namespace kelvo_driver::ioctl {

template <Op op> struct Operation;

namespace armbody {

using tMap = arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>;
// The register-map registry as the bodies see it (armki::ARMDispatcher is one).
using tRegistry = voregitools::Dispatcher<tMap>;

// The largest element index of the Ex forms.
constexpr uint64_t kMaxIndex = 0xFFFFFF;
// What getRegisterFormat can answer: one field type and one mask per field.
constexpr uint32_t kFormatCapacity = 64;

// A map operation by identifier.
enum class tById : uint32_t { kGet, kSet, kRead, kWrite, kFlush, kRefresh };

// One request by identifier: the name in the caller's memory, the
// identifier, and what the operation takes of index, value and force.
struct tByIdRequest {
    uint64_t nameAddress;
    uint64_t nameLength;
    uint32_t id;
    bool ex;        // an Ex form: the index is checked and passed on
    uint64_t index; // read only by the Ex forms
    uint64_t value; // set and write
    bool force;     // write and flush
};

// The registration named by {address, length} in the caller's memory, held
// under its mutex while the object lives. map() is null when there is no
// registry (-52020) or the lookup failed (the registry's code).
class tHeldMap {
public:
    tHeldMap(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
             uint64_t nameLength, nVOAPALS100::tStatus& status);
    ~tHeldMap();
    tHeldMap(const tHeldMap&) = delete;
    tHeldMap& operator=(const tHeldMap&) = delete;

    tMap* map() const { return map_; }

private:
    tMap* map_ = nullptr;
    nVOAPAL000::tMutex* mutex_ = nullptr;
};

// Runs one operation by identifier on the named map; the value of get and
// read (0 when anything failed), else 0.
uint64_t runById(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, tById operation,
                 const tByIdRequest& request, nVOAPALS100::tStatus& status);

// flushRegMap of the named map.
void flushRegMap(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                 uint64_t nameLength, bool force, nVOAPALS100::tStatus& status);

// The fields of a register of the named map: count bytes of field types to
// typeBuffer and count u64 masks to maskBuffer, both in the caller's memory,
// which holds capacity of each (fewer than count: -52019); returns count (0
// when anything failed, and then nothing more is written).
uint32_t getRegisterFormat(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event,
                           uint64_t nameAddress, uint64_t nameLength, uint32_t registerId, uint32_t capacity,
                           uint64_t typeBuffer, uint64_t maskBuffer, nVOAPALS100::tStatus& status);

template <class In> tByIdRequest request(const In& in) {
    return tByIdRequest{in.nameAddress, in.nameLength, in.fieldId, false, 0, 0, false};
}

// The request of an Ex operation: the identifier's index applies.
template <class In> tByIdRequest requestEx(const In& in) {
    tByIdRequest request = armbody::request(in);
    request.ex = true;
    request.index = in.index;
    return request;
}

} // namespace armbody

// The 32-bit reads: the value narrowed by a checked cast.
#define KELVO_ARM_READ_BODY(op, kind)                                                                        \
    template <> struct Operation<Op::op> {                                                                   \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,   \
                        nVOAPALS100::tStatus& status) {                                                      \
            const uint64_t value =                                                                           \
                armbody::runById(Access::armDispatcher(device), event, kind, armbody::request(in), status);  \
            out.value = orut::safeCast(value, status);                                                       \
        }                                                                                                    \
    };
KELVO_ARM_READ_BODY(arm_get, armbody::tById::kGet)
KELVO_ARM_READ_BODY(arm_read, armbody::tById::kRead)
#undef KELVO_ARM_READ_BODY

// The Ex reads: all 64 bits.
#define KELVO_ARM_READ_EX_BODY(op, kind)                                                                     \
    template <> struct Operation<Op::op> {                                                                   \
        template <class Access, class Device, class In, class Out>                                           \
        static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,   \
                        nVOAPALS100::tStatus& status) {                                                      \
            out.value = armbody::runById(Access::armDispatcher(device), event, kind, armbody::requestEx(in), \
                                         status);                                                            \
        }                                                                                                    \
    };
KELVO_ARM_READ_EX_BODY(arm_getEx, armbody::tById::kGet)
KELVO_ARM_READ_EX_BODY(arm_readEx, armbody::tById::kRead)
#undef KELVO_ARM_READ_EX_BODY

template <> struct Operation<Op::arm_set> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::request(in);
        request.value = in.value;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kSet, request, status);
    }
};

template <> struct Operation<Op::arm_setEx> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::requestEx(in);
        request.value = in.value;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kSet, request, status);
    }
};

template <> struct Operation<Op::arm_write> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::request(in);
        request.value = in.value;
        request.force = in.force != 0;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kWrite, request, status);
    }
};

template <> struct Operation<Op::arm_writeEx> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::requestEx(in);
        request.value = in.value;
        request.force = in.force != 0;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kWrite, request, status);
    }
};

template <> struct Operation<Op::arm_flushRegister> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::request(in);
        request.force = in.force != 0;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kFlush, request, status);
    }
};

template <> struct Operation<Op::arm_flushRegisterEx> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::requestEx(in);
        request.force = in.force != 0;
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kFlush, request, status);
    }
};

template <> struct Operation<Op::arm_refreshRegister> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kRefresh, armbody::request(in),
                         status);
    }
};

template <> struct Operation<Op::arm_refreshRegisterEx> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::tByIdRequest request = armbody::requestEx(in);
        armbody::runById(Access::armDispatcher(device), event, armbody::tById::kRefresh, request, status);
    }
};

template <> struct Operation<Op::arm_flushRegMap> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out&,
                    nVOAPALS100::tStatus& status) {
        armbody::flushRegMap(Access::armDispatcher(device), event, in.nameAddress, in.nameLength,
                             in.force != 0, status);
    }
};

// The record's capacity is what both buffers hold, in fields.
template <> struct Operation<Op::arm_getRegisterFormat> {
    template <class Access, class Device, class In, class Out>
    static void run(Device& device, const nVOAPAL000::tEventDescriptor& event, const In& in, Out& out,
                    nVOAPALS100::tStatus& status) {
        out.fieldCount =
            armbody::getRegisterFormat(Access::armDispatcher(device), event, in.nameAddress, in.nameLength,
                                       in.registerId, in.capacity, in.fieldTypeBuffer, in.maskBuffer, status);
    }
};

} // namespace kelvo_driver::ioctl
