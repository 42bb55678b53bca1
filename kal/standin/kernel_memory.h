// Internals of the stand-in: what of this process is kernel-layer memory, for
// the user-memory copies of a client call (not for tests: they use control.h).
//
// Each query takes a non-empty range [address, address + size) that does not
// wrap and says whether any byte of it belongs to the area's live memory.
#pragma once

#include <cstdint>

namespace kal::kernelmem {

// From here up the address space is the kernel's: no process memory lies there
// (the stand-in's device mappings do).
constexpr std::uint64_t kUserTop = 0x0000800000000000ULL;

// Blocks of nVOKAL100_malloc not yet freed (memory.cpp).
bool overlapsAllocation(std::uint64_t address, std::uint64_t size);
// Pages of live page lists that the kernel layer allocated (pagelist.cpp);
// page lists made over user pages are the user's.
bool overlapsPageList(std::uint64_t address, std::uint64_t size);
// Device memory mapped by nVOKAL230_mapPhysicalToKernel and not unmapped (pci_bus.cpp).
bool overlapsDeviceMapping(std::uint64_t address, std::uint64_t size);

// Any of the above, or a range reaching kUserTop.
inline bool overlaps(std::uint64_t address, std::uint64_t size) {
    return size > kUserTop || address > kUserTop - size || overlapsAllocation(address, size) ||
           overlapsPageList(address, size) || overlapsDeviceMapping(address, size);
}

} // namespace kal::kernelmem
