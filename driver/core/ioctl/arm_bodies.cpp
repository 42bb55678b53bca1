#include "core/ioctl/arm_bodies.h"

#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::ioctl::armbody {

using nVOAPALS100::tStatus;

tHeldMap::tHeldMap(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                   uint64_t nameLength, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    // Level 1 builds the registry before any gate at level 1 admits a request.
    if (registry == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return;
    }
    tMap* map = nullptr;
    nVOAPAL000::tMutex* mutex = nullptr;
    registry->getRegistration(event, nameAddress, nameLength, &map, status, &mutex);
    if (status.isFatal() || map == nullptr || mutex == nullptr) {
        return;
    }
    nVOAPAL200_acquireMutex(mutex);
    map_ = map;
    mutex_ = mutex;
}

tHeldMap::~tHeldMap() {
    if (mutex_ != nullptr) {
        nVOAPAL200_releaseMutex(mutex_);
    }
}

uint64_t runById(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, tById operation,
                 const tByIdRequest& request, tStatus& status) {
    tHeldMap held(registry, event, request.nameAddress, request.nameLength, status);
    tMap* map = held.map();
    if (map == nullptr) {
        return 0;
    }
    uint32_t index = 0;
    if (request.ex) {
        if (request.index > kMaxIndex) {
            KELVO_SET_STATUS(status, tStatus::kNotImplemented);
            return 0;
        }
        index = static_cast<uint32_t>(request.index);
    }
    uint64_t value = 0;
    switch (operation) {
    case tById::kGet:
        map->get(request.id, value, status, index);
        break;
    case tById::kSet:
        map->set(request.id, request.value, status, index);
        break;
    case tById::kRead:
        map->read(request.id, value, status, index);
        break;
    case tById::kWrite:
        map->write(request.id, request.value, request.force, status, index);
        break;
    case tById::kFlush:
        map->flush(request.id, request.force, status, index);
        break;
    case tById::kRefresh:
        map->refresh(request.id, status, index);
        break;
    }
    // A failed read may leave what the bus answered; the caller gets 0.
    return status.isFatal() ? 0 : value;
}

void flushRegMap(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event, uint64_t nameAddress,
                 uint64_t nameLength, bool force, tStatus& status) {
    tHeldMap held(registry, event, nameAddress, nameLength, status);
    if (tMap* map = held.map()) {
        map->flushRegMap(force, status);
    }
}

uint32_t getRegisterFormat(tRegistry* registry, const nVOAPAL000::tEventDescriptor& event,
                           uint64_t nameAddress, uint64_t nameLength, uint32_t registerId, uint32_t capacity,
                           uint64_t typeBuffer, uint64_t maskBuffer, tStatus& status) {
    // Zeroed, so that nothing of the stack can reach the caller whatever a map reports.
    arm::FieldType types[kFormatCapacity] = {};
    uint64_t masks[kFormatCapacity] = {};
    uint32_t count = kFormatCapacity;
    {
        tHeldMap held(registry, event, nameAddress, nameLength, status);
        tMap* map = held.map();
        if (map == nullptr) {
            return 0;
        }
        map->getRegisterFormat(registerId, count, types, masks, status);
    }
    if (status.isFatal()) {
        return 0;
    }
    VOSDBG_ASSERT(count <= kFormatCapacity);
    if (count > kFormatCapacity) {
        count = kFormatCapacity;
    }
    if (count == 0) {
        return 0;
    }
    // Buffers sized by the record for fewer fields take nothing.
    if (count > capacity) {
        KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
        return 0;
    }
    uint8_t typeBytes[kFormatCapacity] = {};
    for (uint32_t i = 0; i < count; ++i) {
        typeBytes[i] = static_cast<uint8_t>(types[i]);
    }
    const nVOAPAL000::tUserBuffer typesOut(event, typeBuffer, count);
    typesOut.write(0, typeBytes, count, status);
    const uint64_t maskBytes = uint64_t{count} * sizeof(uint64_t);
    const nVOAPAL000::tUserBuffer masksOut(event, maskBuffer, maskBytes);
    masksOut.write(0, masks, maskBytes, status);
    return status.isFatal() ? 0 : count;
}

} // namespace kelvo_driver::ioctl::armbody
