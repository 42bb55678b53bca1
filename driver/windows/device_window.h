// The device-window interface: a named, byte-addressed view of device memory
// with a soft copy in kernel memory. Callers stage bytes in the soft copy
// (set), look at it (get), push staged changes to the hardware (flush),
// reload it (refresh), or do both in one step (write, read).
//
// Offsets are byte offsets from the start of the window. Every operation that
// takes a status does nothing when the status already holds an error. A range
// must satisfy offset + size <= getSizeInBytes() without overflow; get, set,
// read and write reject a null buffer with -240031 even for zero bytes. Each
// kind reports a range beyond it with its own code (memory windows -240015).
// Every operation checks its arguments before it touches a buffer or the
// hardware. Each window serialises its own operations.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace devicewindow {

// A null buffer.
constexpr int64_t kWindowNullBuffer = KELVO_STATUS_NULL_POINTER;
// A range beyond a memory window, or one whose end overflows.
constexpr int64_t kMemoryWindowOutOfRange = KELVO_STATUS_INDEX_OUT_OF_RANGE;

// Whether [offsetInBytes, offsetInBytes + sizeInBytes) lies inside sizeOfWindow bytes (overflow-safe).
constexpr bool rangeInside(uint64_t offsetInBytes, uint64_t sizeInBytes, uint64_t sizeOfWindow) {
    return sizeInBytes <= sizeOfWindow && offsetInBytes <= sizeOfWindow - sizeInBytes;
}

class DeviceWindow : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~DeviceWindow() = default;

    // Copies bytes of the soft copy to destination.
    virtual void get(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
                     nVOAPALS100::tStatus& status) = 0;
    // Copies bytes from source into the soft copy; the hardware is not touched.
    virtual void set(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes,
                     nVOAPALS100::tStatus& status) = 0;
    // Brings the hardware in line with the soft copy over the range: without
    // force only where the range differs from the hardware's last known
    // contents; with force the whole range.
    virtual void flush(uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
                       nVOAPALS100::tStatus& status) = 0;
    // refresh of the range, then get, under one hold of the window's lock.
    virtual void read(uint64_t offsetInBytes, uint64_t sizeInBytes, uint8_t* destination,
                      nVOAPALS100::tStatus& status) = 0;
    // set, then flush(force), under one hold of the window's lock.
    virtual void write(const uint8_t* source, uint64_t offsetInBytes, uint64_t sizeInBytes, bool force,
                       nVOAPALS100::tStatus& status) = 0;
    // Reloads the range of the soft copy from the hardware; staged bytes of the range are lost.
    virtual void refresh(uint64_t offsetInBytes, uint64_t sizeInBytes, nVOAPALS100::tStatus& status) = 0;
    // The window's size, fixed at construction.
    virtual uint64_t getSizeInBytes() const = 0;

    // Constant version texts; an empty version text marks the window as unversioned.
    virtual const char* getVersion() const = 0;
    virtual const char* getOldestCompatibleVersion() const = 0;

    // Whether the range lies inside the window; otherwise the window's own
    // out-of-range code goes into the status (nothing when it already holds
    // an error). This answer is memory windows'; other kinds override it.
    virtual bool checkRange(uint64_t offsetInBytes, uint64_t sizeInBytes,
                            nVOAPALS100::tStatus& status) const {
        if (status.isFatal()) {
            return false;
        }
        if (!rangeInside(offsetInBytes, sizeInBytes, getSizeInBytes())) {
            KELVO_SET_STATUS(status, kMemoryWindowOutOfRange);
            return false;
        }
        return true;
    }
};

} // namespace devicewindow
