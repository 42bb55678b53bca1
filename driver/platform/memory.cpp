#include "platform/memory.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {
constexpr uint32_t kBlockMagic = 0x4B4C564F; // "KLVO"

tAllocationHeader* headerOf(const void* block) {
    return reinterpret_cast<tAllocationHeader*>(const_cast<char*>(static_cast<const char*>(block)) -
                                                sizeof(tAllocationHeader));
}
} // namespace

void* allocateBlock(size_t size, bool flag) noexcept {
    if (size > SIZE_MAX - sizeof(tAllocationHeader)) {
        return nullptr;
    }
    void* raw = nVOKAL100_malloc(size + sizeof(tAllocationHeader));
    if (raw == nullptr) {
        return nullptr;
    }
    auto* header = static_cast<tAllocationHeader*>(raw);
    header->magic = kBlockMagic;
    header->flag = flag ? 1 : 0;
    header->size = size;
    return static_cast<char*>(raw) + sizeof(tAllocationHeader);
}

void freeBlock(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    tAllocationHeader* header = headerOf(block);
    VOSDBG_ASSERT(header->magic == kBlockMagic);
    header->magic = 0;
    nVOKAL100_free(header);
}

bool blockFlag(const void* block) noexcept {
    return headerOf(block)->flag != 0;
}

void* tObject::operator new(size_t size, nVOAPALS100::tStatus& status, bool flag) noexcept {
    if (status.isFatal()) {
        return nullptr;
    }
    void* block = allocateBlock(size, flag);
    if (block == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
    }
    return block;
}
void* tObject::operator new[](size_t size, nVOAPALS100::tStatus& status, bool flag) noexcept {
    return operator new(size, status, flag);
}
void* tObject::operator new(size_t size) noexcept {
    return allocateBlock(size, false);
}
void* tObject::operator new[](size_t size) noexcept {
    return allocateBlock(size, false);
}
void* tObject::operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocateBlock(size, false);
}
void* tObject::operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocateBlock(size, false);
}
void tObject::operator delete(void* block, size_t) noexcept {
    freeBlock(block);
}
void tObject::operator delete[](void* block) noexcept {
    freeBlock(block);
}
void tObject::operator delete(void* block, nVOAPALS100::tStatus&, bool) noexcept {
    freeBlock(block);
}
void tObject::operator delete[](void* block, nVOAPALS100::tStatus&, bool) noexcept {
    freeBlock(block);
}

} // namespace kelvo_driver::nVOAPAL000

extern "C" void* nVOAPAL200_malloc(uint64_t size, nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != nullptr);
    if (status->code < 0) {
        return nullptr;
    }
    void* block = nVOKAL100_malloc(size);
    if (block == nullptr) {
        nVOAPAL200_setStatus(status, nVOAPALS100::tStatus::kOutOfMemory, KELVO_COMPONENT, __FILE__, __LINE__);
    }
    return block;
}

extern "C" void nVOAPAL200_copyMemory(void* destination, const void* source, uint64_t sizeInBytes) {
    VOSDBG_ASSERT(destination != NULL || sizeInBytes == 0);
    VOSDBG_ASSERT(source != NULL || sizeInBytes == 0);
    if (sizeInBytes != 0) {
        nVOKAL180_memCpy(destination, source, sizeInBytes);
    }
}
