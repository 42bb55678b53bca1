// Translation between kernel-layer result codes and the platform's status
// codes, in both directions.
//
// The two tables are not inverse to each other: -52007 leaves as -51550, while
// -51400 comes in as -52007 and -51550 comes in as -52008. Codes a table does
// not list become -51001 on the way out (warnings and driver codes included)
// and -52008 on the way in.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/status.h"

extern "C" {
// Outgoing: a platform status code as the kernel-layer code a callback returns.
nVOKAL_tStatus nVOAPAL200_statusToKALStatus(int64_t code);
// Incoming: the platform code of a kernel-layer result (0 for 0).
int64_t nVOAPAL200_statusFromKALStatus(nVOKAL_tStatus kalStatus);
// Sets the status to the incoming translation of a kernel-layer result, with
// the given source position, by the usual storing rule (0 leaves it unchanged).
void nVOAPAL200_setStatusFromKALStatus(nVOKAL_tStatus kalStatus, nVOAPALS100_tStatus* status,
                                       const char* fileName, uint64_t line);
}

// Puts a kernel-layer result into a status object with this source position.
#define KELVO_SET_STATUS_FROM_KAL(statusRef, kalStatus)                                                      \
    nVOAPAL200_setStatusFromKALStatus((kalStatus), &(statusRef), __FILE__, __LINE__)
