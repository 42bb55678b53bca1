// Runs a call with a fresh status and returns the status's code.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace kelvo_test {

template <typename Call> int64_t codeOf(Call&& call) {
    nVOAPALS100::tStatus status;
    call(status);
    return status.getCode();
}

} // namespace kelvo_test
