// Locks and waits: the recursive mutex, the waitable record that serves as
// event and counting semaphore, and the named-semaphore class.
//
// Spin locks are the kernel layer's own operations (nVOKAL100_createSpinLock,
// nVOKAL100_acquireSpinLockDPC / nVOKAL110_acquireSpinLockInterrupt, ...),
// used directly without a wrapper.
//
// Timed waits: a timeout other than 0 (try only) and 0xFFFFFFFF (no limit)
// is a count of MILLISECONDS, handed unchanged to the kernel layer's timed
// single-use-event wait.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/list.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// Recursive mutex that records its owner. Free when mutexOwner is 0 and
// count 0. The kernel mutex sleeps: never taken at raised level or under a
// spin lock. Set up with nVOAPAL200_createMutex; the destructor destroys the
// kernel mutex (as nVOAPAL200_destroyMutex does).
class tMutex : public tObject {
public:
    tMutex() = default;
    ~tMutex();
    tMutex(const tMutex&) = delete;
    tMutex& operator=(const tMutex&) = delete;

    nVOKAL_tHandle mutex = nullptr;      // 0 when creation failed or was skipped
    nVOKAL_tHandle mutexOwner = nullptr; // the holding thread (nVOKAL100_getThreadHandle), 0 when free
    uint32_t count = 0;                  // acquisitions by the owner
};

// Named semaphore: not offered. The constructor reports -52002.
class tSemaphore : public tObject {
public:
    tSemaphore(const char* name, nVOAPALS100::tStatus& status);
    ~tSemaphore() {}
};

} // namespace kelvo_driver::nVOAPAL000

// Event / counting semaphore record (one layout for both). Every access to
// count and waiterList is under the record's interrupt spin lock; waits
// happen with the lock released.
struct nVOAPAL200_tSemaphore {
    uint32_t consume; // 1: a successful wait takes a unit (semaphore, auto-reset event); 0: manual-reset
    uint32_t count;   // semaphore: units; event: 1 signalled, 0 not
    uint64_t savedInterruptState;    // the spin lock's saved state while it is held
    nVOKAL_tHandle spinLock;         // interrupt-level spin lock, 0 when creation failed
    nVOAPAL200_tListNode waiterList; // queued waiters, in arrival order
};
using nVOAPAL200_tEvent = nVOAPAL200_tSemaphore;

constexpr uint64_t nVOAPAL200_kKALSingleUseEventMaxSize = 64;
// timeout values of the waits
constexpr uint32_t nVOAPAL200_kWaitNoWait = 0;
constexpr uint32_t nVOAPAL200_kWaitForever = 0xFFFFFFFF;

extern "C" {
// Recursive mutex. Create: kernel mutex made when the status is not fatal
// (-52000 when none); owner and count 0 in every case.
void nVOAPAL200_createMutex(kelvo_driver::nVOAPAL000::tMutex* mutex, nVOAPALS100_tStatus* status);
void nVOAPAL200_acquireMutex(kelvo_driver::nVOAPAL000::tMutex* mutex);
// Only the owner releases (an invariant).
void nVOAPAL200_releaseMutex(kelvo_driver::nVOAPAL000::tMutex* mutex);
// Destroys the kernel mutex when there is one (the mutex must be free).
void nVOAPAL200_destroyMutex(kelvo_driver::nVOAPAL000::tMutex* mutex);

// Semaphore with initialCount units. The spin lock is created whatever the
// status; when it cannot be, -52000 is merged into the status. True when the
// record is usable.
bool nVOAPAL200_createSemaphore(nVOAPAL200_tSemaphore* semaphore, uint32_t initialCount,
                                nVOAPALS100_tStatus* status);
// No waiter may be queued (an invariant). Destroys the spin lock when there is one.
void nVOAPAL200_destroySemaphore(nVOAPAL200_tSemaphore* semaphore);
// Takes one unit: timeout 0 tries only (-52007 when none), 0xFFFFFFFF waits
// without limit, any other value waits that many milliseconds (-52007 on
// expiry). interruptible != 0: an interruption reports -52025. False (and
// nothing done) when the status is already fatal.
bool nVOAPAL200_acquireSemaphore(nVOAPAL200_tSemaphore* semaphore, uint32_t timeout, uint32_t interruptible,
                                 nVOAPALS100_tStatus* status);
// Hands one unit to the first waiter, or adds it to the count.
void nVOAPAL200_releaseSemaphore(nVOAPAL200_tSemaphore* semaphore);
// The common wait of semaphores and events (as nVOAPAL200_acquireSemaphore).
bool nVOAPAL200_waitSemaphore(nVOAPAL200_tSemaphore* record, uint32_t timeout, uint32_t interruptible,
                              nVOAPALS100_tStatus* status);
// The same wait without timeout, interruption or status.
void nVOAPAL200_waitEvent(nVOAPAL200_tEvent* event);

// Event: autoReset selects the consuming kind; signalled its first state.
// Creation and destruction as for semaphores.
bool nVOAPAL200_createEvent(nVOAPAL200_tEvent* event, bool autoReset, bool signalled,
                            nVOAPALS100_tStatus* status);
void nVOAPAL200_destroyEvent(nVOAPAL200_tEvent* event);
// Signals: a manual-reset event wakes every waiter and stays signalled; an
// auto-reset event hands the signal to the first waiter or stays signalled
// until one wait takes it. Callable at any level.
void nVOAPAL200_setEvent(nVOAPAL200_tEvent* event);
}
