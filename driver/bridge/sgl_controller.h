// The scatter-gather lists of one DMA channel and the controller that fills
// them from user buffers.
//
// A finite list runs once and ends with a last link; a continuous list is a
// ring the channel loops over while the stream runs. With both, the finite
// list runs first and its last link leads into the ring (the head link of
// the stream is the finite list's).
//
// The controller locks each user buffer's pages, maps them for DMA and lists
// the segments repeat-count times. Committed link memory and mapped user
// pages are never freed, moved or rewritten while the channel of the attached
// stream transfers: commit and clearTransfers answer 0xBFFA806E then, and the
// session cleanup and the destructor stop the stream first (resetting the
// channel when the stop fails). Lock order: the stream's mutex, then the
// controller's.
#pragma once

#include <stdint.h>

#include "bridge/brixel_sgl.h"
#include "framework/cleanup_operation.h"
#include "kelvo/ioctl.h"
#include "platform/dma_configuration.h"
#include "platform/dma_map.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace brixeltools {

class BrixelDMAStreamController;

enum SGLType : uint32_t {
    kSGLTypeFinite = 0,
    kSGLTypeContinuous = 1,
};

enum TransferDirection : uint32_t {
    kHostToDevice = 0,
    kDeviceToHost = 1,
    kEitherDirection = 2,
};

// Bounds of user input, as kelvo/ioctl.h states them for user mode.
constexpr uint64_t kMaxTransferBytes = KELVO_DMA_MAX_TRANSFER_BYTES;
constexpr uint64_t kMaxEntriesPerList = KELVO_DMA_MAX_ENTRIES_PER_LIST;

constexpr int64_t kRepeatCountZero = KELVO_STATUS_REPEAT_COUNT_ZERO;
constexpr int64_t kDirectionMismatch = KELVO_STATUS_UNSUPPORTED_OPERATION;
constexpr int64_t kStreamRunning = KELVO_STATUS_STREAM_RUNNING;

// The channel direction: channel 0 device to host, channel 1 host to device.
// The channel must be 0 or 1.
inline uint32_t getDMAChannelTransferDirection(uint32_t channel) {
    VOSDBG_ASSERT_CMP(channel, <, 2u);
    return ~channel & 1;
}

class FiniteSGL : public kelvo_driver::nVOAPAL000::tBrixelSGL {
public:
    ~FiniteSGL() override;
    void initialize(const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration, uint32_t linkSize,
                    nVOAPALS100::tStatus& status);
    void uninitialize();
    void addTransfer(kelvo_driver::nVOAPAL000::tDMAMapCore& map, nVOAPALS100::tStatus& status,
                     bool startNewLink);
    void addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth, nVOAPALS100::tStatus& status,
                       bool startNewLink);
    // Headers only: no last link.
    void commit(nVOAPALS100::tStatus& status);
    void makeFinite(nVOAPALS100::tStatus& status);
    void connect(kelvo_driver::nVOAPAL000::tBrixelSGL& continuous, nVOAPALS100::tStatus& status);
    void disconnect();
    bool isEmpty() const { return !hasEntries(); }
    operator kelvo_driver::nVOAPAL000::tLinkInformation() const { return getLinkInformation(); }
    bool isConnected() const { return sglConnected_; }

private:
    bool sglConnected_ = false;
};

class ContinuousSGL : public kelvo_driver::nVOAPAL000::tBrixelSGL {
public:
    void initialize(const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration, uint32_t linkSize,
                    nVOAPALS100::tStatus& status);
    void uninitialize() { destroy(); }
    void addTransfer(kelvo_driver::nVOAPAL000::tDMAMapCore& map, nVOAPALS100::tStatus& status,
                     bool startNewLink);
    void addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth, nVOAPALS100::tStatus& status,
                       bool startNewLink);
    kelvo_driver::nVOAPAL000::tBrixelSGLChunkyLink* getHeadOfList() const;
    bool isEmpty() const { return !hasEntries(); }
    operator kelvo_driver::nVOAPAL000::tLinkInformation() const { return getLinkInformation(); }
};

// The two lists of one stream.
class FiniteAndContinuousSGL {
public:
    FiniteAndContinuousSGL(FiniteSGL& finite, ContinuousSGL& continuous, bool finiteLeftOpen = false)
        : finiteSGLRef(finite), continuousSGLRef(continuous), finiteLeftOpen_(finiteLeftOpen) {}

    void initialize(const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration, uint32_t linkSize,
                    nVOAPALS100::tStatus& status);
    // Type 0 to the finite list (the continuous list must be empty), 1 to the
    // continuous list; others add nothing. A list committed before gets the
    // new entries in fresh links.
    void addTransfer(uint32_t type, kelvo_driver::nVOAPAL000::tDMAMapCore& map, nVOAPALS100::tStatus& status);
    // The finite list's head when it has entries, else the continuous list's.
    operator kelvo_driver::nVOAPAL000::tLinkInformation() const;
    // Commits as the lists' contents say; an unchanged pair committed before: nothing.
    void commit(nVOAPALS100::tStatus& status);
    bool isEmpty() const { return finiteSGLRef.isEmpty() && continuousSGLRef.isEmpty(); }
    // Whether a commit connected the finite list to the continuous one.
    bool isConnected() const { return finiteSGLRef.isConnected(); }
    void forgetCommit() { committed_ = false; }

    // Both lists' ends, to take back what a failed addition appended.
    struct tMark {
        kelvo_driver::nVOAPAL000::tBrixelSGL::tMark finite;
        kelvo_driver::nVOAPAL000::tBrixelSGL::tMark continuous;
        bool committed;
    };
    tMark mark() const { return {finiteSGLRef.mark(), continuousSGLRef.mark(), committed_}; }
    void rollBack(const tMark& mark);

    FiniteSGL& finiteSGLRef;
    ContinuousSGL& continuousSGLRef;

private:
    bool finiteLeftOpen_;
    bool committed_ = false;
};

// Who added transfers to a channel: the bytes of user pages that its
// transfers keep locked there (0 when it has none). The controller keeps the
// count under its mutex; the owner's keeper may read it at any time (a
// release on one channel may run beside an addition on the other).
struct tTransferOwner {
    uint64_t locked() const { return __atomic_load_n(&lockedBytes, __ATOMIC_ACQUIRE); }
    void add(uint64_t bytes) { __atomic_fetch_add(&lockedBytes, bytes, __ATOMIC_ACQ_REL); }
    void take(uint64_t bytes) { __atomic_fetch_sub(&lockedBytes, bytes, __ATOMIC_ACQ_REL); }

    uint64_t lockedBytes = 0;
};

// The bytes of whole pages that a buffer of size bytes at address spans
// (size at most kMaxTransferBytes).
uint64_t lockedBytesOf(uint64_t address, uint64_t size);

// One user buffer locked and mapped for the channel.
struct tTransferRecord : public kelvo_driver::nVOAPAL000::tObject {
    tTransferRecord(const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration,
                    nVOAPALS100::tStatus& status)
        : map(configuration, status) {}
    kelvo_driver::nVOAPAL000::tStandardDMAMap map;
    kelvo_driver::nVOAPAL000::tPageList pageList;
    tTransferOwner* owner = nullptr;
    uint32_t type = kSGLTypeFinite;
    uint32_t repeatCount = 1;
    uint64_t entries = 0; // of one listing
    uint64_t lockedBytes = 0;
    tTransferRecord* next = nullptr;
};

class SGLController : public kdut::CleanupOperationInterface {
public:
    // stream: the stream controller of the same channel (may be null: then
    // nothing guards committed memory against a running channel).
    SGLController(const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration, uint32_t linkSize,
                  uint32_t direction, nVOAPALS100::tStatus& status,
                  BrixelDMAStreamController* stream = nullptr);
    ~SGLController() override;
    SGLController(const SGLController&) = delete;
    SGLController& operator=(const SGLController&) = delete;

    // Stops the stream (resetting the channel when the stop fails), then
    // returns to the freshly constructed state: every transfer released.
    void cleanup(nVOAPALS100::tStatus& status) override;
    // Errors: repeat count 0 0xBFFA806C; a direction that does not fit
    // 0xBFFA806F; a size of 0, a range that wraps, more than
    // kMaxTransferBytes, more than kMaxEntriesPerList entries in the list, a
    // finite transfer after a continuous one or any transfer after a commit
    // that connected both lists: -52005; pages that cannot be locked -52001;
    // more locked bytes (lockedBytesOf) than allowance: -52000; a map or
    // link memory that cannot be had: -52000. A refused transfer leaves
    // nothing behind: no record, no locked page, no entry. The transfer
    // belongs to owner (none: to nobody), whose count it adds to.
    virtual void addTransfer(uint32_t type, const kelvo_driver::nVOAPAL000::tUserBuffer& buffer,
                             uint32_t direction, uint32_t repeatCount, nVOAPALS100::tStatus& status,
                             tTransferOwner* owner = nullptr, uint64_t allowance = UINT64_MAX);
    // Takes back every transfer of owner: when it has any, the stream stops
    // first (the channel is reset when the stop fails), then the lists are
    // built again from the transfers of the others, in their order (they
    // run again from the next start). Lists that cannot be built again are
    // cleared with every transfer (the status says why).
    void releaseOwner(tTransferOwner* owner, nVOAPALS100::tStatus& status);
    // Forgets the owners of every transfer (their keeper goes first).
    void disownAll();
    // Releases every transfer record (the links stay).
    virtual void clear();
    // Back to the freshly constructed state; 0xBFFA806E while the stream runs.
    void clearTransfers(nVOAPALS100::tStatus& status);
    // The pair's commit; 0xBFFA806E while the stream runs.
    void commit(nVOAPALS100::tStatus& status);
    // Commits and starts the attached stream at the head link: no transfers
    // -52005, a running stream 0xBFFA806E. True when the channel was started
    // (whether or not the start then succeeded).
    bool commitAndStart(bool flag, nVOAPALS100::tStatus& status);
    bool isEmpty() const { return transfers_ == nullptr; }
    kdut::CleanupOperationInterface* getCleanupOperation() { return this; }
    FiniteAndContinuousSGL& getSGL() { return pair_; }
    uint32_t direction() const { return direction_; }
    uint64_t entryCount(uint32_t type) const {
        return type == kSGLTypeFinite ? finiteEntries_ : continuousEntries_;
    }

private:
    // Stops the attached stream with a fresh status merged into status; a
    // failed stop resets the channel. Under the stream's mutex.
    void stopStream(nVOAPALS100::tStatus& status);
    void reinitialize(nVOAPALS100::tStatus& status); // under the mutex
    // The lists again from the records (under the mutex); -52000 clears all.
    void rebuild(nVOAPALS100::tStatus& status);
    // Unloads, unlocks and frees one record that is in no list, taking its bytes from its owner.
    static void release(tTransferRecord* record);

    kelvo_driver::nVOAPAL000::tMutex mutex_;
    const kelvo_driver::nVOAPAL000::tDMAConfiguration& configuration_;
    uint32_t linkSize_;
    tTransferRecord* transfers_ = nullptr;
    tTransferRecord* lastTransfer_ = nullptr;
    FiniteSGL finite_;
    ContinuousSGL continuous_;
    FiniteAndContinuousSGL pair_;
    uint32_t direction_;
    BrixelDMAStreamController* stream_;
    uint64_t finiteEntries_ = 0;
    uint64_t continuousEntries_ = 0;
};

} // namespace brixeltools
