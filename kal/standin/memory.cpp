// Stand-in for the kernel layer's memory operations.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "control.h"
#include "detail.h"
#include "exec_level.h"
#include "kernel_memory.h"
#include "nVOKAL.h"

namespace {

// Every block is followed by guard bytes, checked when it is freed: a write
// past the end halts there even without AddressSanitizer (which sees such
// writes itself, so its builds keep exact blocks).
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

struct MemoryState {
    std::mutex lock;
    std::map<std::uintptr_t, std::size_t> live; // start -> bytes asked for
    std::uint64_t calls = 0;
    std::uint64_t atomicCalls = 0;
    std::uint64_t failAt = 0;    // absolute call number to fail, 0 = none
    std::uint64_t failAfter = 0; // fail every call numbered above this, 0 = none
    bool failAfterSet = false;
};

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

namespace kal::kernelmem {

bool overlapsAllocation(std::uint64_t address, std::uint64_t size) {
    auto& s = state();
    std::lock_guard g(s.lock);
    // Blocks do not overlap one another: only the last one starting before the
    // range's end can reach into it.
    auto it = s.live.lower_bound(static_cast<std::uintptr_t>(address + size));
    if (it == s.live.begin()) {
        return false;
    }
    --it;
    return it->first + it->second > address;
}

} // namespace kal::kernelmem

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
    // No machine has a terabyte to give one block: refused like any shortage
    // (the sanitizers' allocators would halt instead of answering null).
    constexpr size_t kLargestBlock = size_t{1} << 40;
    if (size > kLargestBlock) {
        return nullptr;
    }
    const size_t bytes = (size == 0 ? 1 : size) + kGuardBytes;
    void* block = nullptr;
    if (posix_memalign(&block, 16, bytes) != 0) {
        block = nullptr;
    }
    if (block != nullptr) {
        std::memset(static_cast<std::uint8_t*>(block) + size, kGuardValue, bytes - size);
        s.live.emplace(reinterpret_cast<std::uintptr_t>(block), size == 0 ? 1 : size);
    }
    return block;
}

extern "C" void nVOKAL100_free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    bool known = false;
    std::size_t size = 0;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        auto found = s.live.find(reinterpret_cast<std::uintptr_t>(block));
        if (found != s.live.end()) {
            known = true;
            size = found->second;
            s.live.erase(found);
        }
    }
    // Halt outside the lock: a halt hook that ends only this thread must not
    // leave the allocator locked for everyone else.
    if (!known) {
        KAL_FAIL("nVOKAL100_free of a block that is not allocated");
    }
    const auto* guard = static_cast<const std::uint8_t*>(block) + size;
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardValue) {
            KAL_FAIL("nVOKAL100_free: the block of " + std::to_string(size) +
                     " bytes was written past its end");
        }
    }
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
