/* Kernel-layer interface: I/O-control buffer copies and user memory maps. */
#ifndef NVOKAL_USERMEM_H
#define NVOKAL_USERMEM_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Copies size bytes from the requester's user space at userAddress into the
 * kernel memory at destination. User addresses are numbers, never
 * dereferenced by the caller. The whole range [userAddress, userAddress + size)
 * must be memory of the requesting process that it may read; otherwise nothing
 * is copied and the result is nVOKAL_kStatusBadAddress (a range that wraps past
 * the top of the address space included). size 0 copies nothing and succeeds.
 * Runs in the requester's context, at thread level. */
nVOKAL_tStatus nVOKAL100_replicateInboundIOControlBuffer(void* destination, uint64_t userAddress,
                                                         uint32_t size) NVOKAL_NOEXCEPT;
/* Copies size bytes from the kernel memory at source to the requester's user
 * space at userAddress, which must be memory of the requester that it may
 * write; same rules and results as the inbound copy. */
nVOKAL_tStatus nVOKAL100_replicateOutboundIOControlBuffer(uint64_t userAddress, const void* source,
                                                          uint32_t size) NVOKAL_NOEXCEPT;

/* A user memory map: one memory-map request of a user process, handed to the
 * driver's memory-map callback as an opaque handle. It stays valid until the
 * unmap callback returns. */

/* Size in bytes of the user range to be mapped. */
uint64_t nVOKAL220_tUserMemMap_getSize(nVOKAL_tHandle map) NVOKAL_NOEXCEPT;
/* The access the process asked for: bit 0 read, bit 1 write. */
uint32_t nVOKAL220_tUserMemMap_getAccessMode(nVOKAL_tHandle map) NVOKAL_NOEXCEPT;
/* The user virtual address of the range. */
uint64_t nVOKAL220_tUserMemMap_getVirtualAddress(nVOKAL_tHandle map) NVOKAL_NOEXCEPT;
/* Maps pageCount pages of a page list, starting at its page firstPage, at the
 * start of the user range. The pages must lie inside the page list and fit into
 * the range (else nVOKAL_kStatusInvalidParameter); pageCount must not be 0. */
nVOKAL_tStatus nVOKAL220_tUserMemMap_mapPageList(nVOKAL_tHandle map, nVOKAL_tHandle pageList,
                                                 uint64_t firstPage, uint64_t pageCount) NVOKAL_NOEXCEPT;
/* Maps pageCount pages of physical memory from the page-aligned
 * physicalAddress at the start of the user range; cached 1 maps them cacheable,
 * 0 uncached (device memory). The pages must fit into the range (else
 * nVOKAL_kStatusInvalidParameter); pageCount must not be 0; a misaligned
 * address is nVOKAL_kStatusInvalidParameter. */
nVOKAL_tStatus nVOKAL230_tUserMemMap_mapPhysicalAddress(nVOKAL_tHandle map, uint64_t physicalAddress,
                                                        uint64_t pageCount, uint32_t cached) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
