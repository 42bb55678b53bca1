#include "bridge/sgl_controller.h"

#include "bridge/dma_stream_controller.h"
#include "framework/mutex_holder.h"
#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace brixeltools {

using kelvo_driver::nVOAPAL000::deleteObject;
using kelvo_driver::nVOAPAL000::kMaxTransferEntryBytes;
using kelvo_driver::nVOAPAL000::tBrixelSGLChunkyLink;
using kelvo_driver::nVOAPAL000::tDMAConfiguration;
using kelvo_driver::nVOAPAL000::tDMAMapCore;
using kelvo_driver::nVOAPAL000::tLinkInformation;
using kelvo_driver::nVOAPAL000::tUserBuffer;
using nVOAPALS100::tStatus;

namespace {

// Holds the stream's mutex (when there is a stream) for a scope.
class StreamHold {
public:
    explicit StreamHold(BrixelDMAStreamController* stream) : stream_(stream) {
        if (stream_ != nullptr) {
            stream_->lock();
        }
    }
    ~StreamHold() {
        if (stream_ != nullptr) {
            stream_->unlock();
        }
    }
    StreamHold(const StreamHold&) = delete;
    StreamHold& operator=(const StreamHold&) = delete;

private:
    BrixelDMAStreamController* stream_;
};

// Entries one listing of a loaded map takes (segments of 2 GiB or more are split).
uint64_t entriesOf(tDMAMapCore& map) {
    uint64_t entries = 0;
    map.resetSGLIterator();
    while (map.moreSGLSegments()) {
        const tDMAMapCore::tSegment segment = map.nextSGLSegment();
        entries += (segment.size + kMaxTransferEntryBytes - 1) / kMaxTransferEntryBytes;
    }
    map.resetSGLIterator();
    return entries;
}

} // namespace

uint64_t lockedBytesOf(uint64_t address, uint64_t size) {
    const uint64_t page = nVOKAL100_getPageSize();
    return (size + page - 1 + address % page) / page * page; // size <= 2^40: no overflow
}

// ---- the lists ------------------------------------------------------------------

FiniteSGL::~FiniteSGL() {
    uninitialize();
}

void FiniteSGL::initialize(const tDMAConfiguration& configuration, uint32_t linkSize, tStatus& status) {
    VOSDBG_ASSERT(!sglConnected_);
    tBrixelSGL::initialize(configuration, linkSize, status);
}

void FiniteSGL::uninitialize() {
    disconnect();
    destroy();
}

void FiniteSGL::addTransfer(tDMAMapCore& map, tStatus& status, bool startNewLink) {
    VOSDBG_ASSERT(!sglConnected_);
    tBrixelSGL::addTransfer(map, status, startNewLink);
}

void FiniteSGL::addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth, tStatus& status,
                              bool startNewLink) {
    VOSDBG_ASSERT(!sglConnected_);
    uint32_t entryOffset = 0;
    appendSelfConfig(offset, data, byteDepth, status, startNewLink, entryOffset);
}

void FiniteSGL::commit(tStatus& status) {
    VOSDBG_ASSERT(!sglConnected_);
    if (status.isNotFatal()) {
        commitLinks();
    }
}

void FiniteSGL::makeFinite(tStatus& status) {
    VOSDBG_ASSERT(!sglConnected_);
    if (status.isNotFatal()) {
        tBrixelSGL::makeFinite();
    }
}

void FiniteSGL::connect(tBrixelSGL& continuous, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    _tail->setNext(continuous.head());
    _tail->updateHeader();
    sglConnected_ = true;
}

void FiniteSGL::disconnect() {
    if (_tail != nullptr) {
        _tail->setNext(nullptr);
        _tail->updateHeader();
    }
    sglConnected_ = false;
}

void ContinuousSGL::initialize(const tDMAConfiguration& configuration, uint32_t linkSize, tStatus& status) {
    tBrixelSGL::initialize(configuration, linkSize, status);
}

void ContinuousSGL::addTransfer(tDMAMapCore& map, tStatus& status, bool startNewLink) {
    tBrixelSGL::addTransfer(map, status, startNewLink);
}

void ContinuousSGL::addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth, tStatus& status,
                                  bool startNewLink) {
    uint32_t entryOffset = 0;
    appendSelfConfig(offset, data, byteDepth, status, startNewLink, entryOffset);
}

tBrixelSGLChunkyLink* ContinuousSGL::getHeadOfList() const {
    VOSDBG_ASSERT(_head != nullptr);
    return _head;
}

void FiniteAndContinuousSGL::initialize(const tDMAConfiguration& configuration, uint32_t linkSize,
                                        tStatus& status) {
    finiteSGLRef.initialize(configuration, linkSize, status);
    continuousSGLRef.initialize(configuration, linkSize, status);
    committed_ = false;
}

void FiniteAndContinuousSGL::addTransfer(uint32_t type, tDMAMapCore& map, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    // Link memory committed before may be in the device's hands: new entries
    // go to fresh links, and no header the device reads is written.
    if (type == kSGLTypeFinite) {
        VOSDBG_ASSERT(continuousSGLRef.isEmpty());
        finiteSGLRef.addTransfer(map, status, committed_ && finiteSGLRef.hasEntries());
    } else if (type == kSGLTypeContinuous) {
        continuousSGLRef.addTransfer(map, status, committed_ && continuousSGLRef.hasEntries());
    } else {
        return;
    }
    committed_ = false;
}

void FiniteAndContinuousSGL::rollBack(const tMark& mark) {
    finiteSGLRef.rollBack(mark.finite);
    continuousSGLRef.rollBack(mark.continuous);
    committed_ = mark.committed;
}

FiniteAndContinuousSGL::operator tLinkInformation() const {
    VOSDBG_ASSERT(!isEmpty());
    return finiteSGLRef.isEmpty() ? continuousSGLRef.getLinkInformation() : finiteSGLRef.getLinkInformation();
}

void FiniteAndContinuousSGL::commit(tStatus& status) {
    if (status.isFatal() || committed_) {
        return;
    }
    const bool finite = !finiteSGLRef.isEmpty();
    const bool continuous = !continuousSGLRef.isEmpty();
    // A chain committed before carries the flags of its old shape.
    finiteSGLRef.clearFlags();
    continuousSGLRef.clearFlags();
    if (finite && !continuous) {
        if (finiteLeftOpen_) {
            finiteSGLRef.commit(status);
        } else {
            finiteSGLRef.makeFinite(status);
        }
    } else if (!finite && continuous) {
        continuousSGLRef.tBrixelSGL::makeContinuous(true, status);
    } else if (finite && continuous) {
        finiteSGLRef.commit(status);
        continuousSGLRef.tBrixelSGL::makeContinuous(false, status);
        finiteSGLRef.connect(continuousSGLRef, status);
    }
    committed_ = status.isNotFatal() && (finite || continuous);
}

// ---- the controller ----------------------------------------------------------------

SGLController::SGLController(const tDMAConfiguration& configuration, uint32_t linkSize, uint32_t direction,
                             tStatus& status, BrixelDMAStreamController* stream)
    : configuration_(configuration), linkSize_(linkSize), pair_(finite_, continuous_), direction_(direction),
      stream_(stream) {
    nVOAPAL200_createMutex(&mutex_, &status);
    if (status.isNotFatal()) {
        kdut::internal::MutexHolder hold(mutex_);
        pair_.initialize(configuration, linkSize, status);
    }
}

SGLController::~SGLController() {
    {
        StreamHold streamHold(stream_);
        tStatus local;
        stopStream(local);
        clear();
    }
    finite_.uninitialize();
    continuous_.uninitialize();
}

void SGLController::stopStream(tStatus& status) {
    if (stream_ == nullptr) {
        return;
    }
    tStatus local;
    stream_->stop(local);
    if (local.isFatal()) {
        // An idle channel is what everything after this relies on.
        stream_->reactivate();
    }
    status.merge(local);
}

void SGLController::reinitialize(tStatus& status) {
    finite_.uninitialize();
    continuous_.uninitialize();
    if (status.isNotFatal()) {
        pair_.initialize(configuration_, linkSize_, status);
    }
    clear();
    finiteEntries_ = 0;
    continuousEntries_ = 0;
}

void SGLController::cleanup(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    StreamHold streamHold(stream_);
    stopStream(status);
    kdut::internal::MutexHolder hold(mutex_);
    tStatus local;
    reinitialize(local);
    status.merge(local);
}

void SGLController::clearTransfers(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    StreamHold streamHold(stream_);
    if (stream_ != nullptr && stream_->isTransferInProgress()) {
        KELVO_SET_STATUS(status, kStreamRunning);
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    reinitialize(status);
}

void SGLController::commit(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    StreamHold streamHold(stream_);
    if (stream_ != nullptr && stream_->isTransferInProgress()) {
        KELVO_SET_STATUS(status, kStreamRunning);
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    pair_.commit(status);
}

bool SGLController::commitAndStart(bool flag, tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    VOSDBG_ASSERT(stream_ != nullptr);
    StreamHold streamHold(stream_);
    {
        kdut::internal::MutexHolder hold(mutex_);
        if (pair_.isEmpty()) {
            KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
            return false;
        }
    }
    commit(status); // refuses a running stream, under the stream's mutex held to the start
    if (status.isFatal()) {
        return false;
    }
    kdut::internal::MutexHolder hold(mutex_);
    stream_->start(pair_, flag, status);
    return true;
}

void SGLController::addTransfer(uint32_t type, const tUserBuffer& buffer, uint32_t direction,
                                uint32_t repeatCount, tStatus& status, tTransferOwner* owner,
                                uint64_t allowance) {
    if (status.isFatal()) {
        return;
    }
    if (repeatCount == 0) {
        KELVO_SET_STATUS(status, kRepeatCountZero);
        return;
    }
    if (direction == kEitherDirection || (direction_ != kEitherDirection && direction != direction_)) {
        KELVO_SET_STATUS(status, kDirectionMismatch);
        return;
    }
    const uint64_t address = buffer.getAddress();
    const uint64_t size = buffer.getSize();
    if (size == 0 || size > kMaxTransferBytes || address + size < address ||
        repeatCount > kMaxEntriesPerList) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    if ((type == kSGLTypeFinite && !continuous_.isEmpty()) || pair_.isConnected()) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    if (type != kSGLTypeFinite && type != kSGLTypeContinuous) {
        return;
    }
    if (finite_.head() == nullptr || continuous_.head() == nullptr) {
        // A clear that ran out of memory left the lists without their head
        // links (and without transfers): they start again here.
        pair_.initialize(configuration_, linkSize_, status);
        if (status.isFatal()) {
            return;
        }
    }
    const uint64_t lockedBytes = lockedBytesOf(address, size);
    if (lockedBytes > allowance) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    auto* record = new (status, false) tTransferRecord(configuration_, status);
    if (record == nullptr) {
        return;
    }
    if (status.isFatal()) {
        deleteObject(record);
        return;
    }
    const uint64_t page = nVOKAL100_getPageSize();
    const uint64_t inPage = address % page;
    record->pageList.handle =
        nVOKAL220_tPageList_createFromUser(address - inPage, lockedBytes / page, NVOKAL_PAGELIST_WRITE);
    if (record->pageList.handle == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kPageLockFailed);
        release(record);
        return;
    }
    record->pageList.size = size;
    record->pageList.offset = inPage;
    record->map.load(record->pageList, 0, size,
                     direction == kDeviceToHost ? tDMAMapCore::kDeviceToHost : tDMAMapCore::kHostToDevice,
                     status);
    uint64_t& listed = type == kSGLTypeFinite ? finiteEntries_ : continuousEntries_;
    const uint64_t entries = status.isNotFatal() ? entriesOf(record->map) : 0;
    if (status.isNotFatal() &&
        (entries > kMaxEntriesPerList / repeatCount || listed + entries * repeatCount > kMaxEntriesPerList)) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
    }
    if (status.isFatal()) {
        release(record);
        return;
    }
    // Refused halfway (link memory), the lists go back to what they were.
    const FiniteAndContinuousSGL::tMark before = pair_.mark();
    for (uint32_t i = 0; i < repeatCount && status.isNotFatal(); ++i) {
        record->map.resetSGLIterator();
        pair_.addTransfer(type, record->map, status);
    }
    if (status.isFatal()) {
        pair_.rollBack(before);
        release(record);
        return;
    }
    listed += entries * repeatCount;
    record->owner = owner;
    record->type = type;
    record->repeatCount = repeatCount;
    record->entries = entries;
    record->lockedBytes = lockedBytes;
    if (owner != nullptr) {
        owner->add(lockedBytes);
    }
    if (lastTransfer_ != nullptr) {
        lastTransfer_->next = record;
    } else {
        transfers_ = record;
    }
    lastTransfer_ = record;
}

void SGLController::release(tTransferRecord* record) {
    if (record->owner != nullptr) {
        record->owner->take(record->lockedBytes);
    }
    if (record->map.isLoaded()) {
        record->map.unload();
    }
    deleteObject(record); // the page list unlocks the user pages
}

void SGLController::releaseOwner(tTransferOwner* owner, tStatus& status) {
    if (status.isFatal() || owner == nullptr) {
        return;
    }
    StreamHold streamHold(stream_);
    {
        kdut::internal::MutexHolder hold(mutex_);
        if (owner->locked() == 0) {
            return;
        }
    }
    // The device may be walking the owner's transfers.
    stopStream(status);
    kdut::internal::MutexHolder hold(mutex_);
    tTransferRecord* kept = nullptr;
    tTransferRecord* keptLast = nullptr;
    while (transfers_ != nullptr) {
        tTransferRecord* record = transfers_;
        transfers_ = record->next;
        record->next = nullptr;
        if (record->owner == owner) {
            release(record);
            continue;
        }
        if (keptLast != nullptr) {
            keptLast->next = record;
        } else {
            kept = record;
        }
        keptLast = record;
    }
    transfers_ = kept;
    lastTransfer_ = keptLast;
    tStatus local;
    rebuild(local);
    status.merge(local);
}

void SGLController::rebuild(tStatus& status) {
    finite_.uninitialize();
    continuous_.uninitialize();
    pair_.initialize(configuration_, linkSize_, status);
    finiteEntries_ = 0;
    continuousEntries_ = 0;
    for (tTransferRecord* record = transfers_; record != nullptr && status.isNotFatal();
         record = record->next) {
        for (uint32_t i = 0; i < record->repeatCount && status.isNotFatal(); ++i) {
            record->map.resetSGLIterator();
            pair_.addTransfer(record->type, record->map, status);
        }
        (record->type == kSGLTypeFinite ? finiteEntries_ : continuousEntries_) +=
            record->entries * record->repeatCount;
    }
    if (status.isFatal()) {
        tStatus fresh;
        reinitialize(fresh);
    }
}

void SGLController::disownAll() {
    kdut::internal::MutexHolder hold(mutex_);
    for (tTransferRecord* record = transfers_; record != nullptr; record = record->next) {
        record->owner = nullptr;
    }
}

void SGLController::clear() {
    while (transfers_ != nullptr) {
        tTransferRecord* record = transfers_;
        transfers_ = record->next;
        release(record);
    }
    lastTransfer_ = nullptr;
}

} // namespace brixeltools
