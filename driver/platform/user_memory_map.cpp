#include "platform/user_memory_map.h"

#include "platform/kal_status.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {

uint64_t pageSize() {
    const uint32_t size = nVOKAL100_getPageSize();
    VOSDBG_ASSERT(size != 0);
    return size;
}

uint64_t pagesFor(uint64_t size, uint64_t page) {
    return size / page + (size % page != 0 ? 1 : 0);
}

} // namespace

tUserMemoryMap::tUserMemoryMap(const tEventDescriptor& context, nVOKAL_tHandle kernelMap, uint16_t selector)
    : size_(nVOKAL220_tUserMemMap_getSize(kernelMap)), selector_(selector),
      access_((nVOKAL220_tUserMemMap_getAccessMode(kernelMap) & 2u) != 0 ? kAccessWritable : kAccessReadOnly),
      kernelMap_(kernelMap), virtualAddress_(nVOKAL220_tUserMemMap_getVirtualAddress(kernelMap)),
      context_(context) {}

void tUserMemoryMap::mapPageList(const tPageList& pageList, uint64_t offset, uint64_t size,
                                 nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t page = pageSize();
    if (offset % page != 0) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    const nVOKAL_tStatus result =
        nVOKAL220_tUserMemMap_mapPageList(kernelMap_, pageList.handle, offset / page, pagesFor(size, page));
    KELVO_SET_STATUS_FROM_KAL(status, result);
}

void tUserMemoryMap::mapPhysicalAddress(uint64_t physicalAddress, uint64_t size, uint32_t mode,
                                        nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t page = pageSize();
    if (physicalAddress % page != 0) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        return;
    }
    const nVOKAL_tStatus result = nVOKAL230_tUserMemMap_mapPhysicalAddress(
        kernelMap_, physicalAddress, pagesFor(size, page), mode == 1 ? 1 : 0);
    KELVO_SET_STATUS_FROM_KAL(status, result);
}

} // namespace kelvo_driver::nVOAPAL000
