#include "bridge/dma_dispatcher.h"

#include "framework/mutex_holder.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace qeldma {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

namespace {

constexpr int64_t kZeroSize = KELVO_STATUS_BUFFER_TOO_SMALL;

} // namespace

// ---- the sessions' records ------------------------------------------------------

SessionStreams::~SessionStreams() {
    nVOAPAL200_destroyEvent(&unpinned_);
}

void SessionStreams::cleanup(tStatus& status) {
    if (status.isNotFatal()) {
        dispatcher_.release(this, status);
    }
}

uint64_t SessionStreams::lockedBytes(uint32_t stream) const {
    return streams_[stream].transfers.locked();
}

uint64_t SessionStreams::lockedBytes() const {
    uint64_t bytes = 0;
    for (uint32_t stream = 0; stream < kelvo_driver::BrixelDMAControllers::kNumberOfChannels; ++stream) {
        bytes += lockedBytes(stream);
    }
    return bytes;
}

// ---- a channel's gate -------------------------------------------------------------

ChannelGate::~ChannelGate() {
    if (usable_) {
        nVOAPAL200_destroySemaphore(&order_);
        nVOAPAL200_destroyEvent(&drained_);
    }
}

void ChannelGate::initialize(tStatus& status) {
    nVOAPAL200_createMutex(&mutex_, &status);
    const bool order = nVOAPAL200_createSemaphore(&order_, 1, &status);
    const bool drained = nVOAPAL200_createEvent(&drained_, true, false, &status);
    usable_ = order && drained;
    if (!usable_) {
        if (order) {
            nVOAPAL200_destroySemaphore(&order_);
        }
        if (drained) {
            nVOAPAL200_destroyEvent(&drained_);
        }
    }
}

namespace {

// A wait without limit that nothing interrupts: it always takes the unit.
void takeOrder(nVOAPAL200_tSemaphore* order) {
    tStatus local;
    nVOAPAL200_acquireSemaphore(order, nVOAPAL200_kWaitForever, 0, &local);
}

} // namespace

void ChannelGate::enterShared() {
    takeOrder(&order_);
    {
        MutexHolder hold(mutex_);
        ++shared_;
    }
    nVOAPAL200_releaseSemaphore(&order_);
}

void ChannelGate::leaveShared() {
    MutexHolder hold(mutex_);
    VOSDBG_ASSERT(shared_ != 0);
    if (--shared_ == 0 && aloneWaits_) {
        aloneWaits_ = false;
        nVOAPAL200_setEvent(&drained_);
    }
}

void ChannelGate::enterAlone() {
    takeOrder(&order_); // kept until it leaves: every later arrival waits
    bool wait = false;
    {
        MutexHolder hold(mutex_);
        wait = shared_ != 0;
        aloneWaits_ = wait;
    }
    if (wait) {
        nVOAPAL200_waitEvent(&drained_);
    }
}

void ChannelGate::leaveAlone() {
    nVOAPAL200_releaseSemaphore(&order_);
}

// ---- one request's turn at a stream ----------------------------------------------

// The checks, then the channel's gate and the stream's turn, held to the end,
// and the session's record (made and registered first when the request makes
// one), pinned meanwhile. A grant due to the session is made first. At the
// end a record left holding nothing goes.
class DMADispatcher::Turn {
public:
    // list: the session's; needsRecord: the request needs a record of its own (a grant made first
    // always links one for the holder).
    Turn(DMADispatcher& dispatcher, uint32_t stream, kdut::CleanupOperationComposite& list, bool needsRecord,
         tStatus& status)
        : dispatcher_(dispatcher), stream_(stream) {
        kdut::CleanupOperationComposite* const registerWith = needsRecord ? &list : nullptr;
        if (!dispatcher.checkStreamIndex(stream, status) ||
            !dispatcher.notHeldElsewhere(stream, list, status)) {
            return; // checked before anything is made for the request, and again under the turn
        }
        gate_ = &dispatcher.gates_[physicalChannelOf(stream)];
        SessionStreams* made = nullptr;
        for (;;) {
            if (registerWith != nullptr && made == nullptr && !recordExists(list)) {
                made = dispatcher.makeRecord(*registerWith, status);
                if (made == nullptr) {
                    return;
                }
            }
            gate_->enterShared();
            nVOAPAL200_acquireMutex(&dispatcher.turns_[stream]);
            bool again = false;
            bool grantDue = false;
            {
                MutexHolder hold(dispatcher.mutex_);
                uint64_t generation = 0;
                if (dispatcher.notHeldElsewhere(stream, list, status)) {
                    // The session's reserve was let in before its grant:
                    // the grant goes first.
                    grantDue = dispatcher.grantDue(list, physicalChannelOf(stream), &generation);
                    if (!grantDue) {
                        record_ = dispatcher.pinRecord(list, made);
                        // The record went meanwhile, or the session's list was
                        // cleaned up before ours was linked: once more.
                        again = record_ == nullptr && registerWith != nullptr;
                    }
                }
            }
            if (!again && !grantDue) {
                admitted_ = status.isNotFatal();
                spare_ = made; // another request of the session linked one first, or a refusal
                break;
            }
            nVOAPAL200_releaseMutex(&dispatcher.turns_[stream]);
            gate_->leaveShared();
            if (again && made != nullptr) {
                drop(made);
                made = nullptr;
            }
            if (grantDue) {
                // The holder's record is linked for the grant, as for the reserve's, so that the
                // holder's cleanup on another thread waits for it at the gate.
                dispatcher.grant(physicalChannelOf(stream), list, &list);
            }
        }
        if (!admitted_) {
            nVOAPAL200_releaseMutex(&dispatcher.turns_[stream]);
            gate_->leaveShared();
        }
    }

    ~Turn() {
        SessionStreams* emptied = nullptr;
        if (record_ != nullptr) {
            MutexHolder hold(dispatcher_.mutex_);
            emptied = dispatcher_.unpinLeavingEmpty(record_); // a refused request leaves nothing behind
        }
        if (admitted_) {
            nVOAPAL200_releaseMutex(&dispatcher_.turns_[stream_]);
            gate_->leaveShared();
        }
        if (emptied != nullptr) {
            drop(emptied);
        }
        if (spare_ != nullptr) {
            drop(spare_);
        }
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    explicit operator bool() const { return admitted_; }
    // Null when the session has none (a request that makes one always has one).
    SessionStreams* record() const { return record_; }
    // What the session owes on the stream (stays while the turn is held).
    uint8_t owes() const {
        MutexHolder hold(dispatcher_.mutex_);
        return dispatcher_.owes(record_, stream_);
    }
    // Debts (bits) settled by the request's steps.
    void settle(uint8_t debts) const {
        if (debts == 0) {
            return;
        }
        MutexHolder hold(dispatcher_.mutex_);
        for (uint8_t debt = 0; debt < SessionStreams::kDebts; ++debt) {
            if ((debts & (1u << debt)) != 0) {
                record_->streams_[stream_].debts[debt].owed = false;
            }
        }
    }

private:
    bool recordExists(const kdut::CleanupOperationComposite& list) const {
        MutexHolder hold(dispatcher_.mutex_);
        return dispatcher_.find(list) != nullptr;
    }

    DMADispatcher& dispatcher_;
    uint32_t stream_;
    ChannelGate* gate_ = nullptr;
    SessionStreams* record_ = nullptr;
    SessionStreams* spare_ = nullptr;
    bool admitted_ = false;
};

// ---- the dispatcher -----------------------------------------------------------------

DMADispatcher::DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount,
                             tStatus& status, kdut::ResourceReservationManager* reservations)
    : provider_(provider), streamCount_(streamCount), reservations_(reservations) {
    VOSDBG_ASSERT(streamCount <= kelvo_driver::BrixelDMAControllers::kNumberOfChannels);
    nVOAPAL200_createMutex(&mutex_, &status);
    for (ChannelGate& gate : gates_) {
        gate.initialize(status);
    }
    for (uint32_t stream = 0; stream < streamCount; ++stream) {
        nVOAPAL200_createMutex(&turns_[stream], &status);
    }
}

DMADispatcher::~DMADispatcher() {
    if (sessions_ == nullptr) {
        return;
    }
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        provider_->getSGLController(stream).disownAll();
    }
    while (sessions_ != nullptr) {
        SessionStreams* record = sessions_;
        sessions_ = record->next_;
        delete record;
    }
}

bool DMADispatcher::checkStreamIndex(uint32_t stream, tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (stream >= streamCount_) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    return true;
}

bool DMADispatcher::notHeldElsewhere(uint32_t stream, const kdut::CleanupOperationComposite& list,
                                     tStatus& status) {
    using Holder = kdut::ResourceReservationManager::Holder;
    if (status.isNotFatal() && reservations_ != nullptr &&
        reservations_->holderOf(&list, physicalChannelMask(stream)) == Holder::kOther) {
        KELVO_SET_STATUS(status, kelvoDriverCode(reservations_->getAlreadyReservedCode()));
    }
    return status.isNotFatal();
}

bool DMADispatcher::grantDue(const kdut::CleanupOperationComposite& holder, uint32_t channel,
                             uint64_t* generation) {
    using Holder = kdut::ResourceReservationManager::Holder;
    return reservations_ != nullptr &&
           reservations_->holderOf(&holder, uint64_t{1} << channel, generation) == Holder::kSession &&
           *generation != granted_[channel];
}

SessionStreams* DMADispatcher::find(const kdut::CleanupOperationComposite& list) const {
    for (SessionStreams* record = sessions_; record != nullptr; record = record->next_) {
        if (&record->list_ == &list && !record->closing_) {
            return record;
        }
    }
    return nullptr;
}

bool DMADispatcher::unlink(SessionStreams* record) {
    for (SessionStreams** at = &sessions_; *at != nullptr; at = &(*at)->next_) {
        if (*at == record) {
            *at = record->next_;
            record->next_ = nullptr;
            return true;
        }
    }
    return false;
}

// A record that is not linked belongs to whoever unlinked or made it: its own
// cleanup leaves it alone. Removing it waits for a cleanup of its list that is
// running, so nothing reaches it afterwards.
void DMADispatcher::drop(SessionStreams* record) {
    tStatus ignored;
    record->list_.remove(record, ignored);
    delete record;
}

uint64_t DMADispatcher::streamChannels() const {
    uint64_t channels = 0;
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        channels |= physicalChannelMask(stream);
    }
    return channels;
}

SessionStreams* DMADispatcher::makeRecord(kdut::CleanupOperationComposite& list, tStatus& status) {
    auto* made = new (status, false) SessionStreams(*this, list);
    if (made == nullptr) {
        return nullptr;
    }
    if (!nVOAPAL200_createEvent(&made->unpinned_, true, false, &status)) {
        delete made;
        return nullptr;
    }
    list.add(made, status);
    if (status.isFatal()) {
        delete made;
        return nullptr;
    }
    return made;
}

SessionStreams* DMADispatcher::pinRecord(const kdut::CleanupOperationComposite& list, SessionStreams*& made) {
    SessionStreams* record = find(list);
    if (record == nullptr && made != nullptr && !made->cleanedUp_) {
        made->next_ = sessions_;
        sessions_ = made;
        record = made;
        made = nullptr;
    }
    if (record != nullptr) {
        ++record->pins_;
    }
    return record;
}

SessionStreams* DMADispatcher::unpinLeavingEmpty(SessionStreams* record) {
    unpin(record);
    if (record->pins_ == 0 && !record->closing_ && !holdsAnything(record) && unlink(record)) {
        return record;
    }
    return nullptr;
}

void DMADispatcher::unpin(SessionStreams* record) {
    VOSDBG_ASSERT(record->pins_ != 0);
    if (--record->pins_ == 0 && record->waiting_) {
        record->waiting_ = false;
        nVOAPAL200_setEvent(&record->unpinned_); // under the mutex: its cleanup frees it only after
    }
}

uint8_t DMADispatcher::owes(const SessionStreams* record, uint32_t stream) const {
    uint8_t debts = 0;
    for (uint8_t debt = 0; record != nullptr && debt < SessionStreams::kDebts; ++debt) {
        const SessionStreams::Owed& owed = record->streams_[stream].debts[debt];
        if (owed.owed && owed.start == starts_[stream]) {
            debts |= static_cast<uint8_t>(1u << debt);
        }
    }
    return debts;
}

void DMADispatcher::owe(SessionStreams* record, uint32_t stream, uint8_t debts) {
    for (uint8_t debt = 0; debt < SessionStreams::kDebts; ++debt) {
        if ((debts & (1u << debt)) != 0) {
            record->streams_[stream].debts[debt] = {true, starts_[stream], ++record->taken_};
        }
    }
}

bool DMADispatcher::holdsAnything(const SessionStreams* record) {
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        if (owes(record, stream) != 0 || record->streams_[stream].holdsLists ||
            record->lockedBytes(stream) != 0) {
            return true;
        }
    }
    return false;
}

bool DMADispatcher::nextDebt(SessionStreams* record, uint64_t channels, uint64_t before, uint32_t* stream,
                             Debt* debt) {
    uint64_t latest = 0;
    for (uint32_t s = 0; s < streamCount_; ++s) {
        if ((physicalChannelMask(s) & channels) == 0) {
            continue;
        }
        for (uint8_t d = 0; d < SessionStreams::kDebts; ++d) {
            SessionStreams::Owed& owed = record->streams_[s].debts[d];
            if (owed.owed && owed.start != starts_[s]) {
                owed.owed = false; // the stream was started again since: nobody owes that start anything
            }
            if (owed.owed && owed.taken > latest && (before == 0 || owed.taken < before)) {
                latest = owed.taken;
                *stream = s;
                *debt = static_cast<Debt>(d);
            }
        }
    }
    return latest != 0;
}

void DMADispatcher::runStep(uint32_t stream, Debt debt, tStatus& status) {
    tStatus local;
    switch (debt) {
    case SessionStreams::kCreditStop:
        if (StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, local)) {
            credits->stop(local);
        }
        break;
    case SessionStreams::kStreamStop:
        provider_->getStreamController(stream).stop(local);
        break;
    default:
        provider_->getFIFOController(stream).reset(local);
        break;
    }
    status.merge(local);
}

bool DMADispatcher::settleStep(uint8_t owed, Debt debt, uint8_t* settled, tStatus& status) {
    if (status.isFatal()) {
        return false; // the step failed: still owed, and nothing more runs
    }
    if ((owed & SessionStreams::bit(debt)) == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return false;
    }
    *settled |= SessionStreams::bit(debt);
    return true;
}

bool DMADispatcher::stopCredits(uint32_t stream, uint8_t owed, uint8_t* settled, tStatus& status) {
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits == nullptr) {
        return status.isNotFatal();
    }
    credits->stop(status);
    return settleStep(owed, SessionStreams::kCreditStop, settled, status);
}

void DMADispatcher::payDebts(SessionStreams* record, uint64_t channels, bool keepFailed, tStatus& status) {
    // Kept failures: each debt is tried once, in the order taken on (a failed
    // one stays owed behind the pass).
    uint64_t before = 0;
    for (;;) {
        uint32_t stream = 0;
        Debt debt = SessionStreams::kFifoReset;
        {
            MutexHolder hold(mutex_);
            if (!nextDebt(record, channels, before, &stream, &debt)) {
                return;
            }
        }
        nVOAPAL200_acquireMutex(&turns_[stream]);
        bool owed = false;
        {
            MutexHolder hold(mutex_);
            SessionStreams::Owed& entry = record->streams_[stream].debts[debt];
            // The session's own request may have settled it meanwhile.
            owed = (owes(record, stream) & SessionStreams::bit(debt)) != 0;
            entry.owed = false;
            if (keepFailed) {
                before = entry.taken;
            }
        }
        if (owed) {
            tStatus local;
            runStep(stream, debt, local);
            if (keepFailed && local.isFatal()) {
                // Still owed for the same start (nobody else runs on the
                // channel meanwhile): the session's cleanup or close tries
                // it again.
                MutexHolder hold(mutex_);
                record->streams_[stream].debts[debt].owed = true;
            }
            status.merge(local);
        }
        nVOAPAL200_releaseMutex(&turns_[stream]);
    }
}

void DMADispatcher::takeBack(SessionStreams* record, uint32_t stream, tStatus& status) {
    tStatus local;
    provider_->getSGLController(stream).releaseOwner(&record->streams_[stream].transfers, local);
    status.merge(local);
    MutexHolder hold(mutex_);
    record->streams_[stream].holdsLists = false;
}

void DMADispatcher::endUse(SessionStreams* record, uint64_t channels, bool keepFailed, tStatus& status) {
    payDebts(record, channels, keepFailed, status);
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        if ((physicalChannelMask(stream) & channels) == 0) {
            continue;
        }
        bool holds = false;
        {
            MutexHolder hold(mutex_);
            holds = record->lockedBytes(stream) != 0 || record->streams_[stream].holdsLists;
        }
        if (holds) {
            nVOAPAL200_acquireMutex(&turns_[stream]);
            takeBack(record, stream, status);
            nVOAPAL200_releaseMutex(&turns_[stream]);
        }
    }
}

bool DMADispatcher::unlinkOnceUnpinned(SessionStreams* record) {
    for (;;) {
        {
            MutexHolder hold(mutex_);
            if (record->pins_ == 0) {
                for (uint32_t stream = 0; stream < streamCount_; ++stream) {
                    if (owes(record, stream) != 0 || record->lockedBytes(stream) != 0) {
                        return false;
                    }
                }
                unlink(record); // only its cleanup unlinks a closing record: nothing pins it again
                return true;
            }
            record->waiting_ = true;
        }
        // A request of the session let in before its cleanup began, or a
        // grant, still works with it; each ends within its hardware waits.
        nVOAPAL200_waitEvent(&record->unpinned_);
    }
}

void DMADispatcher::release(SessionStreams* record, tStatus& status) {
    {
        MutexHolder hold(mutex_);
        bool linked = false;
        for (const SessionStreams* at = sessions_; at != nullptr && !linked; at = at->next_) {
            linked = at == record;
        }
        if (!linked) {
            record->cleanedUp_ = true;
            return;
        }
        record->closing_ = true; // the session's requests from now on make a record of their own
    }
    // Once more when a request under way left it something. No gate: what a
    // grant does meanwhile to this record is what this does, step by step
    // under the streams' turns, and the record stays until the grant's pin
    // goes.
    do {
        endUse(record, streamChannels(), false, status);
    } while (!unlinkOnceUnpinned(record));
    VOSDBG_ASSERT(record->pins_ == 0);
    drop(record);
}

void DMADispatcher::grant(uint32_t channel, const kdut::CleanupOperationComposite& holder,
                          kdut::CleanupOperationComposite* registerWith) {
    // Not due now is not due later: only the holder's next reserve makes a
    // grant due again, and that reserve makes its own. Not due while the
    // holder holds the channel: one of its requests made the grant, which
    // may still run; a pass of the gate waits for its end, so that nothing
    // the holder does once this request answers reaches what the grant has
    // still to take back.
    bool exists = false;
    bool held = false;
    {
        MutexHolder hold(mutex_);
        uint64_t generation = 0;
        if (grantDue(holder, channel, &generation)) {
            exists = find(holder) != nullptr;
        } else {
            using Holder = kdut::ResourceReservationManager::Holder;
            held = reservations_ != nullptr &&
                   reservations_->holderOf(&holder, uint64_t{1} << channel) == Holder::kSession;
            if (!held) {
                return;
            }
        }
    }
    if (held) {
        gates_[channel].enterShared();
        gates_[channel].leaveShared();
        return;
    }
    // The holder's record is linked for the grant, so that its cleanup waits
    // for it at the gate: made and registered first, outside every lock.
    SessionStreams* made = nullptr;
    if (registerWith != nullptr && !exists) {
        tStatus ignored; // without it the grant still runs
        made = makeRecord(*registerWith, ignored);
    }
    gates_[channel].enterAlone();
    SessionStreams* own = nullptr;
    bool due = false;
    {
        MutexHolder hold(mutex_);
        uint64_t generation = 0;
        due = grantDue(holder, channel, &generation);
        if (due) {
            granted_[channel] = generation;
        }
        own = pinRecord(holder, made);
    }
    // The others' waits on the channel first: their sessions no longer hold it.
    for (uint32_t stream = 0; due && stream < streamCount_; ++stream) {
        if (physicalChannelOf(stream) == channel) {
            provider_->getDMAInterruptController().revokeOthers(stream, &holder);
        }
    }
    // One record at a time, in list order, pinned while its debts run
    // outside the mutex (a pinned record stays linked). Alone at the gate:
    // nobody else's request on the channel runs meanwhile, so the grant
    // ends each record's use whole.
    const uint64_t mask = uint64_t{1} << channel;
    SessionStreams* done = nullptr;
    for (bool more = due; more;) {
        SessionStreams* record = nullptr;
        {
            MutexHolder hold(mutex_);
            record = done != nullptr ? done->next_ : sessions_;
            while (record != nullptr && &record->list_ == &holder) {
                record = record->next_;
            }
            if (record != nullptr) {
                ++record->pins_;
            }
            if (done != nullptr) {
                unpin(done);
            }
        }
        more = record != nullptr;
        if (more) {
            // The records stay: another session's list may go with its close
            // at any time, so only that session's own cleanup or requests let
            // its record go.
            tStatus ignored;
            endUse(record, mask, true, ignored);
            done = record;
        }
    }
    SessionStreams* emptied = nullptr;
    if (own != nullptr) {
        MutexHolder hold(mutex_);
        emptied = unpinLeavingEmpty(own);
    }
    gates_[channel].leaveAlone();
    if (emptied != nullptr) {
        drop(emptied);
    }
    if (made != nullptr) {
        drop(made);
    }
}

void DMADispatcher::claim(uint64_t channels, kdut::CleanupOperationComposite& holder) {
    channels &= streamChannels();
    for (uint32_t channel = 0; channel < kPhysicalChannels; ++channel) {
        if ((channels >> channel & 1) != 0) {
            grant(channel, holder, &holder);
        }
    }
}

void DMADispatcher::startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                             tStatus& status) {
    const Turn turn(*this, stream, list, true, status);
    if (!turn || !provider_->getSGLController(stream).commitAndStart(flag, status)) {
        return; // refused: the hardware is as it was
    }
    // Started, whatever came of it: the stop and the FIFO reset are owed.
    uint8_t debts =
        SessionStreams::bit(SessionStreams::kFifoReset) | SessionStreams::bit(SessionStreams::kStreamStop);
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits != nullptr) {
        credits->start(status);
        if (status.isNotFatal()) {
            debts |= SessionStreams::bit(SessionStreams::kCreditStop);
        }
    }
    MutexHolder hold(mutex_);
    ++starts_[stream];
    owe(turn.record(), stream, debts);
}

namespace {

// A session's wait on a stream: let in while the session holds the
// stream's channel; the session's cleanup revokes it.
class SessionWait : public kdut::CleanupOperationInterface,
                    public brixeltools::BrixelDMAInterruptController::Wait {
public:
    SessionWait(brixeltools::BrixelDMAInterruptController& waits,
                kdut::ResourceReservationManager* reservations, const kdut::CleanupOperationComposite& list,
                uint32_t stream)
        : Wait(&list), waits_(waits), reservations_(reservations), list_(list), stream_(stream) {}
    void cleanup(tStatus& status) override {
        if (status.isNotFatal()) {
            waits_.revoke(*this);
        }
    }
    bool admit(tStatus& status) override {
        using Holder = kdut::ResourceReservationManager::Holder;
        if (reservations_ != nullptr &&
            reservations_->holderOf(&list_, physicalChannelMask(stream_)) != Holder::kSession) {
            KELVO_SET_STATUS(status, kelvoDriverCode(reservations_->getNotReservedCode()));
        }
        return status.isNotFatal();
    }

private:
    brixeltools::BrixelDMAInterruptController& waits_;
    kdut::ResourceReservationManager* reservations_;
    const kdut::CleanupOperationComposite& list_;
    uint32_t stream_;
};

} // namespace

void DMADispatcher::waitUntilBytesTransferred(uint32_t stream, uint64_t start, uint64_t bytes,
                                              uint32_t timeout, kdut::CleanupOperationComposite& list,
                                              bool* timedOut, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::BrixelDMAInterruptController& waits = provider_->getDMAInterruptController();
    SessionWait wait(waits, reservations_, list, stream);
    // Registered with the list before the wait looks whether the session
    // holds the channel (as it registers): a cleanup that gives the channel
    // back after that look revokes it, one before it leaves it refused. A
    // grant to another session revokes it too (the session's cleanup may
    // give the reservation back before it reaches the wait).
    list.add(&wait, status);
    if (status.isFatal()) {
        return;
    }
    waits.waitUntilBytesTransferred(provider_->getStreamController(stream), stream, start, bytes, timeout,
                                    timedOut, status, &wait);
    tStatus ignored;
    list.remove(&wait, ignored); // waits for a cleanup of the list under way
}

void DMADispatcher::startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                                      tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits == nullptr) {
        return;
    }
    const Turn turn(*this, stream, list, true, status);
    if (!turn) {
        return;
    }
    credits->start(status);
    if (status.isNotFatal()) {
        MutexHolder hold(mutex_);
        owe(turn.record(), stream, SessionStreams::bit(SessionStreams::kCreditStop));
    }
}

void DMADispatcher::stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    const Turn turn(*this, stream, list, false, status);
    if (!turn) {
        return;
    }
    const uint8_t owed = turn.owes();
    uint8_t settled = 0;
    if (stopCredits(stream, owed, &settled, status)) {
        provider_->getStreamController(stream).stop(status);
        if (settleStep(owed, SessionStreams::kStreamStop, &settled, status)) {
            provider_->getFIFOController(stream).reset(status);
            settleStep(owed, SessionStreams::kFifoReset, &settled, status);
        }
    }
    turn.settle(settled);
}

void DMADispatcher::clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    const Turn turn(*this, stream, list, false, status);
    if (!turn) {
        return;
    }
    uint8_t settled = 0;
    if (stopCredits(stream, turn.owes(), &settled, status)) {
        provider_->getFIFOController(stream).reset(status);
    }
    turn.settle(settled);
}

void DMADispatcher::addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream,
                                uint32_t kind, uint64_t address, uint64_t size, uint32_t direction,
                                uint32_t value, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    if (size == 0) {
        KELVO_SET_STATUS(status, kZeroSize);
        return;
    }
    if (kind > brixeltools::kSGLTypeContinuous) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    const kelvo_driver::nVOAPAL000::tUserBuffer buffer(event, address, size);
    const Turn turn(*this, stream, list, true, status);
    if (!turn) {
        return;
    }
    // The session's additions on both streams count against one allowance:
    // what this one locks is set aside under the mutex while the pages are
    // locked and listed outside it. One that does not fit sets nothing aside
    // (the controller refuses it before it locks anything), so it never
    // crowds out an addition on the other stream that does.
    SessionStreams* record = turn.record();
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    const bool empty = sgl.isEmpty();
    const uint64_t asked = size <= brixeltools::kMaxTransferBytes && address + size > address
                               ? brixeltools::lockedBytesOf(address, size)
                               : 0; // refused by the controller
    uint64_t allowance = 0;
    uint64_t setAside = 0;
    {
        MutexHolder hold(mutex_);
        const uint64_t locked = record->lockedBytes() + record->adding_;
        allowance = locked < kMaxLockedBytesPerSession ? kMaxLockedBytesPerSession - locked : 0;
        setAside = asked <= allowance ? asked : 0;
        record->adding_ += setAside;
    }
    sgl.addTransfer(kind, buffer, direction, value, status, &record->streams_[stream].transfers, allowance);
    MutexHolder hold(mutex_);
    record->adding_ -= setAside;
    if (status.isNotFatal() && empty) {
        record->streams_[stream].holdsLists = true;
    }
}

void DMADispatcher::writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count,
                                                     kdut::CleanupOperationComposite& list, tStatus& status) {
    const Turn turn(*this, stream, list, false, status);
    if (turn) {
        provider_->getStreamController(stream).writeStreamAdditiveTransferCount(count, status);
    }
}

uint64_t DMADispatcher::getTransferCount(uint32_t stream, kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    const Turn turn(*this, stream, list, false, status);
    if (!turn) {
        return 0;
    }
    const uint64_t count = provider_->getStreamController(stream).getTransferCount(status);
    return status.isFatal() ? 0 : count;
}

void DMADispatcher::clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    const Turn turn(*this, stream, list, false, status);
    if (!turn) {
        return;
    }
    provider_->getSGLController(stream).clearTransfers(status); // everyone's transfers there
    MutexHolder hold(mutex_);
    if (status.isNotFatal()) {
        SessionStreams* record = turn.record();
        if (record != nullptr && record->streams_[stream].holdsLists) {
            record->streams_[stream].holdsLists = false;
        } else {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
    }
}

} // namespace qeldma
