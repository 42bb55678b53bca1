// Scatter-gather links: the chains of links in host memory that the bridge's
// DMA channels walk.
//
// A link is a slot of DMA-visible memory (the chain's link size, at a
// 512-byte aligned bus address) that starts with a 16-byte header naming the
// next link, followed by packed entries, all little-endian:
//
//   header   +0 u32 next size (bytes of the next link to fetch, 0: none)
//            +4 u32 flags (bit 31 last link, bit 30 second link of a two-link ring)
//            +8 u64 next address (bus address of the next link, 0: none)
//   transfer +0 u32 byte count (never 0), +4 u32 0, +8 u64 bus address   (16 bytes)
//   self-configuration
//            +0 u32 data (replicated by byte depth), +4 u32 control: bit 31,
//               bits 27-28 size code, bits 0-26 local offset               (8 bytes)
//
// A walk tells the entries apart by the second word of each 8-byte slot:
// non-zero a self-configuration entry, zero a transfer entry.
//
// tBrixelSGL builds a chain head first; headers are written only when the
// chain is committed, so appending never touches a header the device may be
// reading. The chain and its links take no lock: their owner serialises.
#pragma once

#include <stdint.h>

#include "platform/dma_configuration.h"
#include "platform/dma_map.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

// Where a channel starts: the head link's bus address and the bytes of it to fetch.
struct tLinkInformation {
    uint64_t address;
    uint32_t size;
};

struct tHeaderData {
    uint32_t nextSize;
    uint32_t flags;
    uint64_t nextAddress;
};
static_assert(sizeof(tHeaderData) == 16);

struct tTransferLinkData {
    uint32_t byteCount;
    uint32_t type; // 0
    uint64_t address;
};
static_assert(sizeof(tTransferLinkData) == 16);

struct tSelfConfigLinkData {
    uint32_t data;
    uint32_t control;
};
static_assert(sizeof(tSelfConfigLinkData) == 8);

constexpr uint32_t kHeaderLastLink = 0x80000000u;
constexpr uint32_t kHeaderTwoLinkRing = 0x40000000u;
constexpr uint32_t kSelfConfigEntry = 0x80000000u;
constexpr uint32_t kSelfConfigLocalOffsetMask = 0x07FFFFFFu;
constexpr uint32_t kSelfConfigSizeReserved = 0x18000000u;
constexpr uint32_t kLinkAlignment = 512;
// The largest byte count of one transfer entry; a longer DMA segment is split.
constexpr uint32_t kMaxTransferEntryBytes = 0x80000000u;

struct tLinkMemorySegment {
    uint64_t address; // bus address
    uint64_t size;
};

// One link of a chain.
class tBrixelSGLChunkyLink : public tObject {
public:
    // Records all; unless the status is fatal the previous link's next
    // becomes this link and the link is empty with flags 0.
    tBrixelSGLChunkyLink(tBrixelSGLChunkyLink* previous, tLinkMemorySegment memory, uint8_t* virtualAddress,
                         nVOAPALS100::tStatus& status);

    // Appends a transfer entry; -52000 (link unchanged) when it does not fit.
    void addTransfer(uint64_t busAddress, uint32_t byteCount, nVOAPALS100::tStatus& status);
    // Appends a self-configuration entry and reports its offset in the link;
    // -52000 when it does not fit. Depths 0 and 3 get the reserved size code.
    void addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth, uint32_t& entryOffset,
                       nVOAPALS100::tStatus& status);
    // Writes next size and next address from the next link (0, 0 without one).
    void updateHeader();
    // The next link (its prev becomes this one); none marks this link the last.
    void setNext(tBrixelSGLChunkyLink* link);
    void setTwoLinkRingFlag();
    bool hasTwoLinkRingFlag() const;
    uint32_t flags() const;
    // Flags 0, empty, no neighbours.
    void reset();
    bool isEmpty() const { return used == sizeof(tHeaderData); }
    uint32_t capacity() const { return static_cast<uint32_t>(linkMemory.size); }
    uint32_t freeBytes() const { return capacity() - used; }
    uint32_t entryBytes() const { return used - sizeof(tHeaderData); }
    uint8_t* entries() const { return linkVirtualAddress + sizeof(tHeaderData); }

    // Entry movement; offsets count from the first entry.
    uint32_t findEntryBoundary(uint32_t offset) const;
    uint32_t copyEntriesTo(uint32_t sourceOffset, tBrixelSGLChunkyLink& destination, uint32_t maxBytes) const;
    void pullFromNext(uint32_t wantedUsed, tBrixelSGLChunkyLink* stop);
    void pullFromPrevious(uint32_t wantedUsed);

    uint32_t used = sizeof(tHeaderData);
    tBrixelSGLChunkyLink* prev;
    tBrixelSGLChunkyLink* next = nullptr;
    tLinkMemorySegment linkMemory;
    uint8_t* linkVirtualAddress;

private:
    // Size of the entry at offset (8 or 16).
    uint32_t entrySizeAt(uint32_t offset) const;
    void writeFlags(uint32_t value);
};

// A chain of links.
class tBrixelSGL : public tObject {
public:
    // A block of DMA memory carved into 512-byte aligned link slots.
    class tLinkMemory : public tObject {
    public:
        virtual ~tLinkMemory() = default;
        // bytesUsed grows by bytes, rounded up to the slot alignment.
        virtual uint64_t consume(uint64_t bytes);
        // The device sees what was written (store fence, prepare for DMA).
        virtual void commit() = 0;
        virtual void reset();

        uint64_t bytesUsed = 0;
        tLinkMemorySegment linkSeg{0, 0};
        uint8_t* kernelAddress = nullptr;
        tLinkMemory* next = nullptr; // older
    };

    // Link memory from the DMA configuration's buffers.
    class tDMALinkMemory : public tLinkMemory {
    public:
        tDMALinkMemory(const tDMAConfiguration& configuration, nVOAPALS100::tStatus& status);
        ~tDMALinkMemory() override;
        void commit() override;

        tPageList pageList;
        tStandardDMAMap map;

    private:
        const tDMAConfiguration& configuration_;
    };

    tBrixelSGL() = default;
    virtual ~tBrixelSGL();
    tBrixelSGL(const tBrixelSGL&) = delete;
    tBrixelSGL& operator=(const tBrixelSGL&) = delete;

    // Starts over with one empty head link (destroying what was there).
    void initialize(const tDMAConfiguration& configuration, uint32_t linkSize, nVOAPALS100::tStatus& status);
    tBrixelSGLChunkyLink* addLink(nVOAPALS100::tStatus& status);
    // A byte count of 0: -52005 and null.
    tBrixelSGLChunkyLink* appendTransfer(uint64_t busAddress, uint32_t byteCount,
                                         nVOAPALS100::tStatus& status, bool startNewLink);
    // One entry per segment of the loaded map (segments of kMaxTransferEntryBytes
    // or more are split); the first entry starts a new link when startNewLink.
    void addTransfer(tDMAMapCore& map, nVOAPALS100::tStatus& status, bool startNewLink = false);
    tBrixelSGLChunkyLink* appendSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth,
                                           nVOAPALS100::tStatus& status, bool startNewLink,
                                           uint32_t& entryOffset);
    void commitLinks();
    void terminate();
    void makeFinite();
    void closeRing();
    void closeTwoLinkRing();
    // A chain of one link is grown into two that hold its entries again and
    // again; a chain made continuous before gives up those copies first, so
    // that entries appended since follow the original ones exactly once.
    void makeContinuous(bool markTwoLinkRing, nVOAPALS100::tStatus& status);
    // Steps of makeContinuous.
    uint32_t compact();
    void balance();
    // Clears the flags of every link (before a committed chain is committed again).
    void clearFlags();
    void reset();
    void destroy();
    tLinkInformation getLinkInformation() const;
    virtual tLinkMemory* allocateLinkMemory(nVOAPALS100::tStatus& status);

    // Where the chain ends now, so that what is appended after can be taken back.
    struct tMark {
        tBrixelSGLChunkyLink* tail;
        tBrixelSGLChunkyLink* tailNext;
        uint32_t tailUsed;
        tLinkMemory* memory;
        uint64_t memoryUsed;
    };
    tMark mark() const;
    // Frees the links and link memory appended since mark and drops the
    // entries appended to its tail: the chain is as it was then. Appending
    // writes no header and no committed link, so nothing the device was
    // given changes.
    void rollBack(const tMark& mark);

    tBrixelSGLChunkyLink* head() const { return _head; }
    tBrixelSGLChunkyLink* tail() const { return _tail; }
    uint32_t linkSize() const { return linkSize_; }
    bool hasEntries() const { return _head != nullptr && !_head->isEmpty(); }

protected:
    uint32_t linkSize_ = 0;
    tBrixelSGLChunkyLink* _head = nullptr;
    tBrixelSGLChunkyLink* _tail = nullptr;
    const tDMAConfiguration* configuration_ = nullptr;
    tLinkMemory* linkMemories_ = nullptr; // newest first

private:
    // Frees the links after `from` up to the tail.
    void freeLinksAfter(tBrixelSGLChunkyLink* from);
    // Back to the one link of entries that makeContinuous repeated (entries
    // appended to its second link since stay, after the head's).
    void dropRingCopies();

    // What makeContinuous added to a chain of one link: the head's entry
    // bytes before, the second link and the bytes of copies at its start.
    struct tRingCopies {
        uint32_t headEntryBytes = 0;
        tBrixelSGLChunkyLink* link = nullptr;
        uint32_t linkCopyBytes = 0;
    };
    tRingCopies ringCopies_;
};

// Self-configuration control word of a byte depth: bit 31, size code, offset.
uint32_t selfConfigControl(uint32_t offset, uint32_t byteDepth);
// The datum replicated across the word by byte depth.
uint32_t selfConfigData(uint32_t data, uint32_t byteDepth);

} // namespace kelvo_driver::nVOAPAL000
