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

#include "core/ioctl/context.h"
#include "framework/dispatcher.h"
#include "platform/event_descriptor.h"
#include "platform/safecast.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regs/dynamic_access.h"

namespace kelvo_driver::ioctl {

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
template <class A> void arm_get(Ctx<A, Op::arm_get>& c) {
    const uint64_t value = armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kGet,
                                            armbody::request(c.in), c.status);
    c.out.value = orut::safeCast(value, c.status);
}

template <class A> void arm_read(Ctx<A, Op::arm_read>& c) {
    const uint64_t value = armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kRead,
                                            armbody::request(c.in), c.status);
    c.out.value = orut::safeCast(value, c.status);
}

// The Ex reads: all 64 bits.
template <class A> void arm_getEx(Ctx<A, Op::arm_getEx>& c) {
    c.out.value = armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kGet,
                                   armbody::requestEx(c.in), c.status);
}

template <class A> void arm_readEx(Ctx<A, Op::arm_readEx>& c) {
    c.out.value = armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kRead,
                                   armbody::requestEx(c.in), c.status);
}

template <class A> void arm_set(Ctx<A, Op::arm_set>& c) {
    armbody::tByIdRequest request = armbody::request(c.in);
    request.value = c.in.value;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kSet, request, c.status);
}

template <class A> void arm_setEx(Ctx<A, Op::arm_setEx>& c) {
    armbody::tByIdRequest request = armbody::requestEx(c.in);
    request.value = c.in.value;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kSet, request, c.status);
}

template <class A> void arm_write(Ctx<A, Op::arm_write>& c) {
    armbody::tByIdRequest request = armbody::request(c.in);
    request.value = c.in.value;
    request.force = c.in.force != 0;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kWrite, request, c.status);
}

template <class A> void arm_writeEx(Ctx<A, Op::arm_writeEx>& c) {
    armbody::tByIdRequest request = armbody::requestEx(c.in);
    request.value = c.in.value;
    request.force = c.in.force != 0;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kWrite, request, c.status);
}

template <class A> void arm_flushRegister(Ctx<A, Op::arm_flushRegister>& c) {
    armbody::tByIdRequest request = armbody::request(c.in);
    request.force = c.in.force != 0;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kFlush, request, c.status);
}

template <class A> void arm_flushRegisterEx(Ctx<A, Op::arm_flushRegisterEx>& c) {
    armbody::tByIdRequest request = armbody::requestEx(c.in);
    request.force = c.in.force != 0;
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kFlush, request, c.status);
}

template <class A> void arm_refreshRegister(Ctx<A, Op::arm_refreshRegister>& c) {
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kRefresh, armbody::request(c.in),
                     c.status);
}

template <class A> void arm_refreshRegisterEx(Ctx<A, Op::arm_refreshRegisterEx>& c) {
    armbody::tByIdRequest request = armbody::requestEx(c.in);
    armbody::runById(A::armDispatcher(c.device), c.event, armbody::tById::kRefresh, request, c.status);
}

template <class A> void arm_flushRegMap(Ctx<A, Op::arm_flushRegMap>& c) {
    armbody::flushRegMap(A::armDispatcher(c.device), c.event, c.in.nameAddress, c.in.nameLength,
                         c.in.force != 0, c.status);
}

// The record's capacity is what both buffers hold, in fields.
template <class A> void arm_getRegisterFormat(Ctx<A, Op::arm_getRegisterFormat>& c) {
    c.out.fieldCount = armbody::getRegisterFormat(A::armDispatcher(c.device), c.event, c.in.nameAddress,
                                                  c.in.nameLength, c.in.registerId, c.in.capacity,
                                                  c.in.fieldTypeBuffer, c.in.maskBuffer, c.status);
}

} // namespace kelvo_driver::ioctl
