#include "platform/user_buffer.h"

#include "nVOKAL.h"
#include "platform/kal_status.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {
// The kernel layer's copies take a 32-bit size.
constexpr uint64_t kLargestCopy = 0xFFFFFFFFu;
} // namespace

tUserBuffer::tUserBuffer(const tEventDescriptor&, uint64_t userAddress, uint64_t size)
    : address_(userAddress), size_(size) {}

bool tUserBuffer::checkCopy(uint64_t offset, uint64_t size, nVOAPALS100::tStatus& status) const {
    if (status.isFatal()) {
        return false; // no copy: the range is not looked at either
    }
    VOSDBG_ASSERT_CMP(offset, <=, size_);
    VOSDBG_ASSERT_CMP(size, <=, size_ - offset);
    if (size > kLargestCopy) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kUnsupportedValue);
        return false;
    }
    if (offset > UINT64_MAX - address_ || size > UINT64_MAX - address_ - offset) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
        return false;
    }
    return true;
}

void tUserBuffer::read(uint64_t offset, void* destination, uint64_t size,
                       nVOAPALS100::tStatus& status) const {
    if (!checkCopy(offset, size, status)) {
        return;
    }
    const nVOKAL_tStatus result = nVOKAL100_replicateInboundIOControlBuffer(destination, address_ + offset,
                                                                            static_cast<uint32_t>(size));
    KELVO_SET_STATUS_FROM_KAL(status, result);
}

void tUserBuffer::write(uint64_t offset, const void* source, uint64_t size,
                        nVOAPALS100::tStatus& status) const {
    if (!checkCopy(offset, size, status)) {
        return;
    }
    const nVOKAL_tStatus result =
        nVOKAL100_replicateOutboundIOControlBuffer(address_ + offset, source, static_cast<uint32_t>(size));
    KELVO_SET_STATUS_FROM_KAL(status, result);
}

} // namespace kelvo_driver::nVOAPAL000
