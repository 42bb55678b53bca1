// Checked narrowing.
#pragma once

#include <stdint.h>

#include "platform/status.h"

namespace orut {
// Narrows to 32 bits: 0 at once when the status is already fatal; a value
// above 0xFFFFFFFF sets -52003 and gives 0.
uint32_t safeCast(uint64_t value, nVOAPALS100::tStatus& status);
} // namespace orut
