// A buffer as the kernel layer's page list.
//
// A tPageList owns its kernel page list: destroying the record releases it
// (nothing for a null handle). The DMA configuration fills and empties
// records (tDMAConfiguration::allocateDMABuffer / freeDMABuffer); the user
// memory maps and the DMA maps read them.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"

namespace kelvo_driver::nVOAPAL000 {

struct tPageList {
    tPageList() = default;
    ~tPageList() { destroy(); }
    tPageList(const tPageList&) = delete;
    tPageList& operator=(const tPageList&) = delete;

    // Releases the kernel page list and empties the record.
    void destroy() {
        nVOKAL220_tPageList_destroy(handle);
        size = 0;
        offset = 0;
        handle = nullptr;
    }
    bool isEmpty() const { return handle == nullptr; }

    uint64_t size = 0;               // bytes
    uint64_t offset = 0;             // of the buffer's first byte within the page list
    nVOKAL_tHandle handle = nullptr; // kernel page list; null while empty
};

// A page list that may be mapped to the kernel as a whole (the DMA maps'
// bounce buffer): kernelMapping is set while it is.
struct tKernelMappedPageList : tPageList {
    // Undoes the kernel mapping, when there is one.
    void unmapFromKernel() {
        if (kernelMapping != 0) {
            nVOKAL220_tPageList_unmapFromKernel(
                handle, reinterpret_cast<void*>(static_cast<uintptr_t>(kernelMapping)));
            kernelMapping = 0;
        }
    }

    uint64_t kernelMapping = 0;
};

} // namespace kelvo_driver::nVOAPAL000
