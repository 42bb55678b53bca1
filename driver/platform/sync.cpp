#include "platform/sync.h"

#include "platform/voitl/containing.h"
#include "platform/vosdbg.h"

using kelvo_driver::nVOAPAL000::tMutex;

namespace {

// ---- waiters ----------------------------------------------------------------

// One waiting thread, on its stack for the duration of one wait. Its node is
// detached again before the wait returns.
struct tWaiter {
    nVOAPAL200_tListNode waiterListNode;
    alignas(16) uint8_t kernelEvent[nVOAPAL200_kKALSingleUseEventMaxSize];
    nVOAPALS100::tStatus status; // what a signaller or the timeout handler leaves for the waiter
};

tWaiter* waiterOf(nVOAPAL200_tListNode* node) {
    return voitl::getContainingObject(node, &tWaiter::waiterListNode);
}

// The argument of the timeout handler.
struct tTimeoutContext {
    nVOAPAL200_tSemaphore* record;
    tWaiter* waiter;
};

void lockRecord(nVOAPAL200_tSemaphore* record) {
    VOSDBG_ASSERT(record->spinLock != nullptr);
    const uint64_t saved = nVOKAL110_acquireSpinLockInterrupt(record->spinLock);
    record->savedInterruptState = saved;
}

void unlockRecord(nVOAPAL200_tSemaphore* record) {
    const uint64_t saved = record->savedInterruptState;
    nVOKAL110_releaseSpinLockInterrupt(record->spinLock, saved);
}

// Under the record's lock: detaches the first waiter and releases it. The
// waiter takes the lock again before its frame goes, so the release is done
// by then.
void wakeFirstWaiter(nVOAPAL200_tSemaphore* record) {
    nVOAPAL200_tListNode* first = nVOAPAL200_listRemoveFirst(&record->waiterList);
    nVOKAL100_releaseSingleUseEvent(waiterOf(first)->kernelEvent);
}

void wakeAllWaiters(nVOAPAL200_tSemaphore* record) {
    while (nVOAPAL200_listNodeIsAttached(&record->waiterList)) {
        wakeFirstWaiter(record);
    }
}

// Runs when a timed wait expires (DPC level).
void waitTimedOut(void* argument) {
    auto* context = static_cast<tTimeoutContext*>(argument);
    nVOAPAL200_tSemaphore* record = context->record;
    tWaiter* waiter = context->waiter;
    lockRecord(record);
    if (nVOAPAL200_listNodeIsAttached(&waiter->waiterListNode)) {
        nVOAPAL200_listNodeDetach(&waiter->waiterListNode);
        KELVO_SET_STATUS(waiter->status, nVOAPALS100::tStatus::kTimedOut);
        nVOKAL100_releaseSingleUseEvent(waiter->kernelEvent);
    }
    unlockRecord(record);
}

bool initializeRecord(nVOAPAL200_tSemaphore* record, uint32_t consume, uint32_t count,
                      nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(record != nullptr);
    VOSDBG_ASSERT(status != nullptr);
    nVOAPALS100::tStatus local;
    record->consume = consume;
    record->count = count;
    record->savedInterruptState = 0;
    nVOAPAL200_listNodeInitialize(&record->waiterList);
    record->spinLock = nVOKAL100_createSpinLock();
    if (record->spinLock == nullptr) {
        KELVO_SET_STATUS(local, nVOAPALS100::tStatus::kOutOfMemory);
    }
    nVOAPAL200_mergeStatus(status, &local);
    // Usable when the spin lock exists (the merge's own result only says
    // whether it stored a code, which is false on success).
    return local.isNotFatal();
}

void destroyRecord(nVOAPAL200_tSemaphore* semEvent) {
    VOSDBG_ASSERT(semEvent != nullptr);
    if (nVOAPAL200_listNodeIsAttached(&semEvent->waiterList)) {
        vosdbg_assertFailed(__FILE__, __LINE__,
                            "ASSERT(!nVOAPAL200_listNodeIsAttached(&(semEvent->waiterList)))", nullptr);
        return; // the waiters still point into the record's lock: keep it
    }
    if (semEvent->spinLock != nullptr) {
        nVOKAL100_destroySpinLock(semEvent->spinLock);
        semEvent->spinLock = nullptr;
    }
}

} // namespace

// ---- recursive mutex ------------------------------------------------------------

kelvo_driver::nVOAPAL000::tMutex::~tMutex() {
    nVOAPAL200_destroyMutex(this);
}

extern "C" void nVOAPAL200_createMutex(tMutex* mutex, nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(mutex != nullptr);
    VOSDBG_ASSERT(status != nullptr);
    mutex->mutex = nullptr;
    if (status->code >= 0) {
        mutex->mutex = nVOKAL150_createMutex();
        if (mutex->mutex == nullptr) {
            nVOAPAL200_setStatus(status, nVOAPALS100::tStatus::kOutOfMemory, KELVO_COMPONENT, __FILE__,
                                 __LINE__);
        }
    }
    mutex->mutexOwner = nullptr;
    mutex->count = 0;
}

extern "C" void nVOAPAL200_acquireMutex(tMutex* mutex) {
    VOSDBG_ASSERT(mutex != nullptr);
    nVOKAL_tHandle self = nVOKAL100_getThreadHandle();
    // Only the owner itself can have stored its handle, so reading the owner
    // without the lock can never wrongly match.
    if (__atomic_load_n(&mutex->mutexOwner, __ATOMIC_RELAXED) != self) {
        VOSDBG_ASSERT(mutex->mutex != nullptr);
        nVOKAL150_acquireMutex(mutex->mutex);
        __atomic_store_n(&mutex->mutexOwner, self, __ATOMIC_RELAXED);
    }
    mutex->count += 1;
}

extern "C" void nVOAPAL200_releaseMutex(tMutex* mutex) {
    VOSDBG_ASSERT(mutex != nullptr);
    nVOKAL_tHandle self = nVOKAL100_getThreadHandle();
    nVOKAL_tHandle owner = __atomic_load_n(&mutex->mutexOwner, __ATOMIC_RELAXED);
    if (owner != self) {
        VOSDBG_ASSERT_F(owner == self,
                        "Non-Owner Thread trying to release. mutexOwner = %p, threadReleasing = %p", owner,
                        self);
        return; // not ours to release
    }
    mutex->count -= 1;
    if (mutex->count == 0) {
        __atomic_store_n(&mutex->mutexOwner, nullptr, __ATOMIC_RELAXED);
        nVOKAL150_releaseMutex(mutex->mutex);
    }
}

extern "C" void nVOAPAL200_destroyMutex(tMutex* mutex) {
    VOSDBG_ASSERT(mutex != nullptr);
    if (mutex->mutex != nullptr) {
        nVOKAL150_destroyMutex(mutex->mutex);
        mutex->mutex = nullptr;
    }
}

kelvo_driver::nVOAPAL000::tSemaphore::tSemaphore(const char* name, nVOAPALS100::tStatus& status) {
    VOSDBG_ASSERT(name != nullptr);
    KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotImplemented);
}

// ---- semaphores and events ------------------------------------------------------

extern "C" bool nVOAPAL200_createSemaphore(nVOAPAL200_tSemaphore* semaphore, uint32_t initialCount,
                                           nVOAPALS100_tStatus* status) {
    return initializeRecord(semaphore, 1, initialCount, status);
}

extern "C" void nVOAPAL200_destroySemaphore(nVOAPAL200_tSemaphore* semaphore) {
    destroyRecord(semaphore);
}

extern "C" bool nVOAPAL200_createEvent(nVOAPAL200_tEvent* event, bool autoReset, bool signalled,
                                       nVOAPALS100_tStatus* status) {
    return initializeRecord(event, autoReset ? 1 : 0, signalled ? 1 : 0, status);
}

extern "C" void nVOAPAL200_destroyEvent(nVOAPAL200_tEvent* event) {
    destroyRecord(event);
}

extern "C" bool nVOAPAL200_acquireSemaphore(nVOAPAL200_tSemaphore* semaphore, uint32_t timeout,
                                            uint32_t interruptible, nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != nullptr);
    if (status->code < 0) {
        return false;
    }
    return nVOAPAL200_waitSemaphore(semaphore, timeout, interruptible, status);
}

extern "C" bool nVOAPAL200_waitSemaphore(nVOAPAL200_tSemaphore* record, uint32_t timeout,
                                         uint32_t interruptible, nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(record != nullptr);
    VOSDBG_ASSERT(status != nullptr);
    if (status->code < 0) {
        return false;
    }

    lockRecord(record);
    if (record->count != 0) {
        if (record->consume != 0) {
            record->count -= 1;
        }
        unlockRecord(record);
        return true;
    }
    if (timeout == nVOAPAL200_kWaitNoWait) {
        unlockRecord(record);
        nVOAPAL200_setStatus(status, nVOAPALS100::tStatus::kTimedOut, KELVO_COMPONENT, __FILE__, __LINE__);
        return false;
    }

    tWaiter waiterNode;
    nVOAPAL200_listNodeInitialize(&waiterNode.waiterListNode);
    VOSDBG_ASSERT_CMP(nVOKAL100_getSingleUseEventSize(), <=, nVOAPAL200_kKALSingleUseEventMaxSize);
    nVOKAL100_initializeSingleUseEvent(waiterNode.kernelEvent);
    nVOAPAL200_initializeStatus(&waiterNode.status);
    nVOAPAL200_listNodeInsertBefore(&waiterNode.waiterListNode, &record->waiterList);
    unlockRecord(record);

    const bool timed = timeout != nVOAPAL200_kWaitForever;
    if (!timed) {
        if (interruptible == 0) {
            nVOKAL100_waitForSingleUseEvent(waiterNode.kernelEvent);
        } else if (nVOKAL100_waitForSingleUseEventInterruptible(waiterNode.kernelEvent) < 0) {
            lockRecord(record);
            if (nVOAPAL200_listNodeIsAttached(&waiterNode.waiterListNode)) {
                nVOAPAL200_setStatus(status, nVOAPALS100::tStatus::kWaitInterrupted, KELVO_COMPONENT,
                                     __FILE__, __LINE__);
                nVOAPAL200_listNodeDetach(&waiterNode.waiterListNode);
            }
            unlockRecord(record);
            if (status->code < 0) {
                return false;
            }
            // A signaller dequeued the waiter first: the wait succeeded.
        }
    } else {
        tTimeoutContext context{record, &waiterNode};
        const nVOKAL_tTimeoutHandler handler{waitTimedOut, &context};
        const nVOKAL_tStatus result =
            interruptible == 0
                ? nVOKAL100_waitForSingleUseEventTimeout(waiterNode.kernelEvent, timeout, &handler)
                : nVOKAL100_waitForSingleUseEventTimeoutInterruptible(waiterNode.kernelEvent, timeout,
                                                                      &handler);
        if (result < 0) {
            lockRecord(record);
            if (nVOAPAL200_listNodeIsAttached(&waiterNode.waiterListNode)) {
                KELVO_SET_STATUS(waiterNode.status, nVOAPALS100::tStatus::kWaitInterrupted);
                nVOAPAL200_listNodeDetach(&waiterNode.waiterListNode);
            }
            unlockRecord(record);
        }
    }

    lockRecord(record);
    if (nVOAPAL200_listNodeIsAttached(&waiterNode.waiterListNode)) {
        vosdbg_assertFailed(__FILE__, __LINE__,
                            "ASSERT(!nVOAPAL200_listNodeIsAttached(&(waiterNode.waiterListNode)))", nullptr);
        nVOAPAL200_listNodeDetach(&waiterNode.waiterListNode); // never leave a dead frame on the list
    }
    unlockRecord(record);

    if (timed && waiterNode.status.isFatal()) {
        nVOAPAL200_mergeStatus(status, &waiterNode.status);
        return false;
    }
    return true;
}

extern "C" void nVOAPAL200_waitEvent(nVOAPAL200_tEvent* event) {
    nVOAPALS100::tStatus local;
    nVOAPAL200_waitSemaphore(event, nVOAPAL200_kWaitForever, 0, &local);
}

extern "C" void nVOAPAL200_releaseSemaphore(nVOAPAL200_tSemaphore* semaphore) {
    VOSDBG_ASSERT(semaphore != nullptr);
    lockRecord(semaphore);
    if (semaphore->count == 0) {
        if (nVOAPAL200_listNodeIsAttached(&semaphore->waiterList)) {
            wakeFirstWaiter(semaphore); // the unit goes straight to the first waiter
        } else {
            semaphore->count = 1;
        }
    } else {
        semaphore->count += 1;
        wakeAllWaiters(semaphore); // none in a consistent record
    }
    unlockRecord(semaphore);
}

extern "C" void nVOAPAL200_setEvent(nVOAPAL200_tEvent* event) {
    VOSDBG_ASSERT(event != nullptr);
    lockRecord(event);
    if (event->count != 0) {
        VOSDBG_ASSERT_MSG(!nVOAPAL200_listNodeIsAttached(&event->waiterList),
                          "event is signaled, but there are waiters. Failed!");
    } else if (event->consume == 0) {
        event->count = 1;
        wakeAllWaiters(event);
    } else if (nVOAPAL200_listNodeIsAttached(&event->waiterList)) {
        wakeFirstWaiter(event);
    } else {
        event->count = 1;
    }
    unlockRecord(event);
}
