/* Kernel-layer interface: mutexes, spin locks and single-use events. */
#ifndef NVOKAL_SYNC_H
#define NVOKAL_SYNC_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* Sleeping, non-recursive kernel mutex. Create returns null when none can be had.
 * Acquire and destroy may block: never at raised level or under a spin lock. */
nVOKAL_tHandle nVOKAL150_createMutex(void) NVOKAL_NOEXCEPT;
void nVOKAL150_destroyMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;
void nVOKAL150_acquireMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;
void nVOKAL150_releaseMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
