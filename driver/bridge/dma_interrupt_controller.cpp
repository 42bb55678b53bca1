#include "bridge/dma_interrupt_controller.h"

#include "framework/mutex_holder.h"
#include "platform/time.h"
#include "platform/vosdbg.h"

namespace brixeltools {

using kelvo_driver::nVOAPAL000::tTimebasePrecise;
using nVOAPALS100::tStatus;

namespace {

constexpr uint64_t kNanosecondsPerMillisecond = 1000000;

// The milliseconds left of a wait that began at begin (0 once it is over).
uint32_t remainingMilliseconds(uint32_t timeout, uint64_t begin) {
    if (timeout == 0 || timeout == nVOAPAL200_kWaitForever) {
        return timeout;
    }
    const uint64_t total = static_cast<uint64_t>(timeout) * kNanosecondsPerMillisecond;
    const uint64_t spent = tTimebasePrecise::now() - begin;
    if (spent >= total) {
        return 0;
    }
    return static_cast<uint32_t>((total - spent + kNanosecondsPerMillisecond - 1) /
                                 kNanosecondsPerMillisecond);
}

} // namespace

BrixelDMAInterruptController::BrixelDMAInterruptController(InterruptRegistrationInterface* registration,
                                                           tStatus& status)
    : registration_(registration), constructionCode_(0) {
    nVOAPAL200_createMutex(&waitersMutex_, &status);
    nVOAPAL200_createMutex(&pendingMutex_, &status);
    if (status.isNotFatal()) {
        emptiedMade_ = nVOAPAL200_createEvent(&emptied_, true, false, &status);
    }
    constructionCode_ = status.getCode();
}

BrixelDMAInterruptController::~BrixelDMAInterruptController() {
    if (constructionCode_ >= 0) {
        nVOAPAL200_acquireMutex(&waitersMutex_);
        closing_ = true;
        nVOAPAL200_releaseMutex(&waitersMutex_);
        signalAll(kWaitDestroyedCode);
        for (;;) {
            nVOAPAL200_acquireMutex(&waitersMutex_);
            const bool empty = live_ == 0;
            nVOAPAL200_releaseMutex(&waitersMutex_);
            if (empty) {
                break;
            }
            nVOAPAL200_waitEvent(&emptied_); // every leaving waiter sets it
        }
    }
    VOSDBG_ASSERT(waiters_.empty());
    waiters_.clear();
    if (emptiedMade_) {
        nVOAPAL200_destroyEvent(&emptied_);
    }
    nVOAPAL200_destroyMutex(&pendingMutex_);
    nVOAPAL200_destroyMutex(&waitersMutex_);
}

uint32_t BrixelDMAInterruptController::waiterCount() {
    kdut::internal::MutexHolder hold(waitersMutex_);
    return static_cast<uint32_t>(waiters_.size());
}

void BrixelDMAInterruptController::waitUntilBytesTransferred(DMAStreamInterface& channel, uint32_t id,
                                                             uint64_t start, uint64_t bytes, uint32_t timeout,
                                                             bool* timedOut, tStatus& status, Wait* record) {
    if (status.isFatal()) {
        return;
    }
    nVOAPAL200_tSemaphore semaphore;
    if (!nVOAPAL200_createSemaphore(&semaphore, 0, &status)) {
        nVOAPAL200_destroySemaphore(&semaphore);
        return;
    }
    Waiter waiter;
    waiter.semaphore = &semaphore;
    waiter.channel = &channel;
    waiter.id = id;
    waiter.record = record;
    const uint64_t target = start + bytes;
    const uint64_t begin = tTimebasePrecise::now();
    if (!registerWaiter(waiter, target, status)) {
        nVOAPAL200_destroySemaphore(&semaphore);
        return;
    }
    *timedOut = false;
    for (;;) {
        // Armed before the count is read: a count that passes the target in between still signals.
        // Revoked before the count was read: that count may be the next holder's.
        const uint64_t count = channel.getTransferCount(status);
        if (revoked(waiter, status) || status.isFatal() || count - start >= bytes) {
            break;
        }
        tStatus wait;
        nVOAPAL200_acquireSemaphore(&semaphore, remainingMilliseconds(timeout, begin), 1, &wait);
        if (wait.getCode() == tStatus::kTimedOut) {
            *timedOut = true;
        } else {
            status.merge(wait);
        }
        int32_t code = 0;
        bool woken = false;
        {
            kdut::internal::MutexHolder hold(pendingMutex_);
            woken = waiter.signalled;
            code = waiter.pending;
        }
        if (woken && code != 0) {
            KELVO_SET_STATUS(status, static_cast<int64_t>(code));
            break;
        }
        if (*timedOut || status.isFatal()) {
            break;
        }
        if (!woken) {
            continue; // a unit an earlier signal left: look again
        }
        // Woken with code 0: done when the count is there.
        const uint64_t now = channel.getTransferCount(status);
        if (revoked(waiter, status) || status.isFatal() || now - start >= bytes) {
            break;
        }
        // Short: the code means nothing now, and a code that came after it counts instead.
        {
            kdut::internal::MutexHolder hold(pendingMutex_);
            code = waiter.deferred;
            waiter.pending = code;
            waiter.signalled = code != 0;
            waiter.deferred = 0;
        }
        if (code != 0) {
            KELVO_SET_STATUS(status, static_cast<int64_t>(code));
            break;
        }
        kdut::internal::MutexHolder hold(waitersMutex_);
        if (holdsId(waiter)) { // a revoked wait leaves the channel to the next one
            channel.setTransferCountNotification(target, status);
            channel.enableInterrupt();
        }
    }
    unregisterWaiter(waiter);
    nVOAPAL200_destroySemaphore(&semaphore);
}

bool BrixelDMAInterruptController::revoked(const Waiter& waiter, tStatus& status) {
    if (waiter.record == nullptr || !__atomic_load_n(&waiter.record->revoked_, __ATOMIC_ACQUIRE)) {
        return false;
    }
    KELVO_SET_STATUS(status, kWaitCancelled);
    return true;
}

bool BrixelDMAInterruptController::registerWaiter(Waiter& waiter, uint64_t target, tStatus& status) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    if (closing_) {
        KELVO_SET_STATUS(status, static_cast<int64_t>(kWaitDestroyedCode));
        return false;
    }
    if (waiter.record != nullptr && __atomic_load_n(&waiter.record->revoked_, __ATOMIC_RELAXED)) {
        KELVO_SET_STATUS(status, kWaitCancelled);
        return false;
    }
    if (waiter.record != nullptr && !waiter.record->admit(status)) {
        return false;
    }
    if (waiters_.contains(waiter.id)) {
        KELVO_SET_STATUS(status, kWaitBusy);
        return false;
    }
    if (!waiters_.insert(waiter.id, &waiter, status)) {
        return false;
    }
    ++live_;
    if (waiter.record != nullptr) {
        waiter.record->waiter_ = &waiter;
    }
    waiter.channel->setTransferCountNotification(target, status);
    if (status.isNotFatal()) {
        waiter.channel->enableInterrupt();
        registration_->registerNotifier(this, waiter.id, status);
    }
    return true;
}

bool BrixelDMAInterruptController::holdsId(const Waiter& waiter) {
    auto found = waiters_.find(waiter.id);
    return found != waiters_.end() && found->value == &waiter;
}

void BrixelDMAInterruptController::release(Waiter& waiter) {
    auto found = waiters_.find(waiter.id);
    if (found == waiters_.end() || found->value != &waiter) {
        return;
    }
    waiters_.erase(found);
    if (waiter.record != nullptr) {
        waiter.record->waiter_ = nullptr;
    }
    waiter.channel->disableInterrupt();
    kdut::internal::MutexHolder pending(pendingMutex_);
    registration_->unregisterNotifier(waiter.id);
}

void BrixelDMAInterruptController::unregisterWaiter(Waiter& waiter) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    release(waiter);
    --live_;
    // Under the mutex: a destruction that finds no wait left after this
    // never meets a waiter still touching the event.
    if (emptiedMade_) {
        nVOAPAL200_setEvent(&emptied_);
    }
}

void BrixelDMAInterruptController::revoke(Wait& record) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    revokeLocked(record);
}

void BrixelDMAInterruptController::revokeOthers(uint32_t id, const void* owner) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    auto found = waiters_.find(id);
    if (found != waiters_.end() && found->value->record != nullptr && found->value->record->owner_ != owner) {
        revokeLocked(*found->value->record);
    }
}

void BrixelDMAInterruptController::revokeLocked(Wait& record) {
    __atomic_store_n(&record.revoked_, true, __ATOMIC_RELEASE);
    Waiter* waiter = record.waiter_;
    if (waiter == nullptr) {
        return; // not registered yet (refused there) or left already
    }
    {
        kdut::internal::MutexHolder pending(pendingMutex_);
        if (!waiter->signalled || waiter->pending == 0) { // a code already signalled stands
            waiter->signalled = true;
            waiter->pending = kWaitCancelledCode;
        }
    }
    nVOAPAL200_releaseSemaphore(waiter->semaphore);
    release(*waiter);
}

void BrixelDMAInterruptController::signal(uint32_t id, int32_t code) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    auto found = waiters_.find(id);
    if (found == waiters_.end()) {
        return; // nothing is remembered for a later wait
    }
    Waiter* waiter = found->value;
    {
        kdut::internal::MutexHolder pending(pendingMutex_);
        if (!waiter->signalled) {
            waiter->signalled = true;
            waiter->pending = code;
        } else if (waiter->pending == 0 && waiter->deferred == 0) {
            waiter->deferred = code;
        }
    }
    nVOAPAL200_releaseSemaphore(waiter->semaphore);
}

void BrixelDMAInterruptController::signalAll(int32_t code) {
    kdut::internal::MutexHolder hold(waitersMutex_);
    for (auto entry = waiters_.begin(); entry != waiters_.end(); ++entry) {
        signal(entry->key, code);
    }
}

} // namespace brixeltools
