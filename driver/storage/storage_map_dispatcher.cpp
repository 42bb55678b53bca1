#include "storage/storage_map_dispatcher.h"

#include "nVOKAL.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

template class voregitools::RegistrationWrapper<storagemap::StorageMapInterface>;
template class voregitools::DispatcherBase<voregitools::RegistrationWrapper<storagemap::StorageMapInterface>>;
template class voregitools::WrapperDispatcher<storagemap::StorageMapInterface>;
template class voregitools::Dispatcher<storagemap::StorageMapInterface>;

namespace storagemap {

using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tMutex;
using kelvo_driver::nVOAPAL000::tUserBuffer;
using nVOAPALS100::tStatus;

namespace {

constexpr int64_t kRawRange = KELVO_STATUS_INDEX_OUT_OF_RANGE;

// The map of a user-memory name, with its registration mutex held for the
// holder's life; map() is null when the lookup failed.
class LockedMap {
public:
    LockedMap(StorageMapDispatcher& dispatcher, const tEventDescriptor& event, uint64_t nameAddress,
              uint64_t nameLength, tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        dispatcher.getRegistration(event, nameAddress, nameLength, &map_, status, &mutex_);
        if (status.isFatal()) {
            map_ = nullptr;
            return;
        }
        VOSDBG_ASSERT(mutex_ != nullptr);
        nVOAPAL200_acquireMutex(mutex_);
    }
    ~LockedMap() {
        if (map_ != nullptr) {
            nVOAPAL200_releaseMutex(mutex_);
        }
    }
    LockedMap(const LockedMap&) = delete;
    LockedMap& operator=(const LockedMap&) = delete;
    StorageMapInterface* map() const { return map_; }

private:
    StorageMapInterface* map_ = nullptr;
    tMutex* mutex_ = nullptr;
};

} // namespace

void StorageMapDispatcher::flush(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                 bool force, tStatus& status) {
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    if (locked.map() != nullptr) {
        locked.map()->flush(force, status);
    }
}

void StorageMapDispatcher::refresh(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                   tStatus& status) {
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    if (locked.map() != nullptr) {
        locked.map()->refresh(status);
    }
}

uint64_t StorageMapDispatcher::getElementCount(const tEventDescriptor& event, uint64_t nameAddress,
                                               uint64_t nameLength, uint32_t fieldId, tStatus& status) {
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    return locked.map() != nullptr ? locked.map()->getElementCount(fieldId, status) : kLookupFailed;
}

uint64_t StorageMapDispatcher::getElementSize(const tEventDescriptor& event, uint64_t nameAddress,
                                              uint64_t nameLength, uint32_t fieldId, tStatus& status) {
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    return locked.map() != nullptr ? locked.map()->getElementSize(fieldId, status) : kLookupFailed;
}

bool StorageMapDispatcher::isChecksumValid(const tEventDescriptor& event, uint64_t nameAddress,
                                           uint64_t nameLength, tStatus& status) {
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    return locked.map() != nullptr && locked.map()->isChecksumValid(status);
}

void StorageMapDispatcher::raw(bool write, const tEventDescriptor& event, uint64_t nameAddress,
                               uint64_t nameLength, uint32_t fieldId, uint64_t index, uint64_t count,
                               uint64_t userBuffer, uint64_t elementSize, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (elementSize == 0 || count > ~uint64_t{0} / elementSize) {
        KELVO_SET_STATUS(status, kRawRange);
        return;
    }
    LockedMap locked(*this, event, nameAddress, nameLength, status);
    StorageMapInterface* map = locked.map();
    if (map == nullptr) {
        return;
    }
    // The map's own checks, before the user's byte count is allocated.
    map->validateRaw(fieldId, index, count, elementSize, write, status);
    if (status.isFatal()) {
        return;
    }
    const uint64_t bytes = count * elementSize;
    auto* buffer = static_cast<uint8_t*>(nVOAPAL200_malloc(bytes, &status));
    if (buffer == nullptr) {
        return;
    }
    nVOKAL240_memSet(buffer, 0, bytes);
    const tUserBuffer user(event, userBuffer, bytes);
    if (write) {
        user.read(0, buffer, bytes, status);
        map->setRaw(fieldId, index, count, buffer, elementSize, status);
    } else {
        map->getRaw(fieldId, index, count, buffer, elementSize, status);
        if (status.isNotFatal()) {
            user.write(0, buffer, bytes, status);
        }
    }
    nVOKAL100_free(buffer);
}

void StorageMapDispatcher::setRaw(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                  uint32_t fieldId, uint64_t index, uint64_t count, uint64_t userBuffer,
                                  uint64_t elementSize, tStatus& status) {
    raw(true, event, nameAddress, nameLength, fieldId, index, count, userBuffer, elementSize, status);
}

void StorageMapDispatcher::getRaw(const tEventDescriptor& event, uint64_t nameAddress, uint64_t nameLength,
                                  uint32_t fieldId, uint64_t index, uint64_t count, uint64_t userBuffer,
                                  uint64_t elementSize, tStatus& status) {
    raw(false, event, nameAddress, nameLength, fieldId, index, count, userBuffer, elementSize, status);
}

} // namespace storagemap
