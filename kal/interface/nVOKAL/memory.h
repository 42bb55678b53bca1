/* Kernel-layer interface: memory. */
#ifndef NVOKAL_MEMORY_H
#define NVOKAL_MEMORY_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Allocates size bytes of kernel memory (16-byte aligned); null when none can be had. */
void* nVOKAL100_malloc(size_t size) NVOKAL_NOEXCEPT;
/* Frees a block of nVOKAL100_malloc; null is ignored. */
void nVOKAL100_free(void* block) NVOKAL_NOEXCEPT;
/* Fills size bytes at block with value. */
void nVOKAL240_memSet(void* block, uint8_t value, size_t size) NVOKAL_NOEXCEPT;
/* Copies size bytes; the ranges must not overlap. */
void nVOKAL180_memCpy(void* destination, const void* source, size_t size) NVOKAL_NOEXCEPT;
/* Copies size bytes; the ranges may overlap. */
void nVOKAL180_memMove(void* destination, const void* source, size_t size) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
