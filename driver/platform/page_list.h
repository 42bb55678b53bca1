// A buffer as the kernel layer's page list.
//
// Minimal for now: the record the user memory maps read. The DMA maps own
// page lists and add what they need (allocation, release, kernel mapping).
#pragma once

#include <stdint.h>

#include "nVOKAL.h"

namespace kelvo_driver::nVOAPAL000 {

struct tPageList {
    uint64_t size = 0;               // bytes
    uint64_t offset = 0;             // of the buffer's first byte within the page list
    nVOKAL_tHandle handle = nullptr; // kernel page list; null while empty
};

} // namespace kelvo_driver::nVOAPAL000
