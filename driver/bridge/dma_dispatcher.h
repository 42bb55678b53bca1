// The DMA dispatcher: the one entry through which the I/O controls reach the
// DMA streams of a device. It turns a stream index into that stream's
// controllers and calls them in a fixed order.
//
// What a session leaves behind is kept in the session's record, the one
// cleanup operation the dispatcher registers with that session's list
// (before anything is tagged with it): the transfers it added, whoever added
// first, and what it owes for the streams it started (the credits' stop, the
// stream's stop, the FIFO reset), each debt taken on when its step ran and
// settled when the session's own stop or clear succeeded (a failed step is
// tried again at close). Its cleanup settles the debts and takes back the
// session's transfers on every stream (stopping a stream that may be walking
// them), leaving the others'. Clearing a stream's transfers takes back
// everyone's there (the lists are the stream's). A record left owning
// nothing leaves its list and goes; a refused request leaves none behind.
// The bytes of user pages a session keeps locked, all streams together, are
// bounded by kMaxLockedBytesPerSession.
//
// The reservation of a stream's physical channel (DMA streams 0 and 1 are
// both on channel 0) gives its holder the stream: every stream operation of
// another session is refused with the already-reserved code (0xBFFA4319),
// checked under the dispatcher's mutex, and the grant (claim) ends the other
// sessions' use of the channel as their close would: their debts there are
// settled and their transfers taken back. So nothing another session set up
// before the grant or left registered stops, clears or redirects the
// holder's stream, and none of the holder's data lands in another session's
// buffer.
//
// Lock order: a session's cleanup list, the dispatcher's mutex, a stream's
// mutex, its SGL controller's mutex; the reservation manager's mutex after
// the dispatcher's. The dispatcher's mutex serialises the records and every
// call that starts, stops, adds or takes back; nothing registers with a list
// while holding it.
//
// Every operation takes the status last, does nothing on a fatal status and
// first checks the stream index (-52005 at or above the stream count).
#pragma once

#include <stdint.h>

#include "bridge/dma_controllers.h"
#include "framework/cleanup_operation.h"
#include "framework/resource_reservation.h"
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

// The reservation mask of a stream's physical channel.
constexpr uint64_t physicalChannelMask(uint32_t stream) {
    return uint64_t{1} << (stream >> 1);
}

// What one session left on the streams: its transfers (tagged with it) and
// its debts. It is the cleanup operation that settles and takes back both.
class SessionStreams : public kdut::CleanupOperationInterface {
public:
    SessionStreams(DMADispatcher& dispatcher, kdut::CleanupOperationComposite& list)
        : dispatcher_(dispatcher), list_(list) {}
    void cleanup(nVOAPALS100::tStatus& status) override;

    uint64_t lockedBytes() const;
    bool ownsNothing() const;

private:
    friend class DMADispatcher;

    enum Debt : uint8_t { kFifoReset = 1, kStreamStop = 2, kCreditStop = 4 };
    struct Stream {
        brixeltools::tTransferOwner transfers;
        uint8_t debts = 0;
    };

    DMADispatcher& dispatcher_;
    kdut::CleanupOperationComposite& list_;
    Stream streams_[kelvo_driver::BrixelDMAControllers::kNumberOfChannels];
    SessionStreams* next_ = nullptr;
    // Run while registered but not linked: the session's list was cleaned up
    // (and may have forgotten it) before it owned anything.
    bool cleanedUp_ = false;
};

class DMADispatcher : public kelvo_driver::nVOAPAL000::tObject {
public:
    // streamCount: at most the controller set's channels. reservations: the
    // device's (null: no stream is ever reserved). The mutex: -52000 when it
    // cannot be had.
    DMADispatcher(kelvo_driver::BrixelDMAControllers* provider, uint32_t streamCount,
                  nVOAPALS100::tStatus& status, kdut::ResourceReservationManager* reservations = nullptr);
    // Frees the sessions' records (their sessions were invalidated by the
    // teardown that destroys the dispatcher); the transfers stay with the
    // SGL controllers, which release them when they go.
    ~DMADispatcher();
    DMADispatcher(const DMADispatcher&) = delete;
    DMADispatcher& operator=(const DMADispatcher&) = delete;

    // Commits the lists and starts the stream: no transfers -52005, running
    // already 0xBFFA806E (both refused: nothing owed). Once the channel was
    // started, successful or not, the FIFO reset and the stream's stop are
    // owed; on success the credits start and their stop is owed too.
    void startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                  nVOAPALS100::tStatus& status);
    // Credits, the stream's stop, the FIFO reset, each debt settled when its
    // step succeeded; after a failed step the later ones are skipped and
    // stay owed. A debt the session does not owe is -52006, and every
    // hardware step still runs.
    void stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // size 0: -52019; kind above 1: -52005; more locked bytes than the
    // session may still lock: -52000. The transfer belongs to the calling
    // session; a refused one leaves nothing.
    void addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream, uint32_t kind,
                     uint64_t address, uint64_t size, uint32_t direction, uint32_t value,
                     kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    void writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count,
                                          const kdut::CleanupOperationComposite& list,
                                          nVOAPALS100::tStatus& status);
    // 0 on an error.
    uint64_t getTransferCount(uint32_t stream, const kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // Takes back every transfer of the stream (0xBFFA806E while it runs:
    // nothing changes); then -52006 when the session has no record.
    void clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // Stops the credits (settling their debt when they stopped), then resets
    // the FIFO.
    void clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // Starts the credits when the stream has them; their stop is owed.
    void startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                           nVOAPALS100::tStatus& status);
    // The session of holder was granted channels: every other session's
    // debts on their streams are settled and its transfers there taken back,
    // as its close would (its record stays for its own close). Nothing when holder no longer holds them (a
    // release overtook the claim). What fails there is the other sessions' loss, as at their close: the
    // holder is not told.
    void claim(uint64_t channels, const kdut::CleanupOperationComposite& holder);

    bool checkStreamIndex(uint32_t stream, nVOAPALS100::tStatus& status) const;

private:
    friend class SessionStreams;

    // No other session holds the stream's channel (the already-reserved code).
    bool notHeldElsewhere(uint32_t stream, const kdut::CleanupOperationComposite& list,
                          nVOAPALS100::tStatus& status);
    // After the checks, runs work(record) under the mutex with the session's
    // record: made and registered first when make is set and there is none,
    // else null when there is none. A record owning nothing afterwards goes
    // when it was made for this request or work answered true (a clear that
    // succeeded); otherwise it stays registered until the session's clear or
    // close.
    template <class Work>
    void withSession(uint32_t stream, kdut::CleanupOperationComposite& list, bool make,
                     nVOAPALS100::tStatus& status, Work work);
    // Runs the debts of record on stream, each with a fresh status merged
    // into status, and forgets them (under the mutex).
    void settle(SessionStreams* record, uint32_t stream, nVOAPALS100::tStatus& status);
    // After a step that succeeded, settles record's debt on stream (false
    // when the session did not owe it); true after a step that failed.
    static bool settled(SessionStreams* record, uint32_t stream, uint8_t debt,
                        const nVOAPALS100::tStatus& status);
    // Stops the stream's credits when it has them and settles their debt:
    // false when they stopped but the session did not owe it.
    bool stopCredits(uint32_t stream, SessionStreams* record, nVOAPALS100::tStatus& status);
    // Settles record's debts and takes back its transfers on the streams of
    // channels (under the mutex).
    void endUse(SessionStreams* record, uint64_t channels, nVOAPALS100::tStatus& status);
    // The record of list, or null (under the mutex).
    SessionStreams* find(const kdut::CleanupOperationComposite& list) const;
    // Unlinks record; false when it was not linked (under the mutex).
    bool unlink(SessionStreams* record);
    // Settles and takes back everything of record and frees it (its cleanup).
    void release(SessionStreams* record, nVOAPALS100::tStatus& status);
    // Removes a record that is no longer linked from its list and frees it.
    static void drop(SessionStreams* record);

    kelvo_driver::BrixelDMAControllers* provider_;
    uint32_t streamCount_;
    kdut::ResourceReservationManager* reservations_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    SessionStreams* sessions_ = nullptr;
};

} // namespace qeldma
