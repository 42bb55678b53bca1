// One memory-map request of user space. The device may map a kernel page list
// or a physical range into it.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tUserMemoryMap : public tObject {
public:
    static constexpr uint32_t kAccessReadOnly = 8;
    static constexpr uint32_t kAccessWritable = 16;

    // Reads size, access mode and user address of the request from the kernel
    // layer. The map keeps the request context's value.
    tUserMemoryMap(const tEventDescriptor& context, nVOKAL_tHandle kernelMap, uint16_t selector);
    ~tUserMemoryMap() {}

    // Maps ceil(size / page size) pages of the page list, from page
    // offset / page size on. Nothing on a fatal status; an offset that is not
    // a multiple of the page size is -52005; kernel failures become their
    // platform codes.
    void mapPageList(const tPageList& pageList, uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status);
    // Maps ceil(size / page size) pages of physical memory from physicalAddress,
    // cacheable when mode is 1. A misaligned address is -52005.
    void mapPhysicalAddress(uint64_t physicalAddress, uint64_t size, uint32_t mode,
                            nVOAPALS100::tStatus& status);

    uint64_t getSize() const { return size_; }
    uint16_t getSelector() const { return selector_; }
    uint32_t getAccess() const { return access_; }
    nVOKAL_tHandle getKernelMap() const { return kernelMap_; }
    uint64_t getVirtualAddress() const { return virtualAddress_; }
    const tEventDescriptor& getEventDescriptor() const { return context_; }

private:
    uint64_t size_;
    uint16_t selector_;
    uint32_t access_;
    nVOKAL_tHandle kernelMap_;
    uint64_t virtualAddress_;
    tEventDescriptor context_;
};

} // namespace kelvo_driver::nVOAPAL000
