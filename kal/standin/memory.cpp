// Stand-in for the kernel layer's memory operations.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "control.h"
#include "exec_level.h"
#include "nVOKAL.h"

namespace {

struct MemoryState {
    std::mutex lock;
    std::unordered_set<void*> live;
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
    void* block = std::aligned_alloc(16, ((size == 0 ? 1 : size) + 15) & ~static_cast<size_t>(15));
    if (block != nullptr) {
        s.live.insert(block);
    }
    return block;
}

extern "C" void nVOKAL100_free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    bool known;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        known = s.live.erase(block) != 0;
    }
    // Halt outside the lock: a halt hook that ends only this thread must not
    // leave the allocator locked for everyone else.
    if (!known) {
        nVOKAL250_halt("kal", __FILE__, __LINE__, "nVOKAL100_free of a block that is not allocated");
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
