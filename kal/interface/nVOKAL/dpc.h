/* Kernel-layer interface: deferred procedure calls (DPCs).
 *
 * A DPC runs its callback at DPC level on a kernel thread of its own, soon
 * after it was scheduled. Scheduling never blocks and may be done at any level.
 * A DPC that is scheduled while it is pending runs once (with the context of
 * the first schedule); one that is scheduled while its callback runs runs again
 * after it returns. Runs of one DPC never overlap.
 */
#ifndef NVOKAL_DPC_H
#define NVOKAL_DPC_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

typedef void (*nVOKAL_tDPCCallback)(void* context);

/* Creates a DPC with its callback; 0 when none can be had. Thread level. */
nVOKAL_tHandle nVOKAL100_createDPC(nVOKAL_tDPCCallback callback) NVOKAL_NOEXCEPT;
/* Schedules a run of the DPC with context. Any level. */
void nVOKAL100_scheduleDPC(nVOKAL_tHandle dpc, void* context) NVOKAL_NOEXCEPT;
/* Destroys the DPC: a pending run is dropped; a running callback is waited
 * for. Thread level, never from the DPC's own callback. */
void nVOKAL100_destroyDPC(nVOKAL_tHandle dpc) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
