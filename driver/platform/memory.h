// Driver memory: every allocation goes through the kernel layer with a
// 16-byte header in front of the block.
//
// The allocation functions are private to the driver: they live at class
// scope in tObject, the common base of every heap-allocated driver class, so
// that the driver never replaces (nor uses) the process-wide global operators.
// Every form is noexcept, so a null result skips the constructor.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <new>

#include "platform/status.h"

extern "C" {
// Null without allocating when the status is already fatal; -52000 when memory is short.
void* nVOAPAL200_malloc(uint64_t size, nVOAPALS100_tStatus* status);
// Copy through the kernel layer; null pointers only with size 0.
void nVOAPAL200_copyMemory(void* destination, const void* source, uint64_t sizeInBytes);
}

namespace kelvo_driver::nVOAPAL000 {

// Header kept in front of every block of the object allocator.
struct tAllocationHeader {
    uint32_t magic;
    uint32_t flag; // the bool handed to the status-taking allocation
    uint64_t size;
};
static_assert(sizeof(tAllocationHeader) == 16);

void* allocateBlock(size_t size, bool flag) noexcept;
void freeBlock(void* block) noexcept;
// The flag stored with a block of allocateBlock.
bool blockFlag(const void* block) noexcept;

class tObject {
public:
    // Status-taking allocation: null and nothing allocated when the status
    // already holds an error; -52000 when memory is short.
    static void* operator new(size_t size, nVOAPALS100::tStatus& status, bool flag) noexcept;
    static void* operator new[](size_t size, nVOAPALS100::tStatus& status, bool flag) noexcept;
    // Plain and nothrow allocation: null when memory is short.
    static void* operator new(size_t size) noexcept;
    static void* operator new[](size_t size) noexcept;
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void* operator new[](size_t size, const std::nothrow_t&) noexcept;
    // Placement.
    static void* operator new(size_t, void* place) noexcept { return place; }
    static void* operator new[](size_t, void* place) noexcept { return place; }

    static void operator delete(void* block, size_t) noexcept;
    static void operator delete[](void* block) noexcept;
    static void operator delete(void*, void*) noexcept {}
    static void operator delete[](void*, void*) noexcept {}
    static void operator delete(void* block, nVOAPALS100::tStatus&, bool) noexcept;
    static void operator delete[](void* block, nVOAPALS100::tStatus&, bool) noexcept;
};

// Destroys and frees an object that a driver allocation made (null is ignored).
template <typename T> inline void deleteObject(T* object) {
    delete object;
}

} // namespace kelvo_driver::nVOAPAL000
