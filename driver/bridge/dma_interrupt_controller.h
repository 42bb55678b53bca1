// The DMA interrupt controller: lets a thread sleep until a DMA channel has
// moved a number of bytes. The waiter arms the channel's notify-at count,
// enables its interrupt and registers a notifier for the channel with the
// bridge interrupt controller; the notifier's work signals the wait with code
// 0. A cancel signals it with 0xBFFA40E4, the controller's destruction with
// -52003, the device's pending-wait cancel with 0xBFFA9179.
//
// One waiter per id (the channel number): a second concurrent wait answers
// -52020 at once and leaves the first one armed. The first code signalled to
// a wait stands; a wake-up with code 0 whose count is still short drops that
// code, re-arms and waits for the rest of the time.
//
// A wait whose caller passes its own record (an owner's) registers only if
// the record admits it, asked under the waiters mutex, and can be revoked
// (its owner no longer holds the channel): from then on it answers the
// cancel code whatever the count, and its id, notify-at count and interrupt
// are left at once to the next wait there; a wait revoked before it
// registers is refused with that code. Lock order: the waiters mutex, then
// what a record's admission takes, the pending mutex, the bridge interrupt
// controller's locks.
#pragma once

#include <stdint.h>

#include "bridge/dma_stream_controller.h"
#include "bridge/interrupt_controller.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/map.h"

namespace brixeltools {

constexpr int64_t kWaitCancelled = KELVO_STATUS_WAIT_CANCELLED;
constexpr int32_t kWaitCancelledCode = KELVO_STATUS_WAIT_CANCELLED;
// A second wait on an id that has a waiter.
constexpr int64_t kWaitBusy = KELVO_STATUS_INVALID_STATE;
// The controller is being destroyed.
constexpr int32_t kWaitDestroyedCode = KELVO_STATUS_UNSUPPORTED_VALUE;

class BrixelDMAInterruptController : public kelvo_driver::nVOAPAL000::tObject {
    struct Waiter;

public:
    // One wait's record, the waiting thread's own for the length of one
    // wait; owner: whose wait it is (not null).
    class Wait {
    public:
        explicit Wait(const void* owner) : owner_(owner) {}
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;
        // Whether the wait may register (else the refusal in status); asked
        // under the waiters mutex.
        virtual bool admit(nVOAPALS100::tStatus& status) = 0;

    protected:
        ~Wait() = default;

    private:
        friend class BrixelDMAInterruptController;
        const void* owner_;
        Waiter* waiter_ = nullptr; // while registered (under the waiters mutex)
        bool revoked_ = false;     // set once, under the waiters mutex; read atomically
    };

    // registration must outlive the controller. Both mutexes: -52000.
    BrixelDMAInterruptController(InterruptRegistrationInterface* registration, nVOAPALS100::tStatus& status);
    // Refuses new waits, signals every waiter with -52003 and waits until
    // every registered wait has left; then frees what is left.
    virtual ~BrixelDMAInterruptController();
    BrixelDMAInterruptController(const BrixelDMAInterruptController&) = delete;
    BrixelDMAInterruptController& operator=(const BrixelDMAInterruptController&) = delete;

    // Returns once the channel's count minus start (unsigned) reaches bytes,
    // when a signal with a non-zero code arrives (its code in the status), or
    // at the timeout (milliseconds; 0 no wait, 0xFFFFFFFF none): *timedOut =
    // true, the status clean unless a code was pending. A fatal status on
    // entry: nothing, *timedOut untouched. record: the caller's, for revoke
    // (null: none).
    void waitUntilBytesTransferred(DMAStreamInterface& channel, uint32_t id, uint64_t start, uint64_t bytes,
                                   uint32_t timeout, bool* timedOut, nVOAPALS100::tStatus& status,
                                   Wait* record = nullptr);
    // Ends the wait of record with the cancel code (0xBFFA40E4) for good, as
    // the header says; nothing for a wait that has ended.
    void revoke(Wait& record);
    // Revokes the wait on id unless it is owner's or has no record.
    void revokeOthers(uint32_t id, const void* owner);
    // Ends the id's wait with code (the first code stands); nothing without a waiter.
    virtual void signal(uint32_t id, int32_t code);
    // Signals every waiter, in ascending id order.
    void signalAll(int32_t code);

    // Ids that wait now.
    uint32_t waiterCount();

private:
    struct Waiter : public kelvo_driver::nVOAPAL000::tObject {
        nVOAPAL200_tSemaphore* semaphore = nullptr;
        DMAStreamInterface* channel = nullptr;
        uint32_t id = 0;
        Wait* record = nullptr;
        int32_t pending = 0;    // the first code signalled
        int32_t deferred = 0;   // the first non-zero code after a pending 0
        bool signalled = false; // whether pending holds one
    };

    // Registers the wait and arms the channel (-52020 for a second waiter,
    // -52003 once destruction began, the cancel code once revoked).
    bool registerWaiter(Waiter& waiter, uint64_t target, nVOAPALS100::tStatus& status);
    // Whether waiter still holds its id (under the waiters mutex).
    bool holdsId(const Waiter& waiter);
    // Takes waiter out of the map and gives up its notifier and interrupt (under the waiters mutex).
    void release(Waiter& waiter);
    // revoke under the waiters mutex.
    void revokeLocked(Wait& record);
    // The cancel code in status once the wait was revoked.
    static bool revoked(const Waiter& waiter, nVOAPALS100::tStatus& status);
    void unregisterWaiter(Waiter& waiter);

    InterruptRegistrationInterface* registration_;
    kelvo_driver::nVOAPAL000::tMutex waitersMutex_;
    vohtl::apal::Map<uint32_t, Waiter*> waiters_;
    kelvo_driver::nVOAPAL000::tMutex pendingMutex_;
    int64_t constructionCode_;
    bool closing_ = false;
    uint32_t live_ = 0;         // waits registered that have not left (a revoked one is out of the map)
    nVOAPAL200_tEvent emptied_; // set whenever a waiter leaves
    bool emptiedMade_ = false;
};

} // namespace brixeltools
