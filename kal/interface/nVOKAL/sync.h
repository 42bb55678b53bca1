/* Kernel-layer interface: mutexes, spin locks and single-use events.
 *
 * Execution levels: thread level may block; code at DPC or interrupt level,
 * or holding any spin lock, must not block (no mutex acquire, no wait on a
 * single-use event, no sleep, no thread creation or join).
 */
#ifndef NVOKAL_SYNC_H
#define NVOKAL_SYNC_H

#include "nVOKAL/base.h"

NVOKAL_BEGIN_DECLS

/* ---- mutexes -------------------------------------------------------------
 * Sleeping, non-recursive kernel mutex. Create returns null when none can be
 * had. Acquire blocks: thread level only, no spin lock held. Release only by
 * the holder; destroy only when nobody holds it. */
nVOKAL_tHandle nVOKAL150_createMutex(void) NVOKAL_NOEXCEPT;
void nVOKAL150_destroyMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;
void nVOKAL150_acquireMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;
void nVOKAL150_releaseMutex(nVOKAL_tHandle mutex) NVOKAL_NOEXCEPT;

/* ---- spin locks ----------------------------------------------------------
 * One kind of spin lock, taken in one of two ways:
 *  - DPC: raises the caller to DPC level while held (callable at thread or
 *    DPC level, never at interrupt level);
 *  - interrupt: raises the caller to interrupt level while held; acquire
 *    returns the caller's previous interrupt state, which must be handed back
 *    to the matching release.
 * Spin locks nest (different locks only; re-taking a held lock deadlocks).
 * Create returns null when none can be had. */
nVOKAL_tHandle nVOKAL100_createSpinLock(void) NVOKAL_NOEXCEPT;
void nVOKAL100_destroySpinLock(nVOKAL_tHandle spinLock) NVOKAL_NOEXCEPT;
void nVOKAL100_acquireSpinLockDPC(nVOKAL_tHandle spinLock) NVOKAL_NOEXCEPT;
void nVOKAL100_releaseSpinLockDPC(nVOKAL_tHandle spinLock) NVOKAL_NOEXCEPT;
uint64_t nVOKAL110_acquireSpinLockInterrupt(nVOKAL_tHandle spinLock) NVOKAL_NOEXCEPT;
void nVOKAL110_releaseSpinLockInterrupt(nVOKAL_tHandle spinLock, uint64_t savedState) NVOKAL_NOEXCEPT;

/* ---- single-use events ---------------------------------------------------
 * A single-use event lives in caller-provided storage (typically on the
 * waiting thread's stack) of nVOKAL100_getSingleUseEventSize() bytes, 8-byte
 * aligned. It is initialised once, released at most once and waited on by
 * one thread. Release never touches the storage after the waiter can return,
 * so the waiter may end the storage's life as soon as its wait returns.
 * Initialise and release never block (any level). The waits block. */
uint64_t nVOKAL100_getSingleUseEventSize(void) NVOKAL_NOEXCEPT;
void nVOKAL100_initializeSingleUseEvent(void* event) NVOKAL_NOEXCEPT;
void nVOKAL100_releaseSingleUseEvent(void* event) NVOKAL_NOEXCEPT;

/* The result of an interruptible wait that was interrupted (the thread was
 * asked to stop waiting) before the event was released. */
#define NVOKAL_WAIT_INTERRUPTED ((nVOKAL_tStatus)-51500)

/* Called once when a timed wait expires: function(argument). It runs at DPC
 * level (it must not block) and is expected to release the event. */
typedef struct nVOKAL_tTimeoutHandler {
    void (*function)(void* argument);
    void* argument;
} nVOKAL_tTimeoutHandler;

/* Waits until the event is released; returns 0. */
nVOKAL_tStatus nVOKAL100_waitForSingleUseEvent(void* event) NVOKAL_NOEXCEPT;
/* The same, or NVOKAL_WAIT_INTERRUPTED (negative) when the thread is
 * interrupted first. */
nVOKAL_tStatus nVOKAL100_waitForSingleUseEventInterruptible(void* event) NVOKAL_NOEXCEPT;
/* Timed waits. timeoutMilliseconds is in MILLISECONDS. When the time passes
 * before the event is released, the handler is called once and the wait then
 * goes on until the event has been released (by the handler or by whoever
 * released it meanwhile); it returns 0. It therefore never returns while a
 * releaser may still write the event. The interruptible form returns
 * NVOKAL_WAIT_INTERRUPTED, without calling the handler, when the thread is
 * interrupted before the event is released and before the time passes. */
nVOKAL_tStatus nVOKAL100_waitForSingleUseEventTimeout(void* event, uint32_t timeoutMilliseconds,
                                                      const nVOKAL_tTimeoutHandler* handler) NVOKAL_NOEXCEPT;
nVOKAL_tStatus
nVOKAL100_waitForSingleUseEventTimeoutInterruptible(void* event, uint32_t timeoutMilliseconds,
                                                    const nVOKAL_tTimeoutHandler* handler) NVOKAL_NOEXCEPT;

NVOKAL_END_DECLS

#endif
