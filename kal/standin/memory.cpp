// Stand-in for the kernel layer's memory operations. Every block fills whole
// granules of its own (kernel_memory.h), so that kernel-layer memory never
// shares a page with the client's; under AddressSanitizer the rounding past
// the size asked for is poisoned, so an overrun is still reported. Without a
// sanitizer, freed one-granule blocks are kept for the next small
// allocations, as a kernel's slab caches keep theirs (they stay kernel-layer
// memory); a sanitizer sees every block go back.
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "control.h"
#include "detail.h"
#include "exec_level.h"
#include "kernel_memory.h"
#include "nVOKAL.h"

namespace {

struct MemoryState {
    std::mutex lock;
    std::map<std::uintptr_t, std::size_t> live; // start -> bytes of the block (whole granules)
    std::uint64_t calls = 0;
    std::uint64_t atomicCalls = 0;
    std::uint64_t failAt = 0;    // absolute call number to fail, 0 = none
    std::uint64_t failAfter = 0; // fail every call numbered above this, 0 = none
    bool failAfterSet = false;
    std::vector<void*>
        spare; // freed one-granule blocks, at most kSpareBlocks (reserved: free never allocates)
    MemoryState();
};

constexpr std::size_t kSpareBlocks = 256;

MemoryState::MemoryState() {
    spare.reserve(kSpareBlocks);
}
constexpr std::size_t kGranule = kal::kernelmem::kGranule;

MemoryState& state() {
    static MemoryState s;
    return s;
}

} // namespace

namespace kal::memory {

std::size_t liveAllocations() {
    std::lock_guard g(state().lock);
    return state().live.size();
}
std::uint64_t allocationCalls() {
    std::lock_guard g(state().lock);
    return state().calls;
}
std::uint64_t atomicAllocations() {
    std::lock_guard g(state().lock);
    return state().atomicCalls;
}
void failNth(std::uint64_t n) {
    std::lock_guard g(state().lock);
    state().failAt = n == 0 ? 0 : state().calls + n;
}
void failAfter(std::uint64_t n) {
    std::lock_guard g(state().lock);
    state().failAfter = state().calls + n;
    state().failAfterSet = true;
}
void clearFaults() {
    std::lock_guard g(state().lock);
    state().failAt = 0;
    state().failAfterSet = false;
}
void resetCounters() {
    std::lock_guard g(state().lock);
    state().calls = 0;
    state().atomicCalls = 0;
    state().failAt = 0;
    state().failAfterSet = false;
}

} // namespace kal::memory

extern "C" void* nVOKAL100_malloc(size_t size) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    const std::uint64_t n = ++s.calls;
    if (kal::exec::inAtomicContext()) {
        ++s.atomicCalls;
    }
    if ((s.failAt != 0 && n == s.failAt) || (s.failAfterSet && n > s.failAfter)) {
        return nullptr;
    }
    if (size > SIZE_MAX - kGranule) {
        return nullptr;
    }
    const size_t bytes = ((size == 0 ? 1 : size) + kGranule - 1) & ~(kGranule - 1);
    if (bytes == kGranule && !s.spare.empty()) {
        void* block = s.spare.back();
        s.spare.pop_back();
        s.live.emplace(reinterpret_cast<std::uintptr_t>(block), bytes);
        return block;
    }
    void* block = std::aligned_alloc(kGranule, bytes);
    if (block != nullptr) {
        s.live.emplace(reinterpret_cast<std::uintptr_t>(block), bytes);
        kal::kernelmem::addGranules(reinterpret_cast<std::uintptr_t>(block), bytes);
        ASAN_POISON_MEMORY_REGION(static_cast<std::uint8_t*>(block) + size, bytes - size);
    }
    return block;
}

extern "C" void nVOKAL100_free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    std::size_t bytes = 0;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        auto found = s.live.find(reinterpret_cast<std::uintptr_t>(block));
        if (found != s.live.end()) {
            bytes = found->second;
            s.live.erase(found);
            if (!kal::detail::kSanitized && bytes == kGranule && s.spare.size() < kSpareBlocks) {
                s.spare.push_back(block);
                return;
            }
            kal::kernelmem::removeGranules(reinterpret_cast<std::uintptr_t>(block), bytes);
        }
    }
    // Halt outside the lock: a halt hook that ends only this thread must not
    // leave the allocator locked for everyone else.
    if (bytes == 0) {
        KAL_FAIL("nVOKAL100_free of a block that is not allocated");
    }
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    std::free(block);
}

extern "C" void nVOKAL240_memSet(void* block, uint8_t value, size_t size) noexcept {
    if (size != 0) {
        std::memset(block, value, size);
    }
}

extern "C" void nVOKAL180_memCpy(void* destination, const void* source, size_t size) noexcept {
    if (size != 0) {
        std::memcpy(destination, source, size);
    }
}

extern "C" void nVOKAL180_memMove(void* destination, const void* source, size_t size) noexcept {
    if (size != 0) {
        std::memmove(destination, source, size);
    }
}
