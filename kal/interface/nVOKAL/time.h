/* Kernel-layer interface: clocks and sleeping. */
#ifndef NVOKAL_TIME_H
#define NVOKAL_TIME_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* The efficient clock: a tick count whose tick is nVOKAL100_getTimerInterval microseconds. */
int64_t nVOKAL110_getTimerCount(void) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
