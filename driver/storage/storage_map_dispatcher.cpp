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

// What a read that read nothing hands the caller: size zero bytes, written a
// page at a time, so that nothing sized by the caller is allocated. As with
// one copy of the whole, more than 0xFFFFFFFF bytes move nothing. The first
// copy that fails ends it; its code counts only when status holds no error
// yet.
void writeZeros(const tUserBuffer& user, uint64_t size, tStatus& status) {
    static const uint8_t kZeros[4096] = {};
    if (size > 0xFFFFFFFFu) {
        return;
    }
    tStatus copy;
    for (uint64_t at = 0; at < size && copy.isNotFatal(); at += sizeof(kZeros)) {
        user.write(at, kZeros, size - at < sizeof(kZeros) ? size - at : sizeof(kZeros), copy);
    }
    status.merge(copy);
}

// The map of a user-memory name, with its registration mutex held for the
// holder's life or until release(); map() is null when the lookup failed and
// after release().
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
    void release() {
        if (map_ != nullptr) {
            nVOAPAL200_releaseMutex(mutex_);
            map_ = nullptr;
        }
    }

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
    const uint64_t bytes = count * elementSize;
    const tUserBuffer user(event, userBuffer, bytes);
    // The map's own checks, before the user's byte count is allocated. A read
    // the map refuses read nothing: the caller gets zeros all the same, with
    // the map released first, since their size is the caller's, unchecked.
    map->validateRaw(fieldId, index, count, elementSize, write, status);
    if (status.isFatal()) {
        if (!write) {
            locked.release();
            writeZeros(user, bytes, status);
        }
        return;
    }
    auto* buffer = static_cast<uint8_t*>(nVOAPAL200_malloc(bytes, &status));
    if (buffer == nullptr) {
        return;
    }
    nVOKAL240_memSet(buffer, 0, bytes);
    if (write) {
        user.read(0, buffer, bytes, status);
        map->setRaw(fieldId, index, count, buffer, elementSize, status);
    } else {
        // Whatever the read left goes to the caller, zeros where it read nothing.
        map->getRaw(fieldId, index, count, buffer, elementSize, status);
        tStatus copy;
        user.write(0, buffer, bytes, copy);
        status.merge(copy);
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
