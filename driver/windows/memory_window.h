// The memory window: the device window over a plain memory space ("NisoFpgaWindow",
// "IsoFpgaWindow"). One soft-copy byte per byte of the space, each with a
// state. Bytes never read are fetched on demand, staged bytes are written
// back in runs, and a failed write marks its bytes unknown so that they are
// read again. The hardware is reached only through a MemoryAccessorInterface,
// once per run with the run's exact offset and length.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "windows/device_window.h"
#include "windows/memory_accessor_interface.h"

namespace devicewindow {

namespace states {
enum : uint8_t {
    invalid = 0, // value unknown
    dirty = 1,   // staged: differs from the hardware, or was never compared with it
    synced = 2,  // equals the hardware's last known value
};
} // namespace states

struct SoftCopyByte {
    uint8_t state = states::invalid;
    uint8_t value = 0xFF;

    bool isValid() const { return state != states::invalid; }
    bool isInvalid() const { return state == states::invalid; }
    bool isDirty() const { return state == states::dirty; }
    bool isSynced() const { return !isDirty(); }
    uint8_t getValue() const { return value; }
    // A valid byte that already holds v stays as it is; otherwise it is staged.
    void setValue(uint8_t v) {
        if (isValid() && value == v) {
            return;
        }
        state = states::dirty;
        value = v;
    }
    void markSynced() { state = states::synced; }
    void invalidate() {
        state = states::invalid;
        value = 0xFF;
    }
};
static_assert(sizeof(SoftCopyByte) == 2);

inline bool isValid(SoftCopyByte byte) {
    return byte.isValid();
}
inline bool isInvalid(SoftCopyByte byte) {
    return byte.isInvalid();
}
inline bool isDirty(SoftCopyByte byte) {
    return byte.isDirty();
}
inline bool isSynced(SoftCopyByte byte) {
    return byte.isSynced();
}

// The first element of [first, last) for which predicate holds, or last.
template <typename Iterator, typename Predicate>
Iterator findIf(Iterator first, Iterator last, Predicate predicate) {
    for (; first != last; ++first) {
        if (predicate(*first)) {
            return first;
        }
    }
    return last;
}

// Scoped hooks around hardware reads (writes): beginRead at construction when
// the status holds no error; endRead at destruction, with a fresh status
// merged into the guarded one, when the begin succeeded.
class ReadGuard {
public:
    ReadGuard(MemoryAccessorInterface& accessor, nVOAPALS100::tStatus& status);
    ~ReadGuard();
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    MemoryAccessorInterface& accessor_;
    nVOAPALS100::tStatus& status_;
    bool begun_ = false;
};

class WriteGuard {
public:
    WriteGuard(MemoryAccessorInterface& accessor, nVOAPALS100::tStatus& status);
    ~WriteGuard();
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    MemoryAccessorInterface& accessor_;
    nVOAPALS100::tStatus& status_;
    bool begun_ = false;
};

class MemoryWindow : public DeviceWindow {
public:
    // Sized from the accessor (not owned; it must outlive the window). All
    // bytes start invalid. -52000 when the soft copy or the mutex cannot be
    // had; such a window answers every operation with -52020.
    MemoryWindow(MemoryAccessorInterface& accessor, nVOAPALS100::tStatus& status);
    ~MemoryWindow() override;
    MemoryWindow(const MemoryWindow&) = delete;
    MemoryWindow& operator=(const MemoryWindow&) = delete;

    // get: the invalid runs of the range are read first.
    void get(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
             nVOAPALS100::tStatus& status) override;
    void set(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
             nVOAPALS100::tStatus& status) override;
    // The invalid runs of the range are read first; then with force the whole
    // range is written, without force each run of staged bytes.
    void flush(uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
               nVOAPALS100::tStatus& status) override;
    void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
              nVOAPALS100::tStatus& status) override;
    void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
               nVOAPALS100::tStatus& status) override;
    void refresh(uint64_t offsetInBytes, uint64_t sizeInBytes, nVOAPALS100::tStatus& status) override;
    uint64_t getSizeInBytes() const override { return size_; }
    // Unversioned.
    const char* getVersion() const override { return ""; }
    const char* getOldestCompatibleVersion() const override { return ""; }

    // The soft-copy steps, each over [first, last) of the soft copy; nothing
    // when the status holds an error.
    // destination[i] = the value of each byte.
    virtual void getSoftCopy(const SoftCopyByte* first, const SoftCopyByte* last, uint8_t* destination,
                             nVOAPALS100::tStatus& status);
    // Stages source[i] in each byte.
    virtual void setSoftCopy(const uint8_t* source, SoftCopyByte* first, SoftCopyByte* last,
                             nVOAPALS100::tStatus& status);
    // Writes the range in one accessor call; every byte synced when it
    // succeeds, invalid when it fails.
    virtual void flushSoftCopy(SoftCopyByte* first, SoftCopyByte* last, WriteGuard& guard,
                               nVOAPALS100::tStatus& status);
    // Writes each run of staged bytes (nothing, not even the guard, when none).
    virtual void flushDirtySoftCopy(SoftCopyByte* first, SoftCopyByte* last, nVOAPALS100::tStatus& status);
    // Reads the range in one accessor call; every byte synced with the value
    // read when it succeeds, unchanged when it fails.
    virtual void refreshSoftCopy(SoftCopyByte* first, SoftCopyByte* last, ReadGuard& guard,
                                 nVOAPALS100::tStatus& status);

    // The soft-copy byte at an offset (tests and diagnostics).
    const SoftCopyByte& softCopyByte(uint64_t offsetInBytes) const { return softCopy_[offsetInBytes]; }

private:
    class tLock;

    // Buffer and range checks of an operation, before its lock.
    bool admit(const void* buffer, bool needsBuffer, uint64_t offsetInBytes, uint64_t sizeInBytes,
               nVOAPALS100::tStatus& status) const;
    void refreshInvalidRuns(SoftCopyByte* first, SoftCopyByte* last, nVOAPALS100::tStatus& status);
    // The force and no-force flush steps, after any refresh.
    void flushRange(SoftCopyByte* first, SoftCopyByte* last, bool force, nVOAPALS100::tStatus& status);
    uint64_t offsetOf(const SoftCopyByte* byte) const { return static_cast<uint64_t>(byte - softCopy_); }

    MemoryAccessorInterface& accessor_;
    uint64_t size_;
    SoftCopyByte* softCopy_ = nullptr;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    bool usable_ = false;
};

// A memory space in kernel memory behind the accessor interface: the hooks do
// nothing; read and write copy bytes (a range beyond the space is an
// invariant). No user in the driver's own windows.
class MemoryAccessor : public MemoryAccessorInterface {
public:
    // sizeInBytes bytes of 0xFF. -52000 when they cannot be had (size 0 then).
    MemoryAccessor(uint64_t sizeInBytes, nVOAPALS100::tStatus& status);
    // A copy of [first, last).
    MemoryAccessor(const uint8_t* first, const uint8_t* last, nVOAPALS100::tStatus& status);
    ~MemoryAccessor() override;
    MemoryAccessor(const MemoryAccessor&) = delete;
    MemoryAccessor& operator=(const MemoryAccessor&) = delete;

    void beginRead(nVOAPALS100::tStatus&) override {}
    void beginWrite(nVOAPALS100::tStatus&) override {}
    void endRead(nVOAPALS100::tStatus&) override {}
    void endWrite(nVOAPALS100::tStatus&) override {}
    void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
              nVOAPALS100::tStatus& status) override;
    void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
               nVOAPALS100::tStatus& status) override;
    uint64_t getSizeInBytes() const override { return size_; }

private:
    void allocate(uint64_t sizeInBytes, nVOAPALS100::tStatus& status);

    uint8_t* bytes_ = nullptr;
    uint64_t size_ = 0;
};

} // namespace devicewindow
