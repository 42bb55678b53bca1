#include "bridge/dma_dispatcher.h"

#include "framework/mutex_holder.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace qeldma {

using kdut::internal::MutexHolder;
using nVOAPALS100::tStatus;

namespace {

constexpr int64_t kZeroSize = KELVO_STATUS_BUFFER_TOO_SMALL;

// A cleanup that a failed step may have left registered is not added twice.
void registerOnce(kdut::CleanupOperationComposite& list, kdut::CleanupOperationInterface* operation,
                  tStatus& status) {
    if (status.isNotFatal() && !list.contains(operation)) {
        list.add(operation, status);
    }
}

} // namespace

// ---- the sessions' transfers -----------------------------------------------------

void SessionTransfers::cleanup(tStatus& status) {
    if (status.isNotFatal()) {
        dispatcher_.release(this, status);
    }
}

uint64_t SessionTransfers::lockedBytes() const {
    uint64_t bytes = 0;
    for (const brixeltools::tTransferOwner& stream : streams_) {
        bytes += stream.lockedBytes;
    }
    return bytes;
}

// ---- the dispatcher -----------------------------------------------------------------

DMADispatcher::DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount,
                             tStatus& status)
    : provider_(provider), streamCount_(streamCount) {
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
        SessionTransfers* record = sessions_;
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

SessionTransfers* DMADispatcher::find(const kdut::CleanupOperationComposite& list) const {
    for (SessionTransfers* record = sessions_; record != nullptr; record = record->next_) {
        if (&record->list_ == &list) {
            return record;
        }
    }
    return nullptr;
}

bool DMADispatcher::unlink(SessionTransfers* record) {
    for (SessionTransfers** at = &sessions_; *at != nullptr; at = &(*at)->next_) {
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
void DMADispatcher::drop(SessionTransfers* record) {
    tStatus ignored;
    record->list_.remove(record, ignored);
    delete record;
}

void DMADispatcher::release(SessionTransfers* record, tStatus& status) {
    {
        MutexHolder hold(mutex_);
        if (!unlink(record)) {
            record->cleanedUp_ = true;
            return;
        }
        for (uint32_t stream = 0; stream < streamCount_; ++stream) {
            tStatus local;
            provider_->getSGLController(stream).releaseOwner(&record->streams_[stream], local);
            status.merge(local);
        }
    }
    drop(record);
}

void DMADispatcher::startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                             tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    brixeltools::BrixelDMAStreamController& controller = provider_->getStreamController(stream);
    kelvo_driver::StreamCircuitFifoControllerInterface& fifo = provider_->getFIFOController(stream);
    if (!sgl.commitAndStart(flag, status)) {
        return; // refused: the hardware is as it was
    }
    // Started, whatever came of it: the stop and the FIFO reset are owed.
    tStatus registration;
    registerOnce(list, fifo.getCleanupOperation(), registration);
    registerOnce(list, controller.getCleanupOperation(), registration);
    startStreamCredit(stream, list, status);
    status.merge(registration);
}

void DMADispatcher::startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                                      tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits != nullptr) {
        credits->start(status);
        registerOnce(list, credits->getCleanupOperation(), status);
    }
}

void DMADispatcher::stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::BrixelDMAStreamController& controller = provider_->getStreamController(stream);
    kelvo_driver::StreamCircuitFifoControllerInterface& fifo = provider_->getFIFOController(stream);
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    // A step that failed keeps its registration (and the later steps are
    // skipped): the session's close tries again. A registration that is gone
    // (-52006) is reported, but every hardware step still runs.
    tStatus removals;
    if (credits != nullptr) {
        credits->stop(status);
        if (status.isNotFatal()) {
            list.remove(credits->getCleanupOperation(), removals);
        }
    }
    controller.stop(status);
    if (status.isNotFatal()) {
        list.remove(controller.getCleanupOperation(), removals);
    }
    fifo.reset(status);
    if (status.isNotFatal()) {
        list.remove(fifo.getCleanupOperation(), removals);
    }
    status.merge(removals);
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
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    const kelvo_driver::nVOAPAL000::tUserBuffer buffer(event, address, size);
    SessionTransfers* made = nullptr;
    // The session's record is made and registered (outside the mutex) before
    // any transfer is tagged with it: twice round, or more while the session
    // is cleaned up meanwhile.
    for (;;) {
        SessionTransfers* emptied = nullptr;
        SessionTransfers* stale = nullptr;
        bool added = false;
        {
            MutexHolder hold(mutex_);
            SessionTransfers* record = find(list);
            if (record == nullptr && made != nullptr && made->cleanedUp_) {
                stale = made; // made again below, registered anew
                made = nullptr;
            } else if (record == nullptr && made != nullptr) {
                made->next_ = sessions_;
                sessions_ = made;
                record = made;
                made = nullptr;
            }
            if (record != nullptr) {
                const uint64_t locked = record->lockedBytes();
                const uint64_t allowance =
                    locked < kMaxLockedBytesPerSession ? kMaxLockedBytesPerSession - locked : 0;
                sgl.addTransfer(kind, buffer, direction, value, status, &record->streams_[stream], allowance);
                if (status.isFatal() && record->ownsNothing()) {
                    unlink(record);
                    emptied = record;
                }
                added = true;
            }
        }
        if (made != nullptr) {
            drop(made); // another request of the session registered its record first
            made = nullptr;
        }
        if (emptied != nullptr) {
            drop(emptied); // a refused transfer leaves nothing behind
        }
        if (stale != nullptr) {
            drop(stale);
        }
        if (added) {
            return;
        }
        made = new (status, false) SessionTransfers(*this, list);
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

void DMADispatcher::writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count, tStatus& status) {
    if (checkStreamIndex(stream, status)) {
        provider_->getStreamController(stream).writeStreamAdditiveTransferCount(count, status);
    }
}

uint64_t DMADispatcher::getTransferCount(uint32_t stream, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return 0;
    }
    const uint64_t count = provider_->getStreamController(stream).getTransferCount(status);
    return status.isFatal() ? 0 : count;
}

void DMADispatcher::clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    SessionTransfers* emptied = nullptr;
    bool registered = false;
    {
        MutexHolder hold(mutex_);
        provider_->getSGLController(stream).clearTransfers(status);
        if (status.isFatal()) {
            return; // refused: the transfers and every registration stay
        }
        SessionTransfers* record = find(list);
        registered = record != nullptr;
        if (registered && record->ownsNothing()) {
            unlink(record);
            emptied = record;
        }
    }
    if (emptied != nullptr) {
        drop(emptied);
    }
    if (!registered) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
    }
}

void DMADispatcher::clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    tStatus removal;
    if (credits != nullptr) {
        credits->stop(status);
        if (status.isNotFatal()) {
            list.remove(credits->getCleanupOperation(), removal);
        }
    }
    provider_->getFIFOController(stream).reset(status);
    status.merge(removal);
}

} // namespace qeldma
