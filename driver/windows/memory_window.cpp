#include "windows/memory_window.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace devicewindow {

using nVOAPALS100::tStatus;

namespace {

// A zero-filled kernel buffer of n bytes for one run; a run of 0 bytes uses
// the caller's spare byte instead of an allocation. Null and -52000 when
// memory is short.
uint8_t* runBuffer(uint64_t n, uint8_t* spare, tStatus& status) {
    if (n == 0) {
        return spare;
    }
    auto* buffer = static_cast<uint8_t*>(nVOAPAL200_malloc(n, &status));
    if (buffer != nullptr) {
        nVOKAL240_memSet(buffer, 0, n);
    }
    return buffer;
}

void releaseRunBuffer(uint8_t* buffer, const uint8_t* spare) {
    if (buffer != nullptr && buffer != spare) {
        nVOKAL100_free(buffer);
    }
}

} // namespace

// ---- guards ------------------------------------------------------------------

ReadGuard::ReadGuard(MemoryAccessorInterface& accessor, tStatus& status)
    : accessor_(accessor), status_(status) {
    if (status.isNotFatal()) {
        accessor_.beginRead(status);
        begun_ = status.isNotFatal();
    }
}

ReadGuard::~ReadGuard() {
    if (begun_) {
        tStatus local;
        accessor_.endRead(local);
        status_.merge(local);
    }
}

WriteGuard::WriteGuard(MemoryAccessorInterface& accessor, tStatus& status)
    : accessor_(accessor), status_(status) {
    if (status.isNotFatal()) {
        accessor_.beginWrite(status);
        begun_ = status.isNotFatal();
    }
}

WriteGuard::~WriteGuard() {
    if (begun_) {
        tStatus local;
        accessor_.endWrite(local);
        status_.merge(local);
    }
}

// ---- the window ----------------------------------------------------------------

class MemoryWindow::tLock {
public:
    explicit tLock(kelvo_driver::nVOAPAL000::tMutex& mutex) : mutex_(mutex) {
        nVOAPAL200_acquireMutex(&mutex_);
    }
    ~tLock() { nVOAPAL200_releaseMutex(&mutex_); }
    tLock(const tLock&) = delete;
    tLock& operator=(const tLock&) = delete;

private:
    kelvo_driver::nVOAPAL000::tMutex& mutex_;
};

MemoryWindow::MemoryWindow(MemoryAccessorInterface& accessor, tStatus& status)
    : accessor_(accessor), size_(accessor.getSizeInBytes()) {
    if (status.isFatal()) {
        return;
    }
    if (size_ > UINT64_MAX / sizeof(SoftCopyByte)) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    if (size_ != 0) {
        softCopy_ = static_cast<SoftCopyByte*>(nVOAPAL200_malloc(size_ * sizeof(SoftCopyByte), &status));
        if (softCopy_ == nullptr) {
            return;
        }
        for (uint64_t i = 0; i < size_; ++i) {
            softCopy_[i] = SoftCopyByte{};
        }
    }
    nVOAPAL200_createMutex(&mutex_, &status);
    usable_ = status.isNotFatal();
}

MemoryWindow::~MemoryWindow() {
    if (softCopy_ != nullptr) {
        nVOKAL100_free(softCopy_);
    }
}

bool MemoryWindow::admit(const void* buffer, bool needsBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
                         tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (needsBuffer && buffer == nullptr) {
        KELVO_SET_STATUS(status, kWindowNullBuffer);
        return false;
    }
    if (!checkRange(offsetInBytes, sizeInBytes, status)) {
        return false;
    }
    if (!usable_) {
        KELVO_SET_STATUS(status, tStatus::kInvalidState);
        return false;
    }
    return true;
}

void MemoryWindow::get(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination, tStatus& status) {
    if (!admit(destination, true, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    SoftCopyByte* last = first + sizeInBytes;
    refreshInvalidRuns(first, last, status);
    getSoftCopy(first, last, destination, status);
}

void MemoryWindow::set(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) {
    if (!admit(source, true, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    setSoftCopy(source, first, first + sizeInBytes, status);
}

void MemoryWindow::flush(uint64_t offsetInBytes, uint64_t sizeInBytes, bool force, tStatus& status) {
    if (!admit(nullptr, false, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    SoftCopyByte* last = first + sizeInBytes;
    refreshInvalidRuns(first, last, status);
    flushRange(first, last, force, status);
}

void MemoryWindow::read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination, tStatus& status) {
    if (!admit(destination, true, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    SoftCopyByte* last = first + sizeInBytes;
    {
        ReadGuard guard(accessor_, status);
        refreshSoftCopy(first, last, guard, status);
    }
    getSoftCopy(first, last, destination, status);
}

void MemoryWindow::write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
                         tStatus& status) {
    if (!admit(source, true, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    SoftCopyByte* last = first + sizeInBytes;
    setSoftCopy(source, first, last, status);
    flushRange(first, last, force, status);
}

void MemoryWindow::refresh(uint64_t offsetInBytes, uint64_t sizeInBytes, tStatus& status) {
    if (!admit(nullptr, false, offsetInBytes, sizeInBytes, status)) {
        return;
    }
    tLock lock(mutex_);
    SoftCopyByte* first = softCopy_ + offsetInBytes;
    ReadGuard guard(accessor_, status);
    refreshSoftCopy(first, first + sizeInBytes, guard, status);
}

void MemoryWindow::flushRange(SoftCopyByte* first, SoftCopyByte* last, bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (force) {
        WriteGuard guard(accessor_, status);
        flushSoftCopy(first, last, guard, status);
    } else {
        flushDirtySoftCopy(first, last, status);
    }
}

// ---- soft-copy steps -------------------------------------------------------------

void MemoryWindow::getSoftCopy(const SoftCopyByte* first, const SoftCopyByte* last, uint8_t* destination,
                               tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    for (; first != last; ++first, ++destination) {
        *destination = first->getValue();
    }
}

void MemoryWindow::setSoftCopy(const uint8_t* source, SoftCopyByte* first, SoftCopyByte* last,
                               tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    for (; first != last; ++first, ++source) {
        first->setValue(*source);
    }
}

void MemoryWindow::refreshInvalidRuns(SoftCopyByte* first, SoftCopyByte* last, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    SoftCopyByte* run = findIf(first, last, &devicewindow::isInvalid);
    if (run == last) {
        return;
    }
    ReadGuard guard(accessor_, status);
    while (run != last && status.isNotFatal()) {
        SoftCopyByte* end = findIf(run, last, &devicewindow::isValid);
        refreshSoftCopy(run, end, guard, status);
        run = findIf(end, last, &devicewindow::isInvalid);
    }
}

void MemoryWindow::refreshSoftCopy(SoftCopyByte* first, SoftCopyByte* last, ReadGuard&, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t n = static_cast<uint64_t>(last - first);
    uint8_t spare = 0;
    uint8_t* buffer = runBuffer(n, &spare, status);
    if (buffer == nullptr) {
        return;
    }
    accessor_.read(offsetOf(first), n, buffer, status);
    if (status.isNotFatal()) {
        for (uint64_t i = 0; i < n; ++i) {
            first[i].setValue(buffer[i]);
            first[i].markSynced();
        }
    }
    releaseRunBuffer(buffer, &spare);
}

void MemoryWindow::flushDirtySoftCopy(SoftCopyByte* first, SoftCopyByte* last, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    SoftCopyByte* run = findIf(first, last, &devicewindow::isDirty);
    if (run == last) {
        return;
    }
    WriteGuard guard(accessor_, status);
    while (run != last && status.isNotFatal()) {
        SoftCopyByte* end = findIf(run, last, [](SoftCopyByte byte) { return !byte.isDirty(); });
        flushSoftCopy(run, end, guard, status);
        run = findIf(end, last, &devicewindow::isDirty);
    }
}

void MemoryWindow::flushSoftCopy(SoftCopyByte* first, SoftCopyByte* last, WriteGuard&, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t n = static_cast<uint64_t>(last - first);
    uint8_t spare = 0;
    uint8_t* buffer = runBuffer(n, &spare, status);
    if (buffer == nullptr) {
        return;
    }
    getSoftCopy(first, last, buffer, status);
    accessor_.write(buffer, offsetOf(first), n, status);
    for (SoftCopyByte* byte = first; byte != last; ++byte) {
        if (status.isNotFatal()) {
            byte->markSynced();
        } else {
            byte->invalidate();
        }
    }
    releaseRunBuffer(buffer, &spare);
}

// ---- in-memory accessor ------------------------------------------------------------

MemoryAccessor::MemoryAccessor(uint64_t sizeInBytes, tStatus& status) {
    allocate(sizeInBytes, status);
    if (bytes_ != nullptr) {
        nVOKAL240_memSet(bytes_, 0xFF, size_);
    }
}

MemoryAccessor::MemoryAccessor(const uint8_t* first, const uint8_t* last, tStatus& status) {
    VOSDBG_ASSERT(first <= last);
    allocate(static_cast<uint64_t>(last - first), status);
    if (bytes_ != nullptr) {
        nVOKAL180_memCpy(bytes_, first, size_);
    }
}

MemoryAccessor::~MemoryAccessor() {
    if (bytes_ != nullptr) {
        nVOKAL100_free(bytes_);
    }
}

void MemoryAccessor::allocate(uint64_t sizeInBytes, tStatus& status) {
    if (sizeInBytes == 0) {
        return;
    }
    bytes_ = static_cast<uint8_t*>(nVOAPAL200_malloc(sizeInBytes, &status));
    size_ = bytes_ != nullptr ? sizeInBytes : 0;
}

void MemoryAccessor::read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
                          tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(rangeInside(offsetInBytes, sizeInBytes, size_), "read beyond the memory");
    if (sizeInBytes != 0) {
        nVOKAL180_memCpy(destination, bytes_ + offsetInBytes, sizeInBytes);
    }
}

void MemoryAccessor::write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
                           tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(rangeInside(offsetInBytes, sizeInBytes, size_), "write beyond the memory");
    if (sizeInBytes != 0) {
        nVOKAL180_memCpy(bytes_ + offsetInBytes, source, sizeInBytes);
    }
}

} // namespace devicewindow
