/* Kernel-layer interface: DMA addressing and scatter-gather lists for PCI.
 *
 * A scatter-gather list (tSGL) maps a range of a page list for one PCI
 * function's DMA: while it is mapped, the function reaches the range at the
 * bus addresses of its segments (which need not be the pages' physical
 * addresses, and which honour the function's DMA mask). Bus addresses stop
 * being valid when the list is unmapped.
 */
#ifndef NVOKAL_DMA_H
#define NVOKAL_DMA_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Non-zero when the machine has memory above 4 GB that page lists may use. */
uint32_t nVOKAL200_isAddressableMemOver4G(void) NVOKAL_NOEXCEPT;

/* Makes an unmapped scatter-gather list for the PCI function that holds up
 * to maxSegments segments; null when none can be had or maxSegments is 0. */
nVOKAL_tHandle nVOKAL220_tSGL_createForPCI(nVOKAL_tHandle pciHandle, uint64_t maxSegments) NVOKAL_NOEXCEPT;
/* Destroys an unmapped list (null is ignored). */
void nVOKAL220_tSGL_destroy(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Maps size bytes of the page list from offset for DMA. deviceWrites is
 * non-zero when the device writes the memory (device to host). Results:
 * 0; nVOKAL_kStatusInvalidParameter for an empty range or one outside the
 * page list, or one that needs more segments than the list holds;
 * nVOKAL_kStatusInvalidState when the list is mapped already;
 * nVOKAL_kStatusOutOfMemory when no bus addresses can be had. The iterator
 * starts at the first segment. */
nVOKAL_tStatus nVOKAL220_tSGL_map(nVOKAL_tHandle sgl, nVOKAL_tHandle pageList, uint64_t offset, uint64_t size,
                                  uint32_t deviceWrites) NVOKAL_NOEXCEPT;
/* Unmaps the list (nothing when it is not mapped). */
void nVOKAL220_tSGL_unmap(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Segments of the mapped range (0 when unmapped). */
uint64_t nVOKAL220_tSGL_numSegments(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Puts the iterator on the first segment. */
void nVOKAL220_tSGL_iterate(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Bus address and size in bytes of the segment at the iterator (0 past the end). */
uint64_t nVOKAL220_tSGL_getSegmentAddress(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
uint64_t nVOKAL220_tSGL_getSegmentSize(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Moves the iterator to the next segment (nothing past the end). */
void nVOKAL220_tSGL_nextSegment(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Makes the processor's writes to the mapped range visible to the device. */
void nVOKAL220_tSGL_prepareForDMA(nVOKAL_tHandle sgl) NVOKAL_NOEXCEPT;
/* Makes the device's writes to the first bytesTransferred bytes of the range
 * visible to the processor (all ones: the whole range). flags: 0 (passed
 * through unchanged for the kernel layer's own use). */
void nVOKAL220_tSGL_completeDMA(nVOKAL_tHandle sgl, uint64_t bytesTransferred,
                                uint64_t flags) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
