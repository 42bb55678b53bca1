/* Kernel-layer interface: threads. */
#ifndef NVOKAL_THREAD_H
#define NVOKAL_THREAD_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* The entry of a kernel thread; the thread ends when it returns. */
typedef void (*nVOKAL_tThreadEntry)(void* argument);

/* The result of nVOKAL250_createNamedThread when no thread can be had. */
#define NVOKAL_THREAD_NOT_CREATED ((nVOKAL_tStatus)-51352)

/* Starts a kernel thread named name (the text is copied) that runs
 * entry(argument). On success returns 0 and stores the new thread's handle
 * (the handle nVOKAL100_getThreadHandle answers inside it) in *thread; on
 * failure returns a negative code and leaves *thread unchanged. Every
 * created thread must be joined. Thread level only. */
nVOKAL_tStatus nVOKAL250_createNamedThread(nVOKAL_tHandle* thread, const char* name,
                                           nVOKAL_tThreadEntry entry, void* argument) NVOKAL_NOEXCEPT;
/* Waits until the thread's entry has returned and frees the handle; returns 0.
 * Thread level only; a thread cannot join itself. */
nVOKAL_tStatus nVOKAL200_joinThread(nVOKAL_tHandle thread) NVOKAL_NOEXCEPT;

/* The handle of the calling thread (never null, stable for its life). */
nVOKAL_tHandle nVOKAL100_getThreadHandle(void) NVOKAL_NOEXCEPT;
/* The kernel ID of the calling thread (never 0). */
uint64_t nVOKAL100_getThreadID(void) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
