// Access of 8, 16, 32 and 64 bits to one mapped region of a memory window,
// through the kernel layer's device memory operations. The caller keeps every
// access inside the region: offset + width - 1 < mapped size is an internal
// invariant ("Attempt to read out of bounds", "Attempt to write out of bounds").
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

template <bool kDebug> class tPCIMemorySpaceAccessorDebug;

// The accessor this driver uses. It owns nothing and reports into no status.
template <> class tPCIMemorySpaceAccessorDebug<false> {
public:
    tPCIMemorySpaceAccessorDebug() = default;
    tPCIMemorySpaceAccessorDebug(uint64_t mappedBaseAddress, uint64_t mappedSize)
        : mappedBase(mappedBaseAddress), _mappedSize(mappedSize) {}
    tPCIMemorySpaceAccessorDebug(void* mappedAddress, uint64_t mappedSize)
        : mappedBase(reinterpret_cast<uintptr_t>(mappedAddress)), _mappedSize(mappedSize) {}

    uint64_t base() const { return mappedBase; }
    uint64_t size() const { return _mappedSize; }
    // Whether width bytes at offset lie inside the region (overflow-safe).
    bool contains(uint64_t offset, uint64_t width) const {
        return width <= _mappedSize && offset <= _mappedSize - width;
    }

    uint8_t read8(uint64_t offset) const {
        VOSDBG_ASSERT_MSG(contains(offset, 1), "Attempt to read out of bounds");
        return nVOKAL100_memoryRead8(address(offset));
    }
    uint16_t read16(uint64_t offset) const {
        VOSDBG_ASSERT_MSG(contains(offset, 2), "Attempt to read out of bounds");
        return nVOKAL100_memoryRead16(address(offset));
    }
    uint32_t read32(uint64_t offset) const {
        VOSDBG_ASSERT_MSG(contains(offset, 4), "Attempt to read out of bounds");
        return nVOKAL100_memoryRead32(address(offset));
    }
    uint64_t read64(uint64_t offset) const {
        VOSDBG_ASSERT_MSG(contains(offset, 8), "Attempt to read out of bounds");
        return nVOKAL100_memoryRead64(address(offset));
    }
    void write8(uint64_t offset, uint8_t value) const {
        VOSDBG_ASSERT_MSG(contains(offset, 1), "Attempt to write out of bounds");
        nVOKAL100_memoryWrite8(address(offset), value);
    }
    void write16(uint64_t offset, uint16_t value) const {
        VOSDBG_ASSERT_MSG(contains(offset, 2), "Attempt to write out of bounds");
        nVOKAL100_memoryWrite16(address(offset), value);
    }
    void write32(uint64_t offset, uint32_t value) const {
        VOSDBG_ASSERT_MSG(contains(offset, 4), "Attempt to write out of bounds");
        nVOKAL100_memoryWrite32(address(offset), value);
    }
    void write64(uint64_t offset, uint64_t value) const {
        VOSDBG_ASSERT_MSG(contains(offset, 8), "Attempt to write out of bounds");
        nVOKAL100_memoryWrite64(address(offset), value);
    }

    uint64_t mappedBase = 0;
    uint64_t _mappedSize = 0;

private:
    volatile void* address(uint64_t offset) const {
        return reinterpret_cast<volatile void*>(static_cast<uintptr_t>(mappedBase + offset));
    }
};

using tPCIMemorySpaceAccessor = tPCIMemorySpaceAccessorDebug<false>;

} // namespace kelvo_driver::nVOAPAL000
