/* Kernel-layer interface: clocks and sleeping. */
#ifndef NVOKAL_TIME_H
#define NVOKAL_TIME_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* The precise clock: a monotonic count of NANOSECONDS. */
uint64_t nVOKAL1_getMonotonicCounter(void) NVOKAL_NOEXCEPT;

/* The efficient clock: a monotonic tick count; one tick lasts
 * nVOKAL100_getTimerInterval() MICROSECONDS (never 0). */
int64_t nVOKAL110_getTimerCount(void) NVOKAL_NOEXCEPT;
uint64_t nVOKAL100_getTimerInterval(void) NVOKAL_NOEXCEPT;

/* The time of day: whole seconds since 1970-01-01 00:00:00 UTC and the
 * microseconds (0 to 999999) within that second. */
void nVOKAL100_getTimeOfDay(uint32_t* seconds, uint32_t* microseconds) NVOKAL_NOEXCEPT;

/* Puts the calling thread to sleep for at least the given MICROSECONDS
 * (not interruptible); 0 only yields. Thread level only. */
void nVOKAL250_sleepTimeout(uint32_t microseconds) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
