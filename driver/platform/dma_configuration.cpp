#include "platform/dma_configuration.h"

namespace kelvo_driver::nVOAPAL000 {

using nVOAPALS100::tStatus;

void tDMAConfiguration::allocateDMABuffer(tPageList& pageList, uint64_t size, uint32_t flags, tStatus& status,
                                          uint64_t alignment) const {
    if (status.isFatal()) {
        return;
    }
    if (type == kDMATypeDisabled) {
        KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        return;
    }
    if (type == kDMAType32Bit) {
        flags |= NVOKAL_PAGELIST_BELOW_4G;
    }
    const uint64_t page = nVOKAL100_getPageSize();
    // A record that still holds pages would lose them: refused, not overwritten.
    if (!pageList.isEmpty() || size == 0 || alignment == 0 || page % alignment != 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    pageList.size = 0;
    pageList.offset = 0;
    const uint64_t pages = size / page + (size % page != 0 ? 1 : 0);
    nVOKAL_tHandle handle = nullptr;
    if (pages <= UINT64_MAX / page) {
        const int32_t node = deviceInfo != nullptr ? deviceInfo->numaNode : -1;
        handle = node >= 0 ? nVOKAL1_tPageList_createFromAllocationNUMA(pages, flags, node)
                           : nVOKAL220_tPageList_createFromAllocation(pages, flags);
    }
    if (handle == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    pageList.handle = handle;
    pageList.size = pages * page;
}

void tDMAConfiguration::freeDMABuffer(tPageList& pageList) const {
    pageList.destroy();
}

} // namespace kelvo_driver::nVOAPAL000
