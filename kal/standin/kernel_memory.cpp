// The table of kernel-layer granules: a two-level table over the lower half
// of the address space, one 16-bit count per granule. Leaves are made on
// first use and kept for the life of the process, so a reader follows two
// atomic loads and never meets memory that goes away.
#include <atomic>
#include <cstdint>
#include <new>

#include "standin/detail.h"
#include "standin/kernel_memory.h"

namespace kal::kernelmem {

namespace table {
// Zero-initialised at load: no leaf exists before the first block.
std::atomic<Leaf*> gLeaves[kLeaves];
} // namespace table

namespace {

using table::gLeaves;
using table::kLeafBits;
using table::kLeafGranules;
using table::Leaf;

Leaf* leafFor(std::uint64_t granule) {
    std::atomic<Leaf*>& slot = gLeaves[granule >> kLeafBits];
    Leaf* leaf = slot.load(std::memory_order_acquire);
    if (leaf != nullptr) {
        return leaf;
    }
    Leaf* made = new (std::nothrow) Leaf{};
    if (made == nullptr) {
        KAL_FAIL("no memory for the table of kernel-layer memory");
    }
    if (slot.compare_exchange_strong(leaf, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made;
    }
    delete made; // another thread made it first
    return leaf;
}

void count(std::uint64_t address, std::uint64_t size, bool add) {
    if (address % kGranule != 0 || size == 0 || size > kUserTop || address > kUserTop - size) {
        KAL_FAIL("kernel-layer memory outside the granule table");
    }
    const std::uint64_t last = (address + size - 1) / kGranule;
    for (std::uint64_t granule = address / kGranule; granule <= last; ++granule) {
        std::atomic<std::uint16_t>& cell = leafFor(granule)->count[granule & (kLeafGranules - 1)];
        const std::uint16_t before =
            add ? cell.fetch_add(1, std::memory_order_release) : cell.fetch_sub(1, std::memory_order_release);
        if (add ? before == UINT16_MAX : before == 0) {
            KAL_FAIL("kernel-layer granule counted out of balance");
        }
    }
}

} // namespace

void addGranules(std::uint64_t address, std::uint64_t size) {
    count(address, size, true);
}

void removeGranules(std::uint64_t address, std::uint64_t size) {
    count(address, size, false);
}

} // namespace kal::kernelmem
