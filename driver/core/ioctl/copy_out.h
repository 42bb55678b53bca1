// The copy of an output record back to the requester.
#pragma once

#include <stdint.h>

#include "platform/status.h"

extern "C" {
// Copies size bytes of block to the requester's output buffer at userOut
// through the kernel layer's outbound I/O-control copy; a refused copy sets
// -52005 on the status. The status must not be null (invariant); a size above
// 0xFFFFFFFF is refused as well (the kernel copy takes 32 bits).
void nVOAPAL200_copyIoctlOutBufferForCodegen(uint64_t userOut, const void* block, uint64_t size,
                                             nVOAPALS100_tStatus* status);
}
