// Stand-in for the kernel layer's memory operations. Every block fills whole
// granules of its own (kernel_memory.h), so that kernel-layer memory never
// shares a page with the client's; under AddressSanitizer the rounding past
// the size asked for is poisoned, so an overrun is still reported. Without a
// sanitizer, freed one-granule blocks are kept for the next small
// allocations, as a kernel's slab caches keep theirs (they stay kernel-layer
// memory): each thread keeps a few of its own, as a kernel keeps them per
// CPU, and passes what it has too many of to a shared depot, from which a
// thread that runs out takes a batch. The depot holds up to 64 MiB, as a
// kernel keeps its freed pages mapped: a driver that frees and takes again
// thousands of page-sized blocks (the route records' slabs of a calculation)
// would otherwise have the process's allocator give the pages back and fault
// them in again. A sanitizer sees every block go back.
// Likewise freed blocks of 64 KiB or more are kept, up to 64 MiB of them,
// for a later block of at least half their size, as a kernel's page
// allocator hands out warm pages: the process's allocator would map each such
// block afresh and fault in every page of it (a firmware image of several
// megabytes on each setup).
// Without AddressSanitizer,
// guard bytes follow every block and are checked when it is freed, so a write
// past the end halts there (AddressSanitizer sees such writes itself).
//
// No lock on the way of a small block: the live blocks are found through a
// table by their first granule (what size was asked, how many granules the
// block has), the counts are kept per thread and summed when read, and the
// fault injection numbers the calls only while a fault is set.
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "standin/kernel_memory.h"
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
// Outside optimised builds a new block holds this byte, not whatever the pages
// held before, as a debugging kernel poisons its slabs: a driver that reads a
// field it never wrote, or hands it to user mode, then shows it.
#ifdef NDEBUG
constexpr bool kPoisonNewBlocks = false;
#else
constexpr bool kPoisonNewBlocks = true;
#endif
constexpr std::uint8_t kNewBlockValue = 0x5A;
constexpr std::size_t kGranule = kal::kernelmem::kGranule;

constexpr std::size_t kSpareBlocks = 16384; // one-granule blocks in the depot (64 MiB)
constexpr std::size_t kThreadSpares = 32;   // one-granule blocks a thread keeps
constexpr std::size_t kSpareBatch = 16;     // moved between a thread and the depot at once
constexpr std::size_t kLargeBlock = std::size_t{64} << 10;
constexpr std::size_t kSpareLargeBlocks = 256;
constexpr std::size_t kSpareLargeBytes = std::size_t{64} << 20;

// ---- the live blocks --------------------------------------------------------
// Per granule of the lower half of the address space: the size asked (plus
// one; 0 when no live block starts there) of the block that starts there and
// its granules. Two levels; leaves are made on first use (zero pages from
// calloc, touched only where blocks are) and kept for the life of the process,
// so a lookup follows two loads and never meets memory that goes away.
constexpr unsigned kLeafBits = 16;
constexpr std::uint64_t kLeafGranules = std::uint64_t{1} << kLeafBits;
constexpr std::uint64_t kLeaves = kal::kernelmem::kUserTop / kGranule / kLeafGranules;

struct Leaf {
    std::uint64_t sizePlusOne[kLeafGranules]; // reached through std::atomic_ref
    std::uint32_t granules[kLeafGranules];    // written before sizePlusOne, read after it (atomic_ref)
};

std::atomic<Leaf*> gLeaves[kLeaves]; // zero at load

// The block record of a granule-aligned address of the lower half, or null
// (when make is false and no leaf covers it, or no memory for the leaf).
struct Record {
    std::uint64_t* sizePlusOne;
    std::uint32_t* granules;
};
Record recordOf(std::uintptr_t block, bool make) {
    const std::uint64_t granule = block / kGranule;
    std::atomic<Leaf*>& slot = gLeaves[granule >> kLeafBits];
    Leaf* leaf = slot.load(std::memory_order_acquire);
    if (leaf == nullptr) {
        if (!make) {
            return {nullptr, nullptr};
        }
        auto* made = static_cast<Leaf*>(std::calloc(1, sizeof(Leaf)));
        if (made == nullptr) {
            return {nullptr, nullptr};
        }
        if (slot.compare_exchange_strong(leaf, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
            leaf = made;
        } else {
            std::free(made); // another thread made it first
        }
    }
    const std::uint64_t i = granule & (kLeafGranules - 1);
    return {&leaf->sizePlusOne[i], &leaf->granules[i]};
}

// ---- per-thread state -----------------------------------------------------------
// Each thread that allocates owns a record (made on its first call, taken over
// by a later thread once it ends, never freed). Only the owner writes its
// counts; readers sum them.
// A cache line of its own (the counts are written on every call).
struct alignas(64) ThreadCache {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::int64_t> live{0};      // blocks this thread handed out minus those it took back
    std::atomic<std::int64_t> liveBytes{0}; // and the bytes asked for them
    void* spare[kThreadSpares];             // owner only
    std::size_t spareCount = 0;
    std::atomic<bool> taken{true};
    ThreadCache* next = nullptr; // set before the record is linked, then fixed
};

struct MemoryState {
    // Fault settings, the depot and the large blocks kept.
    std::mutex lock;
    std::atomic<ThreadCache*> caches{nullptr};
    // Calls of threads without a record (ending threads).
    std::atomic<std::uint64_t> otherCalls{0};
    std::atomic<std::int64_t> otherLive{0};
    std::atomic<std::int64_t> otherLiveBytes{0};
    std::atomic<std::uint64_t> callsAtReset{0};
    std::atomic<std::uint64_t> atomicCalls{0};
    std::atomic<std::uint64_t> largest{0};
    // While a fault is set, calls take a number from armedCalls, and the one
    // numbered failAt (0 = none) or any above failAfter (when set) fails.
    std::atomic<bool> armed{false};
    std::atomic<std::uint64_t> armedCalls{0};
    std::atomic<std::uint64_t> failAt{0};
    std::atomic<std::uint64_t> failAfter{0};
    std::atomic<bool> failAfterSet{false};
    std::vector<void*> spare; // the depot: at most kSpareBlocks (reserved: free never allocates)
    struct Large {
        void* block;
        std::size_t bytes;
    };
    std::vector<Large> spareLarge; // freed large blocks, at most kSpareLargeBlocks and kSpareLargeBytes
    std::size_t spareLargeBytes = 0;
    MemoryState();
};

MemoryState::MemoryState() {
    spare.reserve(kSpareBlocks);
    spareLarge.reserve(kSpareLargeBlocks);
}

MemoryState& state() {
    static MemoryState* s = new MemoryState; // lives for the whole process (used from thread exits)
    return *s;
}

// Gives a block back to the process (no longer kernel-layer memory).
void release(void* block, std::size_t bytes) {
    kal::kernelmem::removeGranules(reinterpret_cast<std::uintptr_t>(block), bytes);
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    std::free(block);
}

// Puts one-granule blocks into the depot; those it has no room for go back
// to the process.
void toDepot(MemoryState& s, void* const* blocks, std::size_t count) {
    std::size_t kept = 0;
    {
        std::lock_guard g(s.lock);
        while (kept < count && s.spare.size() < kSpareBlocks) {
            s.spare.push_back(blocks[kept++]);
        }
    }
    for (std::size_t i = kept; i < count; ++i) {
        release(blocks[i], kGranule);
    }
}

// The calling thread's record; gives its blocks to the depot and the record
// back when the thread ends.
struct CacheOwner {
    ThreadCache* cache = nullptr;
    ~CacheOwner();
};
thread_local CacheOwner tCache;
// The thread's record while it has one (what calls read: a trivial
// thread-local costs no initialisation check).
thread_local ThreadCache* tMine = nullptr;
// Set once the thread's owner is destroyed: later calls of the thread (from
// other thread-locals' destructors) count as a thread's without a record.
thread_local bool tCacheGone = false;

CacheOwner::~CacheOwner() {
    tCacheGone = true;
    tMine = nullptr;
    if (cache != nullptr) {
        toDepot(state(), cache->spare, cache->spareCount);
        cache->spareCount = 0;
        cache->taken.store(false, std::memory_order_release);
        cache = nullptr;
    }
}

ThreadCache* takeCache() {
    if (tCacheGone) {
        return nullptr;
    }
    MemoryState& s = state();
    for (ThreadCache* c = s.caches.load(std::memory_order_acquire); c != nullptr; c = c->next) {
        bool taken = false;
        if (!c->taken.load(std::memory_order_relaxed) &&
            c->taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            tCache.cache = c;
            tMine = c;
            return c;
        }
    }
    auto* made = new (std::nothrow) ThreadCache;
    if (made == nullptr) {
        return nullptr;
    }
    made->next = s.caches.load(std::memory_order_relaxed);
    while (!s.caches.compare_exchange_weak(made->next, made, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
    tCache.cache = made;
    tMine = made;
    return made;
}

ThreadCache* myCache() {
    return tMine != nullptr ? tMine : takeCache();
}

// Counts one of the owner's own (a single writer: no read-modify-write needed).
template <typename T> void bump(std::atomic<T>& count, T by) {
    count.store(count.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// A one-granule block kept by the thread or the depot; null when none is.
void* takeSpare(MemoryState& s, ThreadCache* mine) {
    if (mine == nullptr) {
        std::lock_guard g(s.lock);
        if (s.spare.empty()) {
            return nullptr;
        }
        void* block = s.spare.back();
        s.spare.pop_back();
        return block;
    }
    if (mine->spareCount == 0) {
        std::lock_guard g(s.lock);
        while (mine->spareCount < kSpareBatch && !s.spare.empty()) {
            mine->spare[mine->spareCount++] = s.spare.back();
            s.spare.pop_back();
        }
    }
    return mine->spareCount == 0 ? nullptr : mine->spare[--mine->spareCount];
}

// Keeps a freed one-granule block.
void keepSpare(MemoryState& s, ThreadCache* mine, void* block) {
    if (mine == nullptr) {
        toDepot(s, &block, 1);
        return;
    }
    if (mine->spareCount == kThreadSpares) {
        mine->spareCount -= kSpareBatch;
        toDepot(s, mine->spare + mine->spareCount, kSpareBatch);
    }
    mine->spare[mine->spareCount++] = block;
}

// The smallest kept large block of at least bytes and at most twice that,
// taken out of the spares; a null block when none fits or bytes is not a
// large block's.
MemoryState::Large takeSpareLarge(MemoryState& s, std::size_t bytes) {
    if (bytes < kLargeBlock) {
        return {nullptr, 0};
    }
    std::lock_guard g(s.lock);
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

bool keepSpareLarge(MemoryState& s, void* block, std::size_t bytes) {
    std::lock_guard g(s.lock);
    if (s.spareLarge.size() < kSpareLargeBlocks && s.spareLargeBytes + bytes <= kSpareLargeBytes) {
        s.spareLarge.push_back({block, bytes});
        s.spareLargeBytes += bytes;
        return true;
    }
    return false;
}

std::uint64_t callsSoFar(MemoryState& s) {
    std::uint64_t calls = s.otherCalls.load();
    for (ThreadCache* c = s.caches.load(std::memory_order_acquire); c != nullptr; c = c->next) {
        calls += c->calls.load(std::memory_order_relaxed);
    }
    return calls;
}

// Under the lock.
void rearm(MemoryState& s) {
    s.armed.store(s.failAt.load() != 0 || s.failAfterSet.load());
}

} // namespace

namespace kal::memory {

// The other threads' count and every thread cache's, summed.
static std::size_t summed(std::atomic<std::int64_t> MemoryState::*other,
                          std::atomic<std::int64_t> ThreadCache::*mine) {
    MemoryState& s = state();
    std::int64_t total = (s.*other).load();
    for (ThreadCache* c = s.caches.load(std::memory_order_acquire); c != nullptr; c = c->next) {
        total += (c->*mine).load(std::memory_order_relaxed);
    }
    return static_cast<std::size_t>(total);
}
std::size_t liveAllocations() {
    return summed(&MemoryState::otherLive, &ThreadCache::live);
}
std::size_t liveBytes() {
    return summed(&MemoryState::otherLiveBytes, &ThreadCache::liveBytes);
}
std::uint64_t allocationCalls() {
    MemoryState& s = state();
    return callsSoFar(s) - s.callsAtReset.load();
}
std::uint64_t atomicAllocations() {
    return state().atomicCalls.load();
}
std::uint64_t largestRequest() {
    return state().largest.load();
}
void failNth(std::uint64_t n) {
    MemoryState& s = state();
    std::lock_guard g(s.lock);
    s.failAt.store(n == 0 ? 0 : s.armedCalls.load() + n);
    rearm(s);
}
void failAfter(std::uint64_t n) {
    MemoryState& s = state();
    std::lock_guard g(s.lock);
    s.failAfter.store(s.armedCalls.load() + n);
    s.failAfterSet.store(true);
    rearm(s);
}
void clearFaults() {
    MemoryState& s = state();
    std::lock_guard g(s.lock);
    s.failAt.store(0);
    s.failAfterSet.store(false);
    rearm(s);
}
void resetCounters() {
    MemoryState& s = state();
    std::lock_guard g(s.lock);
    s.callsAtReset.store(callsSoFar(s));
    s.atomicCalls.store(0);
    s.largest.store(0);
    s.failAt.store(0);
    s.failAfterSet.store(false);
    rearm(s);
}

} // namespace kal::memory

extern "C" void* nVOKAL100_malloc(size_t size) noexcept {
    MemoryState& s = state();
    ThreadCache* const mine = myCache();
    if (mine != nullptr) {
        bump(mine->calls, std::uint64_t{1});
    } else {
        s.otherCalls.fetch_add(1);
    }
    if (kal::exec::inAtomicContext()) {
        s.atomicCalls.fetch_add(1);
    }
    for (std::uint64_t largest = s.largest.load(std::memory_order_relaxed);
         size > largest && !s.largest.compare_exchange_weak(largest, size);) {
    }
    if (s.armed.load()) {
        const std::uint64_t n = s.armedCalls.fetch_add(1) + 1;
        const std::uint64_t failAt = s.failAt.load();
        if ((failAt != 0 && n == failAt) || (s.failAfterSet.load() && n > s.failAfter.load())) {
            return nullptr;
        }
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
    if (bytes == kGranule && !kal::detail::kSanitized) {
        block = takeSpare(s, mine);
    } else if (const MemoryState::Large kept = takeSpareLarge(s, bytes); kept.block != nullptr) {
        block = kept.block; // still counted as kernel-layer memory
        bytes = kept.bytes;
    }
    if (block == nullptr) {
        block = std::aligned_alloc(kGranule, bytes);
        if (block == nullptr) {
            return nullptr;
        }
        kal::kernelmem::addGranules(reinterpret_cast<std::uintptr_t>(block), bytes);
        ASAN_POISON_MEMORY_REGION(static_cast<std::uint8_t*>(block) + used, bytes - used);
    }
    const Record record = recordOf(reinterpret_cast<std::uintptr_t>(block), true);
    if (record.sizePlusOne == nullptr) {
        release(block, bytes);
        return nullptr;
    }
    if (kPoisonNewBlocks) {
        std::memset(block, kNewBlockValue, used);
    }
    std::memset(static_cast<std::uint8_t*>(block) + used, kGuardValue, kGuardBytes);
    // Atomic, though ordered by sizePlusOne: a block's address comes back from
    // the C library to another thread, an order the race checkers do not see.
    std::atomic_ref(*record.granules)
        .store(static_cast<std::uint32_t>(bytes / kGranule), std::memory_order_relaxed);
    std::uint64_t none = 0;
    if (!std::atomic_ref(*record.sizePlusOne)
             .compare_exchange_strong(none, used + 1, std::memory_order_release, std::memory_order_relaxed)) {
        KAL_FAIL("nVOKAL100_malloc handed out a block that is live");
    }
    if (mine != nullptr) {
        bump(mine->live, std::int64_t{1});
        bump(mine->liveBytes, static_cast<std::int64_t>(used));
    } else {
        s.otherLive.fetch_add(1);
        s.otherLiveBytes.fetch_add(static_cast<std::int64_t>(used));
    }
    return block;
}

extern "C" void nVOKAL100_free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const Record record = address % kGranule == 0 && address < kal::kernelmem::kUserTop
                              ? recordOf(address, false)
                              : Record{nullptr, nullptr};
    const std::uint64_t sizePlusOne =
        record.sizePlusOne == nullptr
            ? 0
            : std::atomic_ref(*record.sizePlusOne).exchange(0, std::memory_order_acquire);
    if (sizePlusOne == 0) {
        KAL_FAIL("nVOKAL100_free of a block that is not allocated");
    }
    const std::size_t size = sizePlusOne - 1;
    const std::size_t bytes =
        std::size_t{std::atomic_ref(*record.granules).load(std::memory_order_relaxed)} * kGranule;
    MemoryState& s = state();
    ThreadCache* const mine = myCache();
    if (mine != nullptr) {
        bump(mine->live, std::int64_t{-1});
        bump(mine->liveBytes, -static_cast<std::int64_t>(size));
    } else {
        s.otherLive.fetch_sub(1);
        s.otherLiveBytes.fetch_sub(static_cast<std::int64_t>(size));
    }
    const auto* guard = static_cast<const std::uint8_t*>(block) + size;
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardValue) {
            KAL_FAIL("nVOKAL100_free: the block of " + std::to_string(size) +
                     " bytes was written past its end");
        }
    }
    if (!kal::detail::kSanitized && bytes == kGranule) {
        keepSpare(s, mine, block);
        return;
    }
    if (!kal::detail::kSanitized && bytes >= kLargeBlock && keepSpareLarge(s, block, bytes)) {
        return;
    }
    release(block, bytes);
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
