// Kernel-layer codes coming back into the driver: the incoming translation
// of a kernel-layer code to a platform status code.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/status.h"

extern "C" {
// The platform code of a kernel-layer code (0 stays 0; unknown codes -52008).
int64_t nVOAPAL200_statusFromKALStatus(nVOKAL_tStatus kalCode);
// Sets status to the translation of kalCode with the given origin; nothing for 0.
void nVOAPAL200_setStatusFromKALStatus(nVOKAL_tStatus kalCode, nVOAPALS100::tStatus& status, const char* file,
                                       uint64_t line);
}

#define KELVO_SET_STATUS_FROM_KAL(kalCode, statusRef)                                                        \
    nVOAPAL200_setStatusFromKALStatus((kalCode), (statusRef), __FILE__, __LINE__)
