/* Kernel-layer interface: threads. */
#ifndef NVOKAL_THREAD_H
#define NVOKAL_THREAD_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* The kernel ID of the calling thread (never 0). */
uint64_t nVOKAL100_getThreadID(void) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
