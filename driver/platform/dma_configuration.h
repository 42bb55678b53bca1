// A device's DMA settings and its DMA buffers.
//
// configureDMA (the PCI device) fills the type and the device description;
// the DMA maps read them and get their bounce buffers through
// allocateDMABuffer and freeDMABuffer.
#pragma once

#include <stdint.h>

#include "platform/device_info.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tDMAConfiguration : public tObject {
public:
    enum tDMAType : uint32_t {
        kDMATypeDisabled = 0,
        kDMAType32Bit = 1, // the device reaches only 32-bit bus addresses
        kDMAType64Bit = 2,
    };

    tDMAConfiguration() = default;
    virtual ~tDMAConfiguration() = default;

    // Allocates ceil(size / page size) pages into the empty record pageList,
    // below 4 GB for a 32-bit device and on the device's NUMA node when it has
    // one; the record's size becomes the pages' bytes and its offset 0.
    // Nothing on a fatal status. DMA disabled: -52002. A record that is not
    // empty, a size of 0, or an alignment that is 0 or does not divide the
    // page size: -52005 (the record is left as it was). No pages: -52000.
    virtual void allocateDMABuffer(tPageList& pageList, uint64_t size, uint32_t flags,
                                   nVOAPALS100::tStatus& status, uint64_t alignment) const;
    // Releases the pages and empties the record.
    virtual void freeDMABuffer(tPageList& pageList) const;

    tDMAType type = kDMATypeDisabled;
    const nVOAPAL200_tDeviceInfo* deviceInfo = nullptr; // null until configureDMA succeeded
};

} // namespace kelvo_driver::nVOAPAL000
