/* Kernel-layer interface: page size and kernel page lists. */
#ifndef NVOKAL_PAGELIST_H
#define NVOKAL_PAGELIST_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* The size of one memory page in bytes (a power of two, never 0). */
uint32_t nVOKAL100_getPageSize(void) NVOKAL_NOEXCEPT;
/* Allocates pageCount pages of kernel memory as a page list; null when they
 * cannot be had or pageCount is 0. flags: bit 1 asks for memory below 4 GB. */
nVOKAL_tHandle nVOKAL220_tPageList_createFromAllocation(uint64_t pageCount, uint32_t flags) NVOKAL_NOEXCEPT;
/* Releases the pages and the handle (null is ignored). */
void nVOKAL220_tPageList_destroy(nVOKAL_tHandle pageList) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
