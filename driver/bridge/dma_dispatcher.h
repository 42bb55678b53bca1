// The DMA dispatcher: the one entry through which the I/O controls reach the
// DMA streams of a device. It turns a stream index into that stream's
// controllers, calls them in a fixed order and keeps the calling session's
// cleanup list in step: what a session starts or adds is registered with it,
// what it stops or clears is removed again, so closing a session stops its
// streams, resets their FIFOs and takes back its transfers. A registration
// goes only when its step succeeded (a failed step is retried at close), and
// a refused request registers nothing.
//
// Transfers belong to the session that added them, whoever added first: the
// dispatcher keeps one record per session that has added transfers (on any
// stream), registered with that session's list before any transfer is tagged
// with it. Its cleanup takes back that session's transfers on every stream
// (stopping a stream that may be walking them) and leaves the others'; then
// the record leaves the list and goes. Clearing a stream's transfers takes
// back everyone's there (the lists are the stream's); a record left owning
// nothing leaves its list then. The bytes of user pages a session keeps
// locked, all streams together, are bounded by kMaxLockedBytesPerSession.
//
// Lock order: a session's cleanup list, the dispatcher's mutex, a stream's
// mutex, its SGL controller's mutex. The dispatcher's mutex serialises the
// records and every call that adds or takes back transfers; nothing
// registers with a list while holding it.
//
// Every operation takes the status last, does nothing on a fatal status and
// first checks the stream index (-52005 at or above the stream count).
#pragma once

#include <stdint.h>

#include "bridge/dma_controllers.h"
#include "framework/cleanup_operation.h"
#include "kelvo/ioctl.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace qeldma {

class DMADispatcher;

// The bytes of user pages one session may keep locked for DMA, both streams
// together; an addition beyond them is -52000.
constexpr uint64_t kMaxLockedBytesPerSession = KELVO_DMA_MAX_LOCKED_BYTES_PER_HANDLE;

// What one session has added: its transfers on each stream are tagged with
// it, and it is the cleanup operation that takes them back.
class SessionTransfers : public kdut::CleanupOperationInterface {
public:
    SessionTransfers(DMADispatcher& dispatcher, kdut::CleanupOperationComposite& list)
        : dispatcher_(dispatcher), list_(list) {}
    void cleanup(nVOAPALS100::tStatus& status) override;

    uint64_t lockedBytes() const;
    bool ownsNothing() const { return lockedBytes() == 0; }

private:
    friend class DMADispatcher;

    DMADispatcher& dispatcher_;
    kdut::CleanupOperationComposite& list_;
    brixeltools::tTransferOwner streams_[kelvo_driver::BrixelDMAControllers::kNumberOfChannels];
    SessionTransfers* next_ = nullptr;
    // Run while registered but not linked: the session's list was cleaned up
    // (and may have forgotten it) before it got any transfer.
    bool cleanedUp_ = false;
};

class DMADispatcher : public kelvo_driver::nVOAPAL000::tObject {
public:
    // streamCount: at most the controller set's channels. The mutex: -52000
    // when it cannot be had.
    DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount,
                  nVOAPALS100::tStatus& status);
    // Frees the sessions' records (their sessions were invalidated by the
    // teardown that destroys the dispatcher); the transfers stay with the
    // SGL controllers, which release them when they go.
    ~DMADispatcher();
    DMADispatcher(const DMADispatcher&) = delete;
    DMADispatcher& operator=(const DMADispatcher&) = delete;

    // Commits the lists and starts the stream: no transfers -52005, running
    // already 0xBFFA806E (both refused: nothing registered). Once the channel
    // was started, successful or not, the FIFO reset and the stream's stop
    // are registered; on success the credits start and their stop too.
    void startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                  nVOAPALS100::tStatus& status);
    // Credits, the stream's stop, the FIFO reset, each registration removed
    // when its step succeeded; after a failed step the later ones are
    // skipped and keep theirs. A removal that finds nothing is -52006, and
    // every hardware step still runs.
    void stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // size 0: -52019; kind above 1: -52005; more locked bytes than the
    // session may still lock: -52000. The transfer belongs to the calling
    // session (registered with list first); a refused one leaves nothing.
    void addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream, uint32_t kind,
                     uint64_t address, uint64_t size, uint32_t direction, uint32_t value,
                     kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    void writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count, nVOAPALS100::tStatus& status);
    // 0 on an error.
    uint64_t getTransferCount(uint32_t stream, nVOAPALS100::tStatus& status);
    // Takes back every transfer of the stream (0xBFFA806E while it runs:
    // nothing changes); then -52006 when the session has added none.
    void clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // Stops the credits (removing their cleanup when they stopped), then
    // resets the FIFO.
    void clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // Starts the credits when the stream has them and registers their stop.
    void startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                           nVOAPALS100::tStatus& status);

    bool checkStreamIndex(uint32_t stream, nVOAPALS100::tStatus& status) const;

private:
    friend class SessionTransfers;

    // The record of list, or null (under the mutex).
    SessionTransfers* find(const kdut::CleanupOperationComposite& list) const;
    // Unlinks record; false when it was not linked (under the mutex).
    bool unlink(SessionTransfers* record);
    // Takes back record's transfers on every stream and frees it (its cleanup).
    void release(SessionTransfers* record, nVOAPALS100::tStatus& status);
    // Removes a record that is no longer linked from its list and frees it.
    static void drop(SessionTransfers* record);

    kelvo_driver::BrixelDMAControllers* provider_;
    uint32_t streamCount_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    SessionTransfers* sessions_ = nullptr;
};

} // namespace qeldma
