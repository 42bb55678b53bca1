// Internals of the stand-in: what of this process is kernel-layer memory, for
// the user-memory copies of a client call (not for tests: they use control.h).
//
// Kernel-layer memory is kept in whole granules of its own, as a kernel's
// never shares a page with a process's: blocks of nVOKAL100_malloc are
// rounded up to granules (memory.cpp) and page lists own whole pages
// (pagelist.cpp). Each granule that holds any of it is counted in a table
// that a copy reads without a lock; device mappings lie in the upper half of
// the address space (pci_bus.cpp), which no process memory reaches.
#pragma once

#include <atomic>
#include <cstdint>

namespace kal::kernelmem {

// From here up the address space is the kernel's: no process memory lies there
// (the stand-in's device mappings do).
constexpr std::uint64_t kUserTop = 0x0000800000000000ULL;
// The unit of the table; kernel-layer blocks start on one and fill whole ones.
constexpr std::uint64_t kGranule = 4096;

// Count the granules of [address, address + size) as kernel-layer memory, or
// stop counting them. Address is granule-aligned, the range below kUserTop
// and not empty; each add is undone by one remove of the same range.
void addGranules(std::uint64_t address, std::uint64_t size);
void removeGranules(std::uint64_t address, std::uint64_t size);

// The table itself, for overlaps() below (every user copy asks it, so it is inline).
namespace table {
constexpr unsigned kLeafBits = 16;
constexpr std::uint64_t kLeafGranules = std::uint64_t{1} << kLeafBits;
constexpr std::uint64_t kLeaves = kUserTop / kGranule / kLeafGranules;
struct Leaf {
    std::atomic<std::uint16_t> count[kLeafGranules];
};
extern std::atomic<Leaf*> gLeaves[kLeaves];
} // namespace table

// Whether any byte of the non-empty, non-wrapping range [address, address +
// size) is kernel-layer memory (or lies at or above kUserTop). Lock-free.
inline bool overlaps(std::uint64_t address, std::uint64_t size) {
    using namespace table;
    if (size > kUserTop || address > kUserTop - size) {
        return true;
    }
    const std::uint64_t last = (address + size - 1) / kGranule;
    for (std::uint64_t granule = address / kGranule; granule <= last;) {
        const Leaf* leaf = gLeaves[granule >> kLeafBits].load(std::memory_order_acquire);
        if (leaf == nullptr) {
            // Nothing in this leaf: on to the next one.
            granule = (granule | (kLeafGranules - 1)) + 1;
            continue;
        }
        if (leaf->count[granule & (kLeafGranules - 1)].load(std::memory_order_acquire) != 0) {
            return true;
        }
        ++granule;
    }
    return false;
}

} // namespace kal::kernelmem
