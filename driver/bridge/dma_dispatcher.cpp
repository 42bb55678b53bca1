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

void SessionStreams::cleanup(tStatus& status) {
    if (status.isNotFatal()) {
        dispatcher_.release(this, status);
    }
}

uint64_t SessionStreams::lockedBytes() const {
    uint64_t bytes = 0;
    for (const Stream& stream : streams_) {
        bytes += stream.transfers.lockedBytes;
    }
    return bytes;
}

bool SessionStreams::ownsNothing() const {
    for (const Stream& stream : streams_) {
        if (stream.transfers.lockedBytes != 0 || stream.debts != 0) {
            return false;
        }
    }
    return true;
}

// ---- the dispatcher -----------------------------------------------------------------

DMADispatcher::DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount,
                             tStatus& status, kdut::ResourceReservationManager* reservations)
    : provider_(provider), streamCount_(streamCount), reservations_(reservations) {
    VOSDBG_ASSERT(streamCount <= kelvo_driver::BrixelDMAControllers::kNumberOfChannels);
    nVOAPAL200_createMutex(&mutex_, &status);
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
    if (status.isNotFatal() && reservations_ != nullptr &&
        reservations_->reservedByOtherThan(&list, physicalChannelMask(stream))) {
        KELVO_SET_STATUS(status, kelvoDriverCode(reservations_->getAlreadyReservedCode()));
    }
    return status.isNotFatal();
}

SessionStreams* DMADispatcher::find(const kdut::CleanupOperationComposite& list) const {
    for (SessionStreams* record = sessions_; record != nullptr; record = record->next_) {
        if (&record->list_ == &list) {
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

template <class Work>
void DMADispatcher::withSession(uint32_t stream, kdut::CleanupOperationComposite& list, bool make,
                                tStatus& status, Work work) {
    // Checked before anything is made for the request, and again where it counts.
    if (!checkStreamIndex(stream, status) || !notHeldElsewhere(stream, list, status)) {
        return;
    }
    SessionStreams* made = nullptr;
    // The session's record is made and registered (outside the mutex) before
    // anything is tagged with it: twice round, or more while the session is
    // cleaned up meanwhile.
    for (;;) {
        SessionStreams* spare = nullptr;
        SessionStreams* emptied = nullptr;
        bool done = false;
        {
            MutexHolder hold(mutex_);
            SessionStreams* record = find(list);
            const bool fresh = record == nullptr && made != nullptr && !made->cleanedUp_;
            if (fresh) {
                made->next_ = sessions_;
                sessions_ = made;
                record = made;
                made = nullptr;
            }
            if (record != nullptr || !make) {
                const bool letGo = notHeldElsewhere(stream, list, status) && work(record);
                if (record != nullptr && record->ownsNothing() && (fresh || letGo)) {
                    unlink(record);
                    emptied = record;
                }
                done = true;
            }
            spare = made; // another request of the session registered first, or a stale one
            made = nullptr;
        }
        if (spare != nullptr) {
            drop(spare);
        }
        if (emptied != nullptr) {
            drop(emptied); // a refused request leaves nothing behind
        }
        if (done) {
            return;
        }
        made = new (status, false) SessionStreams(*this, list);
        if (made == nullptr) {
            return;
        }
        list.add(made, status);
        if (status.isFatal()) {
            delete made;
            return;
        }
    }
}

void DMADispatcher::settle(SessionStreams* record, uint32_t stream, tStatus& status) {
    uint8_t& debts = record->streams_[stream].debts;
    if (debts == 0) {
        return;
    }
    StreamCreditControllerInterface* credits = nullptr;
    if ((debts & SessionStreams::kCreditStop) != 0) {
        tStatus local;
        credits = provider_->getStreamCreditController(stream, local);
        if (credits != nullptr) {
            credits->stop(local);
        }
        status.merge(local);
    }
    if ((debts & SessionStreams::kStreamStop) != 0) {
        tStatus local;
        provider_->getStreamController(stream).stop(local);
        status.merge(local);
    }
    if ((debts & SessionStreams::kFifoReset) != 0) {
        tStatus local;
        provider_->getFIFOController(stream).reset(local);
        status.merge(local);
    }
    debts = 0;
}

bool DMADispatcher::settled(SessionStreams* record, uint32_t stream, uint8_t debt, const tStatus& status) {
    if (status.isFatal()) {
        return true; // the step failed: still owed, and nothing more to say
    }
    if (record == nullptr || (record->streams_[stream].debts & debt) == 0) {
        return false;
    }
    record->streams_[stream].debts &= static_cast<uint8_t>(~debt);
    return true;
}

bool DMADispatcher::stopCredits(uint32_t stream, SessionStreams* record, tStatus& status) {
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits == nullptr) {
        return true;
    }
    credits->stop(status);
    return settled(record, stream, SessionStreams::kCreditStop, status);
}

void DMADispatcher::endUse(SessionStreams* record, uint64_t channels, tStatus& status) {
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        if ((physicalChannelMask(stream) & channels) != 0) {
            settle(record, stream, status);
        }
    }
    for (uint32_t stream = 0; stream < streamCount_; ++stream) {
        if ((physicalChannelMask(stream) & channels) != 0) {
            tStatus local;
            provider_->getSGLController(stream).releaseOwner(&record->streams_[stream].transfers, local);
            status.merge(local);
        }
    }
}

void DMADispatcher::release(SessionStreams* record, tStatus& status) {
    {
        MutexHolder hold(mutex_);
        if (!unlink(record)) {
            record->cleanedUp_ = true;
            return;
        }
        endUse(record, UINT64_MAX, status);
    }
    drop(record);
}

void DMADispatcher::claim(uint64_t channels, const kdut::CleanupOperationComposite& holder) {
    MutexHolder hold(mutex_);
    if (reservations_ == nullptr || (reservations_->getReservedMask() & channels) != channels ||
        reservations_->reservedByOtherThan(&holder, channels)) {
        return;
    }
    // The records stay: another session's list may go with its close at any
    // time, so only that session's own cleanup or requests let its record go.
    for (SessionStreams* record = sessions_; record != nullptr; record = record->next_) {
        if (&record->list_ != &holder) {
            tStatus ignored;
            endUse(record, channels, ignored);
        }
    }
}

void DMADispatcher::startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                             tStatus& status) {
    withSession(stream, list, true, status, [&](SessionStreams* record) {
        if (!provider_->getSGLController(stream).commitAndStart(flag, status)) {
            return false; // refused: the hardware is as it was
        }
        // Started, whatever came of it: the stop and the FIFO reset are owed.
        record->streams_[stream].debts |= SessionStreams::kFifoReset | SessionStreams::kStreamStop;
        StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
        if (credits != nullptr) {
            credits->start(status);
            if (status.isNotFatal()) {
                record->streams_[stream].debts |= SessionStreams::kCreditStop;
            }
        }
        return false;
    });
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
    withSession(stream, list, true, status, [&](SessionStreams* record) {
        credits->start(status);
        if (status.isNotFatal()) {
            record->streams_[stream].debts |= SessionStreams::kCreditStop;
        }
        return false;
    });
}

void DMADispatcher::stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    withSession(stream, list, false, status, [&](SessionStreams* record) {
        // A step that failed stays owed (and the later steps are skipped):
        // the session's close tries again. A debt the session does not owe is
        // reported, but every hardware step still runs.
        bool owed = stopCredits(stream, record, status);
        provider_->getStreamController(stream).stop(status);
        owed = settled(record, stream, SessionStreams::kStreamStop, status) && owed;
        provider_->getFIFOController(stream).reset(status);
        owed = settled(record, stream, SessionStreams::kFifoReset, status) && owed;
        if (!owed) {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
        return false;
    });
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
    withSession(stream, list, true, status, [&](SessionStreams* record) {
        const uint64_t locked = record->lockedBytes();
        const uint64_t allowance =
            locked < kMaxLockedBytesPerSession ? kMaxLockedBytesPerSession - locked : 0;
        provider_->getSGLController(stream).addTransfer(kind, buffer, direction, value, status,
                                                        &record->streams_[stream].transfers, allowance);
        return false;
    });
}

void DMADispatcher::writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count,
                                                     const kdut::CleanupOperationComposite& list,
                                                     tStatus& status) {
    if (checkStreamIndex(stream, status) && notHeldElsewhere(stream, list, status)) {
        provider_->getStreamController(stream).writeStreamAdditiveTransferCount(count, status);
    }
}

uint64_t DMADispatcher::getTransferCount(uint32_t stream, const kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    if (!checkStreamIndex(stream, status) || !notHeldElsewhere(stream, list, status)) {
        return 0;
    }
    const uint64_t count = provider_->getStreamController(stream).getTransferCount(status);
    return status.isFatal() ? 0 : count;
}

void DMADispatcher::clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    withSession(stream, list, false, status, [&](SessionStreams* record) {
        provider_->getSGLController(stream).clearTransfers(status);
        if (status.isNotFatal() && record == nullptr) {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
        return status.isNotFatal(); // the session's record may go with its last transfer
    });
}

void DMADispatcher::clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    withSession(stream, list, false, status, [&](SessionStreams* record) {
        const bool owed = stopCredits(stream, record, status);
        provider_->getFIFOController(stream).reset(status);
        if (!owed) {
            KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        }
        return false;
    });
}

} // namespace qeldma
