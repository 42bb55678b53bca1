#include "storage/flash_window.h"

#include "framework/mutex_holder.h"
#include "nVOKAL.h"

namespace devicewindow {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

namespace {

uint8_t* allocateBytes(uint64_t size, tStatus& status) {
    auto* bytes = static_cast<uint8_t*>(nVOAPAL200_malloc(size, &status));
    if (bytes != nullptr) {
        nVOKAL240_memSet(bytes, 0, size);
    }
    return bytes;
}

} // namespace

// ---- FlashSector --------------------------------------------------------------

FlashSector::FlashSector(FlashController& controller, uint64_t sectorAddress, tStatus& status)
    : controller_(controller), sectorAddress_(sectorAddress), sectorSize_(controller.getSectorSizeInBytes()) {
    if (status.isFatal()) {
        return;
    }
    softCopy_ = allocateBytes(sectorSize_, status);
    hardwareCopy_ = allocateBytes(sectorSize_, status);
    if (status.isFatal()) {
        return;
    }
    controller_.readSector(sectorAddress_, hardwareCopy_, status);
    if (status.isNotFatal()) {
        __builtin_memcpy(softCopy_, hardwareCopy_, sectorSize_);
    }
}

FlashSector::~FlashSector() {
    if (softCopy_ != nullptr) {
        nVOKAL100_free(softCopy_);
    }
    if (hardwareCopy_ != nullptr) {
        nVOKAL100_free(hardwareCopy_);
    }
}

bool FlashSector::inside(uint64_t offset, uint64_t size, tStatus& status) const {
    if (!rangeInside(offset, size, sectorSize_)) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
        return false;
    }
    return true;
}

void FlashSector::get(uint64_t offset, uint64_t size, uint8_t* destination, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    if (destination == nullptr) {
        KELVO_SET_STATUS(status, kFlashNullBuffer);
        return;
    }
    if (inside(offset, size, status) && size != 0) {
        __builtin_memcpy(destination, softCopy_ + offset, size);
    }
}

void FlashSector::set(const uint8_t* source, uint64_t offset, uint64_t size, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (source == nullptr) {
        KELVO_SET_STATUS(status, kFlashNullBuffer);
        return;
    }
    if (inside(offset, size, status) && size != 0) {
        __builtin_memmove(softCopy_ + offset, source, size);
    }
}

void FlashSector::flush(uint64_t offset, uint64_t size, bool force, uint8_t* scratch, tStatus& status) {
    if (status.isFatal() || !inside(offset, size, status)) {
        return;
    }
    const bool differs = size != 0 && __builtin_memcmp(hardwareCopy_ + offset, softCopy_ + offset, size) != 0;
    if (!differs && !force && !isStale()) {
        return;
    }
    __builtin_memcpy(scratch, hardwareCopy_, sectorSize_);
    if (size != 0) {
        __builtin_memcpy(scratch + offset, softCopy_ + offset, size);
    }
    controller_.writeSector(sectorAddress_, scratch, status);
    if (status.isFatal()) {
        // The flash holds neither copy now: rewrite it at the next flush.
        stale_ = true;
        return;
    }
    __builtin_memcpy(hardwareCopy_, scratch, sectorSize_);
    stale_ = false;
}

void FlashSector::refresh(uint64_t offset, uint64_t size, tStatus& status) {
    if (status.isFatal() || !inside(offset, size, status)) {
        return;
    }
    controller_.readSector(sectorAddress_, hardwareCopy_, status);
    if (status.isNotFatal() && size != 0) {
        __builtin_memcpy(softCopy_ + offset, hardwareCopy_ + offset, size);
    }
}

// ---- FlashWindow --------------------------------------------------------------

FlashWindow::FlashWindow(FlashController& controller, tStatus& status) : controller_(controller) {
    nVOAPAL200_createMutex(&mutex_, &status);
    if (status.isFatal()) {
        return;
    }
    const uint64_t sectorSize = controller_.getSectorSizeInBytes();
    if (sectorSize == 0 || controller_.getSizeInBytes() % sectorSize != 0) {
        KELVO_SET_STATUS(status, kFlashSizeNotMultipleOfSector);
        return;
    }
    const uint64_t count = controller_.getNumberOfSectors();
    sectors_ = static_cast<FlashSector**>(nVOAPAL200_malloc(count * sizeof(FlashSector*), &status));
    if (sectors_ == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < count; ++i) {
        sectors_[i] = nullptr;
    }
    numberOfSectors_ = count;
    scratch_ = allocateBytes(sectorSize, status);
}

FlashWindow::~FlashWindow() {
    for (uint64_t i = 0; i < numberOfSectors_; ++i) {
        delete sectors_[i];
    }
    if (sectors_ != nullptr) {
        nVOKAL100_free(sectors_);
    }
    if (scratch_ != nullptr) {
        nVOKAL100_free(scratch_);
    }
    // The mutex's destructor destroys the kernel mutex.
}

bool FlashWindow::checkRange(uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (!rangeInside(offsetInBytes, sizeInBytes, controller_.getSizeInBytes())) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
        return false;
    }
    return true;
}

FlashSector* FlashWindow::sectorAt(uint64_t index, bool& justRead, tStatus& status) {
    justRead = false;
    if (status.isFatal()) {
        return nullptr;
    }
    if (index >= numberOfSectors_) {
        KELVO_SET_STATUS(status, kFlashOutOfRange);
        return nullptr;
    }
    if (sectors_[index] == nullptr) {
        const uint64_t address = controller_.getSectorAddress(index, status);
        auto* sector = new (status, false) FlashSector(controller_, address, status);
        if (status.isFatal()) {
            // A sector that could not be read is not kept.
            delete sector;
            return nullptr;
        }
        sectors_[index] = sector;
        justRead = true;
    }
    return sectors_[index];
}

void FlashWindow::drop(uint64_t index) {
    delete sectors_[index];
    sectors_[index] = nullptr;
}

void FlashWindow::walk(uint8_t* buffer, uint64_t offsetInBytes, uint64_t sizeInBytes, uint32_t operation,
                       bool force, tStatus& status) {
    if (!checkRange(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    if (operation != kFlush && operation != kRefresh && buffer == nullptr) {
        KELVO_SET_STATUS(status, kFlashNullBuffer);
        return;
    }
    if (sectors_ == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        return;
    }
    const uint64_t sectorSize = controller_.getSectorSizeInBytes();
    uint64_t offsetInSector = offsetInBytes & (sectorSize - 1);
    uint64_t index = controller_.getSectorIndex(offsetInBytes, status);
    uint64_t remaining = sizeInBytes;
    while (remaining != 0 && status.isNotFatal()) {
        const uint64_t chunk =
            sectorSize - offsetInSector < remaining ? sectorSize - offsetInSector : remaining;
        bool justRead = false;
        FlashSector* sector = sectorAt(index, justRead, status);
        if (sector == nullptr) {
            return;
        }
        switch (operation) {
        case kSet:
            sector->set(buffer, offsetInSector, chunk, status);
            break;
        case kFlush:
            sector->flush(offsetInSector, chunk, force, scratch_, status);
            break;
        case kRefresh:
            // A sector just taken into the cache was read whole a moment ago.
            if (justRead) {
                break;
            }
            sector->refresh(offsetInSector, chunk, status);
            if (status.isFatal()) {
                drop(index);
            }
            break;
        case kGet:
            sector->get(offsetInSector, chunk, buffer, status);
            break;
        default:
            KELVO_SET_STATUS(status, kStorageUnknownOperation);
            return;
        }
        remaining -= chunk;
        if (buffer != nullptr) {
            buffer += chunk;
        }
        ++index;
        offsetInSector = 0;
    }
}

void FlashWindow::get(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    walk(destination, offsetInBytes, sizeInBytes, kGet, false, status);
}

void FlashWindow::set(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    walk(const_cast<uint8_t*>(source), offsetInBytes, sizeInBytes, kSet, false, status);
}

void FlashWindow::flush(uint64_t offsetInBytes, uint64_t sizeInBytes, bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    walk(nullptr, offsetInBytes, sizeInBytes, kFlush, force, status);
}

void FlashWindow::refresh(uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    MutexHolder lock(mutex_);
    walk(nullptr, offsetInBytes, sizeInBytes, kRefresh, false, status);
}

void FlashWindow::read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (destination == nullptr) {
        KELVO_SET_STATUS(status, kFlashNullBuffer);
        return;
    }
    MutexHolder lock(mutex_);
    walk(nullptr, offsetInBytes, sizeInBytes, kRefresh, false, status);
    walk(destination, offsetInBytes, sizeInBytes, kGet, false, status);
}

void FlashWindow::write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
                        tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (source == nullptr) {
        KELVO_SET_STATUS(status, kFlashNullBuffer);
        return;
    }
    if (!checkRange(offsetInBytes, sizeInBytes, status)) {
        return;
    }
    MutexHolder lock(mutex_);
    walk(const_cast<uint8_t*>(source), offsetInBytes, sizeInBytes, kSet, false, status);
    walk(nullptr, offsetInBytes, sizeInBytes, kFlush, force, status);
}

} // namespace devicewindow
