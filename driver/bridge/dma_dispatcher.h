// The DMA dispatcher: the one entry through which the I/O controls reach the
// DMA streams of a device. It turns a stream index into that stream's
// controllers and calls them in a fixed order.
//
// What a session leaves behind is kept in the session's record, the one
// cleanup operation the dispatcher registers with that session's list
// (before anything is tagged with it): the transfers it added, whoever added
// first; whether it added the first transfer into a stream's empty lists
// (its hold on the lists, which its clear gives up); and what it owes for the
// streams it started (the credits' stop, the stream's stop, the FIFO reset).
// A debt is owed for one start of the stream: each stream counts its starts
// and a debt remembers the start it was taken on for, so once the stream has
// been started again nobody owes the old start anything and settling it does
// nothing. A debt is settled when the session's own stop or clear succeeded;
// a failed step stays owed and is tried again at close. A stop or a clear
// that the session does not owe runs the hardware steps up to the first debt
// it does not hold, answers -52006 there and skips the rest. The record's
// cleanup runs what is still owed and held, the last taken on first, then
// takes back the session's transfers on every stream (stopping a stream that
// may be walking them), leaving the others'. Clearing a stream's transfers
// takes back everyone's there (the lists are the stream's). A record left
// owning nothing leaves its list and goes; a refused request leaves none
// behind. The bytes of user pages a session keeps locked, all streams
// together, are bounded by kMaxLockedBytesPerSession.
//
// The reservation of a stream's physical channel (DMA streams 0 and 1 are
// both on channel 0) gives its holder the streams: every stream operation of
// another session is refused with the already-reserved code (0xBFFA4319),
// and the grant ends the other sessions' use of the channel as their close
// would: their debts there are settled and their transfers taken back. So
// nothing another session set up before the grant or left registered stops,
// clears or redirects the holder's stream, and none of the holder's data
// lands in another session's buffer. One thing stays: an additive transfer
// count another session wrote is the stream circuit's (nothing withdraws
// it), so the holder's bytes to the device move up to it before the holder
// allows any.
//
// A session's wait on a stream's transfer count is let in only while the
// session holds the channel (looked at as it registers, under the DMA
// interrupt controller's mutex), and is a cleanup operation of the session
// while it runs: the session's cleanup, which gives the channel back, ends
// it with the cancel code and leaves the stream's wait to the next holder at
// once; so does a grant to another session (that cleanup may give the
// reservation back before it reaches the wait, when the reserve was listed
// after it).
//
// Each physical channel has a gate that orders the requests on its streams:
// a stream request passes it beside the others, a grant passes it alone,
// and each arrival waits for those before it (a waiting grant is not
// overtaken by later requests, nor a request by later grants). A grant
// therefore begins once the requests let in before it have ended and runs
// whole, one step: no request on the channel's streams, the holder's own
// included, runs while it settles and takes back the others' use; those
// that come meanwhile wait at the gate (holding no turn and no lock) and
// then run, or are refused. Alone at the gate, a grant looks again whether
// its holder still holds the channel by that reserve: a cleanup of the
// holder's may have given it back meanwhile, and another session taken it
// and set up its streams. A grant is due once per reservation: it runs for the reserve
// that gave the holder the channel (the reservation's number), either in
// the reserve's own request or, when one of the holder's stream requests
// got to the gate first, in that request before it goes on; the reserve's
// request then answers once that grant has ended, so nothing the holder
// does afterwards reaches what the grant has still to take back. The
// holder's record (made for the grant when it has none) is linked and
// pinned while the grant runs, so the holder's own cleanup or close waits
// for the grant. A record's cleanup passes no gate: what a grant does
// meanwhile to that record is what the cleanup does, each step under the
// stream's turn (the debt read and cleared under the dispatcher's mutex, so
// run once), and the record stays while the grant pins it.
//
// Each stream has a turn, a mutex held by one request (or one step of a
// grant or of a cleanup) across everything it does to that stream, hardware
// waits and the locking of user pages included; the reservation check is
// made under it. Nothing holds two turns at once, so a wait on one stream
// holds up only what needs that stream. The dispatcher's own mutex covers
// the bookkeeping only (the records, their debts, holds and pins, the start
// counts, the grants made, the bytes set aside for additions, the
// reservation check) and is never held across a wait, so one session's FIFO
// reset (10 ms) or stop holds up nobody on another stream. The records'
// counts of locked bytes change under the streams' turns and are read
// atomically. A record is pinned by each request and grant working with it;
// its cleanup waits for the pins to go before it drops it, holding no turn.
//
// Lock order: a session's cleanup list, a channel's gate, one stream's turn,
// the dispatcher's mutex, a stream controller's mutex, its SGL controller's
// mutex; the reservation manager's mutex after the dispatcher's; the DMA
// interrupt controller's waiters mutex after a session's cleanup list and a
// channel's gate, before the reservation manager's mutex. Nothing
// registers with a list or removes from one while holding a gate's pass or
// a turn. A record's cleanup runs with the session's cleanup list held (the
// list's cleanup calls it): its waits, for the turns and for the record's
// pins to go, are made there; a request or grant never waits for a list
// while it holds a pass.
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

// The physical channel of a stream, and its reservation mask.
constexpr uint32_t physicalChannelOf(uint32_t stream) {
    return stream >> 1;
}
constexpr uint64_t physicalChannelMask(uint32_t stream) {
    return uint64_t{1} << physicalChannelOf(stream);
}

// The arrivals at one physical channel, in order: shared passes (stream
// requests, cleanups) run side by side, a pass alone (a grant) runs with no
// other. An arrival waits, holding nothing else of the gate, while an
// earlier one alone runs or waits; one alone waits for the shared passes let
// in before it to end. Not usable until initialize succeeded.
class ChannelGate {
public:
    ChannelGate() = default;
    ~ChannelGate();
    ChannelGate(const ChannelGate&) = delete;
    ChannelGate& operator=(const ChannelGate&) = delete;

    // -52000 when the records cannot be had.
    void initialize(nVOAPALS100::tStatus& status);
    void enterShared();
    void leaveShared();
    void enterAlone();
    void leaveAlone();

private:
    // One unit: whoever holds it is the next to be let in (or alone);
    // arrivals queue for it in order.
    nVOAPAL200_tSemaphore order_{};
    // The last shared pass left while one alone waits (auto-reset).
    nVOAPAL200_tEvent drained_{};
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    uint32_t shared_ = 0;     // passes inside (under the mutex)
    bool aloneWaits_ = false; // one alone waits for them (under the mutex)
    bool usable_ = false;
};

// What one session left on the streams: its transfers (tagged with it), its
// hold on the lists and its debts. It is the cleanup operation that settles
// and takes back all of them.
class SessionStreams : public kdut::CleanupOperationInterface {
public:
    SessionStreams(DMADispatcher& dispatcher, kdut::CleanupOperationComposite& list)
        : dispatcher_(dispatcher), list_(list) {}
    ~SessionStreams() override;
    SessionStreams(const SessionStreams&) = delete;
    SessionStreams& operator=(const SessionStreams&) = delete;
    void cleanup(nVOAPALS100::tStatus& status) override;

    uint64_t lockedBytes() const;

private:
    friend class DMADispatcher;

    // The steps owed for a start, in the order a start takes them on; a stop
    // and a close run them the other way round (the credits' stop first).
    enum Debt : uint8_t { kFifoReset = 0, kStreamStop = 1, kCreditStop = 2, kDebts = 3 };
    static constexpr uint8_t bit(Debt debt) { return static_cast<uint8_t>(1u << debt); }
    struct Owed {
        bool owed = false;
        uint64_t start = 0; // the stream's start it is owed for
        uint64_t taken = 0; // when it was taken on (the record's count)
    };
    struct Stream {
        brixeltools::tTransferOwner transfers;
        Owed debts[kDebts];
        bool holdsLists = false; // added the first transfer into the stream's empty lists
    };

    uint64_t lockedBytes(uint32_t stream) const;

    DMADispatcher& dispatcher_;
    kdut::CleanupOperationComposite& list_;
    Stream streams_[kelvo_driver::BrixelDMAControllers::kNumberOfChannels];
    uint64_t taken_ = 0;  // debts taken on so far
    uint64_t adding_ = 0; // locked bytes set aside for additions under way
    SessionStreams* next_ = nullptr;
    // Requests and grants working with the record (it does not go while any
    // do); its cleanup waits on unpinned_ for the last to go.
    uint32_t pins_ = 0;
    bool waiting_ = false;
    nVOAPAL200_tEvent unpinned_{};
    // Its cleanup runs: requests of the session no longer find it.
    bool closing_ = false;
    // Run while registered but not linked: the session's list was cleaned up
    // (and may have forgotten it) before it owned anything.
    bool cleanedUp_ = false;
};

class DMADispatcher : public kelvo_driver::nVOAPAL000::tObject {
public:
    // streamCount: at most the controller set's channels. reservations: the
    // device's (null: no stream is ever reserved). The mutexes: -52000 when
    // they cannot be had.
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
    // owed for this start; on success the credits start and their stop is
    // owed too.
    void startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                  nVOAPALS100::tStatus& status);
    // The credits' stop (when the stream has credits), the stream's stop,
    // the FIFO reset, each followed by the settling of its debt: a debt the
    // session does not owe is -52006 and the steps after it are skipped; a
    // step that fails stays owed and the steps after it are skipped.
    void stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // size 0: -52019; kind above 1: -52005; more locked bytes than the
    // session may still lock: -52000. The transfer belongs to the calling
    // session, which holds the lists when they were empty before; a refused
    // one leaves nothing.
    void addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream, uint32_t kind,
                     uint64_t address, uint64_t size, uint32_t direction, uint32_t value,
                     kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    void writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count,
                                          kdut::CleanupOperationComposite& list,
                                          nVOAPALS100::tStatus& status);
    // 0 on an error.
    uint64_t getTransferCount(uint32_t stream, kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // Takes back every transfer of the stream (0xBFFA806E while it runs:
    // nothing changes); then -52006 unless the session held the lists, which
    // it no longer does.
    void clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // When the stream has credits: stops them and settles their debt (-52006
    // when the session does not owe it: no FIFO reset then). Then resets the
    // FIFO.
    void clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                              nVOAPALS100::tStatus& status);
    // The DMA interrupt controller's wait on the stream's transfer count
    // (its answers), for a session that holds the stream's channel (the
    // not-reserved code, 0xBFFA431A, otherwise). The wait is a cleanup
    // operation of the session while it runs: the session's cleanup, which
    // gives the channel back, ends it with the cancel code (0xBFFA40E4) and
    // leaves the stream's wait to the next holder at once.
    void waitUntilBytesTransferred(uint32_t stream, uint64_t start, uint64_t bytes, uint32_t timeout,
                                   kdut::CleanupOperationComposite& list, bool* timedOut,
                                   nVOAPALS100::tStatus& status);
    // Starts the credits when the stream has them; their stop is owed.
    void startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                           nVOAPALS100::tStatus& status);
    // The session of holder was granted channels: for each of them, once
    // the requests let in before have ended and alone on it, every other
    // session's debts on its streams are settled and its transfers there
    // taken back, as its close would (its record stays for its own close),
    // unless that grant was made already (by one of the holder's requests)
    // or the holder no longer holds the channel. Nothing when the channels
    // hold no stream. What fails there is the other sessions' loss, as at
    // their close: the holder is not told.
    void claim(uint64_t channels, kdut::CleanupOperationComposite& holder);

    bool checkStreamIndex(uint32_t stream, nVOAPALS100::tStatus& status) const;

private:
    friend class SessionStreams;
    class Turn;
    using Debt = SessionStreams::Debt;

    // No other session holds the stream's channel (the already-reserved code).
    bool notHeldElsewhere(uint32_t stream, const kdut::CleanupOperationComposite& list,
                          nVOAPALS100::tStatus& status);
    // The debts record owes on stream for its current start, as bits (under
    // the mutex, or the stream's turn: then they stay).
    uint8_t owes(const SessionStreams* record, uint32_t stream) const;
    // Takes on debts (bits) for the stream's current start (under the mutex).
    void owe(SessionStreams* record, uint32_t stream, uint8_t debts);
    // Runs one step owed on a stream with a fresh status merged into status.
    void runStep(uint32_t stream, Debt debt, nVOAPALS100::tStatus& status);
    // The credits' stop when the stream has credits: false (-52006 set) when
    // they stopped but the session did not owe it; settled in *settled.
    bool stopCredits(uint32_t stream, uint8_t owed, uint8_t* settled, nVOAPALS100::tStatus& status);
    // A step of a stop or a clear succeeded: false (-52006 set) when the
    // session did not owe it; settled in *settled.
    static bool settleStep(uint8_t owed, Debt debt, uint8_t* settled, nVOAPALS100::tStatus& status);
    // The record's next debt on the streams of channels, the last taken on
    // first (under the mutex), among those taken on before before (any when
    // 0): false when it owes nothing there. Debts of an earlier start are
    // forgotten on the way.
    bool nextDebt(SessionStreams* record, uint64_t channels, uint64_t before, uint32_t* stream, Debt* debt);
    // Whether the record owes, holds lists or has transfers anywhere (under the mutex).
    bool holdsAnything(const SessionStreams* record);
    // Whether the session of holder holds channel by a reserve whose grant
    // has not been made yet; *generation that reserve's number (under the
    // mutex).
    bool grantDue(const kdut::CleanupOperationComposite& holder, uint32_t channel, uint64_t* generation);
    // The grant of channel for holder when it is due, alone at the channel's
    // gate (holding nothing else on entry). registerWith: the holder's list,
    // to make and link its record for the grant when it has none.
    void grant(uint32_t channel, const kdut::CleanupOperationComposite& holder,
               kdut::CleanupOperationComposite* registerWith);
    // Runs what record owes on the streams of channels, the last taken on
    // first, each step with a fresh status merged into status and under its
    // stream's turn, taken for the step. keepFailed (a grant): a step that
    // fails stays owed, for the session's cleanup or close to try again.
    void payDebts(SessionStreams* record, uint64_t channels, bool keepFailed, nVOAPALS100::tStatus& status);
    // Takes back record's transfers on stream and its hold on the lists
    // there (under the stream's turn).
    void takeBack(SessionStreams* record, uint32_t stream, nVOAPALS100::tStatus& status);
    // Settles what record owes on the streams of channels and takes back its
    // transfers and holds there, each stream's part under its turn alone
    // (it is pinned, or its cleanup runs), with the channels' gates passed.
    void endUse(SessionStreams* record, uint64_t channels, bool keepFailed, nVOAPALS100::tStatus& status);
    // A new record for the session of list, registered with it (outside every
    // lock, before anything is tagged with it); null (status set) when it
    // cannot be had.
    SessionStreams* makeRecord(kdut::CleanupOperationComposite& list, nVOAPALS100::tStatus& status);
    // The record of list, linking made (set to null then) when it has none
    // and made may still be linked; pinned (under the mutex). Null when
    // neither.
    SessionStreams* pinRecord(const kdut::CleanupOperationComposite& list, SessionStreams*& made);
    // One pin less on record; the record when that left it unpinned, not
    // closing and holding nothing: unlinked, its dropper's (under the mutex).
    SessionStreams* unpinLeavingEmpty(SessionStreams* record);
    // One request or grant less works with record (under the mutex).
    void unpin(SessionStreams* record);
    // Once nothing pins record: unlinks it when it owes nothing and has no
    // transfers left, and says so (its cleanup's last step).
    bool unlinkOnceUnpinned(SessionStreams* record);
    // The record of list, or null; one that is closing is not found (under the mutex).
    SessionStreams* find(const kdut::CleanupOperationComposite& list) const;
    // Unlinks record; false when it was not linked (under the mutex).
    bool unlink(SessionStreams* record);
    // Settles and takes back everything of record and frees it (its cleanup).
    void release(SessionStreams* record, nVOAPALS100::tStatus& status);
    // Removes a record that is no longer linked from its list and frees it.
    static void drop(SessionStreams* record);
    // The channels of the streams (a claim of others touches nothing here).
    uint64_t streamChannels() const;

    kelvo_driver::BrixelDMAControllers* provider_;
    uint32_t streamCount_;
    kdut::ResourceReservationManager* reservations_;
    static constexpr uint32_t kStreams = kelvo_driver::BrixelDMAControllers::kNumberOfChannels;
    static constexpr uint32_t kPhysicalChannels = physicalChannelOf(kStreams - 1) + 1;

    kelvo_driver::nVOAPAL000::tMutex mutex_;
    // Each physical channel's gate and the number of the reserve whose grant
    // was made last there (under the mutex).
    ChannelGate gates_[kPhysicalChannels];
    uint64_t granted_[kPhysicalChannels] = {};
    // Each stream's turn and its starts so far (under the turn and the mutex).
    kelvo_driver::nVOAPAL000::tMutex turns_[kStreams];
    uint64_t starts_[kStreams] = {};
    SessionStreams* sessions_ = nullptr;
};

} // namespace qeldma
