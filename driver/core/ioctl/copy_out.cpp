#include "core/ioctl/copy_out.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

extern "C" void nVOAPAL200_copyIoctlOutBufferForCodegen(uint64_t userOut, const void* block, uint64_t size,
                                                        nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT_MSG(status != nullptr, "ASSERT(status != NULL)");
    if (status == nullptr) {
        return;
    }
    // A size that does not fit the copy's 32 bits would be cut short: refuse it.
    const nVOKAL_tStatus copied =
        size > 0xFFFFFFFFu
            ? nVOKAL_kStatusInvalidParameter
            : nVOKAL100_replicateOutboundIOControlBuffer(userOut, block, static_cast<uint32_t>(size));
    if (copied != 0) {
        nVOAPAL200_setStatus(status, nVOAPALS100::tStatus::kInvalidParameter, KELVO_COMPONENT, __FILE__,
                             __LINE__);
    }
}
