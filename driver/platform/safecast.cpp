#include "platform/safecast.h"

uint32_t orut::safeCast(uint64_t value, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    if (value > UINT32_MAX) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kUnsupportedValue);
        return 0;
    }
    return static_cast<uint32_t>(value);
}
