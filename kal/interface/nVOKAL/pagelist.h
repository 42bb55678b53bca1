/* Kernel-layer interface: page size and kernel page lists.
 *
 * A page list is a run of whole pages of memory, either allocated by the
 * kernel layer or locked from a user process, known by an opaque handle.
 * Each page has a physical address (the address a device without an IOMMU
 * mapping uses for DMA); neighbouring pages may or may not be physically
 * adjacent. Positions inside a page list are byte offsets from the start of
 * its first page.
 */
#ifndef NVOKAL_PAGELIST_H
#define NVOKAL_PAGELIST_H

#include "nVOKAL/base.h"

/* Creation flags. */
#define NVOKAL_PAGELIST_BELOW_4G 0x2u /* allocation: every page lies below 4 GB */
#define NVOKAL_PAGELIST_WRITE 0x10u   /* user pages: locked for writing as well as reading */

NVOKAL_BEGIN_DECLS

/* The size of one memory page in bytes (a power of two, never 0). */
uint32_t nVOKAL100_getPageSize(void) NVOKAL_NOEXCEPT;
/* Allocates pageCount pages of kernel memory, zeroed, as a page list; null
 * when they cannot be had or pageCount is 0. flags: NVOKAL_PAGELIST_BELOW_4G. */
nVOKAL_tHandle nVOKAL220_tPageList_createFromAllocation(uint64_t pageCount, uint32_t flags) NVOKAL_NOEXCEPT;
/* The same on a NUMA node (a negative node: no preference). */
nVOKAL_tHandle nVOKAL1_tPageList_createFromAllocationNUMA(uint64_t pageCount, uint32_t flags,
                                                          int32_t numaNode) NVOKAL_NOEXCEPT;
/* Locks pageCount pages of the requester's memory from the page-aligned
 * userAddress; null when the address is misaligned, pageCount is 0, or the
 * range is not memory of the requester with the access asked for (read, and
 * write with NVOKAL_PAGELIST_WRITE). Thread level, in the requester's context. */
nVOKAL_tHandle nVOKAL220_tPageList_createFromUser(uint64_t userAddress, uint64_t pageCount,
                                                  uint32_t flags) NVOKAL_NOEXCEPT;
/* Releases the pages (unlocks user pages) and the handle (null is ignored).
 * The list must not be mapped to the kernel nor by a scatter-gather list. */
void nVOKAL220_tPageList_destroy(nVOKAL_tHandle pageList) NVOKAL_NOEXCEPT;

/* The physical address of the byte at offset, and in *runLength the number
 * of bytes from there that are physically contiguous (up to the end of the
 * list). An offset at or past the end answers 0 with *runLength 0. */
uint64_t nVOKAL220_tPageList_getPhysicalAddress(nVOKAL_tHandle pageList, uint64_t offset,
                                                uint64_t* runLength) NVOKAL_NOEXCEPT;

/* Maps pageCount pages from page firstPage into kernel address space and
 * returns the kernel address of the first; null when the pages do not lie in
 * the list or pageSize is not the page size. Each mapping is undone by its
 * own unmap. Never blocks. */
void* nVOKAL220_tPageList_mapToKernel(nVOKAL_tHandle pageList, uint64_t firstPage, uint64_t pageCount,
                                      uint64_t pageSize) NVOKAL_NOEXCEPT;
/* The same for the one page pageIndex. */
void* nVOKAL220_tPageList_mapOnePageToKernel(nVOKAL_tHandle pageList, uint64_t pageIndex) NVOKAL_NOEXCEPT;
/* Undoes one mapping of that list (address as the map returned it). */
void nVOKAL220_tPageList_unmapFromKernel(nVOKAL_tHandle pageList, void* address) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
