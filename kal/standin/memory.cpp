// Stand-in for the kernel layer's memory operations. Every block fills whole
// granules of its own (kernel_memory.h), so that kernel-layer memory never
// shares a page with the client's; under AddressSanitizer the rounding past
// the size asked for is poisoned, so an overrun is still reported. Without a
// sanitizer, freed one-granule blocks are kept for the next small
// allocations, as a kernel's slab caches keep theirs (they stay kernel-layer
// memory); a sanitizer sees every block go back. Likewise freed blocks of a
// megabyte or more are kept, up to 64 MiB of them, for a later block of at
// least half their size, as a kernel's page allocator hands out warm pages:
// the process's allocator would map each such block afresh and fault in
// every page of it (a firmware image of several megabytes on each setup).
// Without AddressSanitizer,
// guard bytes follow every block and are checked when it is freed, so a write
// past the end halts there (AddressSanitizer sees such writes itself).
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "control.h"
#include "detail.h"
#include "exec_level.h"
#include "kernel_memory.h"
#include "nVOKAL.h"

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAL_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KAL_ADDRESS_SANITIZER)
constexpr std::size_t kGuardBytes = 0;
#else
constexpr std::size_t kGuardBytes = 16;
#endif
constexpr std::uint8_t kGuardValue = 0xFD;

struct Block {
    std::size_t size;  // bytes asked for (at least 1)
    std::size_t bytes; // bytes of the block (whole granules)
};

struct MemoryState {
    std::mutex lock;
    std::map<std::uintptr_t, Block> live; // by start
    std::uint64_t calls = 0;
    std::uint64_t atomicCalls = 0;
    std::uint64_t largest = 0;
    std::uint64_t failAt = 0;    // absolute call number to fail, 0 = none
    std::uint64_t failAfter = 0; // fail every call numbered above this, 0 = none
    bool failAfterSet = false;
    std::vector<void*>
        spare; // freed one-granule blocks, at most kSpareBlocks (reserved: free never allocates)
    struct Large {
        void* block;
        std::size_t bytes;
    };
    std::vector<Large> spareLarge; // freed large blocks, at most kSpareLargeBlocks and kSpareLargeBytes
    std::size_t spareLargeBytes = 0;
    MemoryState();
};

constexpr std::size_t kSpareBlocks = 256;
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
constexpr std::size_t kSpareLargeBlocks = 16;
constexpr std::size_t kSpareLargeBytes = std::size_t{64} << 20;

MemoryState::MemoryState() {
    spare.reserve(kSpareBlocks);
    spareLarge.reserve(kSpareLargeBlocks);
}
constexpr std::size_t kGranule = kal::kernelmem::kGranule;

MemoryState& state() {
    static MemoryState s;
    return s;
}

// The smallest kept large block of at least bytes and at most twice that,
// taken out of the spares; a null block when none fits or bytes is not a
// large block's. Under the lock.
MemoryState::Large takeSpareLarge(MemoryState& s, std::size_t bytes) {
    if (bytes < kLargeBlock) {
        return {nullptr, 0};
    }
    MemoryState::Large* best = nullptr;
    for (MemoryState::Large& kept : s.spareLarge) {
        if (kept.bytes >= bytes && kept.bytes / 2 <= bytes && (best == nullptr || kept.bytes < best->bytes)) {
            best = &kept;
        }
    }
    if (best == nullptr) {
        return {nullptr, 0};
    }
    const MemoryState::Large taken = *best;
    *best = s.spareLarge.back();
    s.spareLarge.pop_back();
    s.spareLargeBytes -= taken.bytes;
    return taken;
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
std::uint64_t largestRequest() {
    std::lock_guard g(state().lock);
    return state().largest;
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
    state().largest = 0;
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
    if (size > s.largest) {
        s.largest = size;
    }
    if ((s.failAt != 0 && n == s.failAt) || (s.failAfterSet && n > s.failAfter)) {
        return nullptr;
    }
    // No machine has a terabyte to give one block: refused like any shortage
    // (the sanitizers' allocators would halt instead of answering null).
    constexpr size_t kLargestBlock = size_t{1} << 40;
    if (size > kLargestBlock) {
        return nullptr;
    }
    const size_t used = size == 0 ? 1 : size;
    size_t bytes = (used + kGuardBytes + kGranule - 1) & ~(kGranule - 1);
    void* block = nullptr;
    if (bytes == kGranule && !s.spare.empty()) {
        block = s.spare.back();
        s.spare.pop_back();
    } else if (const MemoryState::Large kept = takeSpareLarge(s, bytes); kept.block != nullptr) {
        block = kept.block; // still counted as kernel-layer memory
        bytes = kept.bytes;
    } else {
        block = std::aligned_alloc(kGranule, bytes);
        if (block == nullptr) {
            return nullptr;
        }
        kal::kernelmem::addGranules(reinterpret_cast<std::uintptr_t>(block), bytes);
        ASAN_POISON_MEMORY_REGION(static_cast<std::uint8_t*>(block) + used, bytes - used);
    }
    std::memset(static_cast<std::uint8_t*>(block) + used, kGuardValue, kGuardBytes);
    s.live.emplace(reinterpret_cast<std::uintptr_t>(block), Block{used, bytes});
    return block;
}

extern "C" void nVOKAL100_free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    Block found{0, 0};
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        auto live = s.live.find(reinterpret_cast<std::uintptr_t>(block));
        if (live != s.live.end()) {
            found = live->second;
            s.live.erase(live);
        }
    }
    // Halt outside the lock: a halt hook that ends only this thread must not
    // leave the allocator locked for everyone else.
    if (found.bytes == 0) {
        KAL_FAIL("nVOKAL100_free of a block that is not allocated");
    }
    const auto* guard = static_cast<const std::uint8_t*>(block) + found.size;
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardValue) {
            KAL_FAIL("nVOKAL100_free: the block of " + std::to_string(found.size) +
                     " bytes was written past its end");
        }
    }
    if (!kal::detail::kSanitized && found.bytes == kGranule) {
        auto& s = state();
        std::lock_guard g(s.lock);
        if (s.spare.size() < kSpareBlocks) {
            s.spare.push_back(block);
            return;
        }
    }
    if (!kal::detail::kSanitized && found.bytes >= kLargeBlock) {
        auto& s = state();
        std::lock_guard g(s.lock);
        if (s.spareLarge.size() < kSpareLargeBlocks && s.spareLargeBytes + found.bytes <= kSpareLargeBytes) {
            s.spareLarge.push_back({block, found.bytes});
            s.spareLargeBytes += found.bytes;
            return;
        }
    }
    kal::kernelmem::removeGranules(reinterpret_cast<std::uintptr_t>(block), found.bytes);
    ASAN_UNPOISON_MEMORY_REGION(block, found.bytes);
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
