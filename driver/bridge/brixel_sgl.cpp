#include "bridge/brixel_sgl.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kHeaderBytes = sizeof(tHeaderData);
constexpr uint32_t kSizeBits[5] = {0x18000000u, 0x00000000u, 0x08000000u, 0x18000000u, 0x10000000u};

uint32_t load32(const uint8_t* at) {
    uint32_t value;
    nVOAPAL200_copyMemory(&value, at, sizeof value);
    return value;
}

void store32(uint8_t* at, uint32_t value) {
    nVOAPAL200_copyMemory(at, &value, sizeof value);
}

void store64(uint8_t* at, uint64_t value) {
    nVOAPAL200_copyMemory(at, &value, sizeof value);
}

} // namespace

uint32_t selfConfigControl(uint32_t offset, uint32_t byteDepth) {
    const uint32_t size = byteDepth < 5 ? kSizeBits[byteDepth] : kSelfConfigSizeReserved;
    return kSelfConfigEntry | size | (offset & kSelfConfigLocalOffsetMask);
}

uint32_t selfConfigData(uint32_t data, uint32_t byteDepth) {
    if (byteDepth == 1) {
        VOSDBG_ASSERT(data <= 0xFF);
        return data << 24 | data << 16 | data << 8 | data;
    }
    if (byteDepth == 2) {
        VOSDBG_ASSERT(data <= 0xFFFF);
        return data << 16 | data;
    }
    return data;
}

// ---- tBrixelSGLChunkyLink ---------------------------------------------------------

tBrixelSGLChunkyLink::tBrixelSGLChunkyLink(tBrixelSGLChunkyLink* previous, tLinkMemorySegment memory,
                                           uint8_t* virtualAddress, tStatus& status)
    : prev(previous), linkMemory(memory), linkVirtualAddress(virtualAddress) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT(memory.size >= 2 * uint64_t{kHeaderBytes} && memory.size <= 0xFFFFFFFFu);
    if (previous != nullptr) {
        previous->next = this;
    }
    used = kHeaderBytes;
    writeFlags(0);
}

uint32_t tBrixelSGLChunkyLink::flags() const {
    return load32(linkVirtualAddress + 4);
}

void tBrixelSGLChunkyLink::writeFlags(uint32_t value) {
    store32(linkVirtualAddress + 4, value);
}

void tBrixelSGLChunkyLink::addTransfer(uint64_t busAddress, uint32_t byteCount, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (freeBytes() < sizeof(tTransferLinkData)) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    const tTransferLinkData entry{byteCount, 0, busAddress};
    nVOAPAL200_copyMemory(linkVirtualAddress + used, &entry, sizeof entry);
    used += sizeof entry;
}

void tBrixelSGLChunkyLink::addSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth,
                                         uint32_t& entryOffset, tStatus& status) {
    entryOffset = 0;
    if (status.isFatal()) {
        return;
    }
    if (freeBytes() < sizeof(tSelfConfigLinkData)) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    entryOffset = used;
    const tSelfConfigLinkData entry{selfConfigData(data, byteDepth), selfConfigControl(offset, byteDepth)};
    nVOAPAL200_copyMemory(linkVirtualAddress + used, &entry, sizeof entry);
    used += sizeof entry;
}

void tBrixelSGLChunkyLink::updateHeader() {
    store32(linkVirtualAddress, next != nullptr ? next->used : 0);
    store64(linkVirtualAddress + 8, next != nullptr ? next->linkMemory.address : 0);
}

void tBrixelSGLChunkyLink::setNext(tBrixelSGLChunkyLink* link) {
    next = link;
    if (link != nullptr) {
        link->prev = this;
    } else {
        writeFlags(flags() | kHeaderLastLink);
    }
}

void tBrixelSGLChunkyLink::setTwoLinkRingFlag() {
    writeFlags(flags() | kHeaderTwoLinkRing);
}

bool tBrixelSGLChunkyLink::hasTwoLinkRingFlag() const {
    return (flags() & kHeaderTwoLinkRing) != 0;
}

void tBrixelSGLChunkyLink::reset() {
    writeFlags(0);
    used = kHeaderBytes;
    prev = nullptr;
    next = nullptr;
}

uint32_t tBrixelSGLChunkyLink::entrySizeAt(uint32_t offset) const {
    return load32(entries() + offset + 4) != 0 ? sizeof(tSelfConfigLinkData) : sizeof(tTransferLinkData);
}

uint32_t tBrixelSGLChunkyLink::findEntryBoundary(uint32_t offset) const {
    offset &= ~7u;
    if (offset == 0) {
        return 0;
    }
    const uint32_t slot = offset - 8;
    if (load32(entries() + slot + 4) != 0) {
        return offset;
    }
    uint32_t walk = 0;
    while (walk < slot) {
        walk += entrySizeAt(walk);
    }
    return walk == slot ? slot : offset;
}

uint32_t tBrixelSGLChunkyLink::copyEntriesTo(uint32_t sourceOffset, tBrixelSGLChunkyLink& destination,
                                             uint32_t maxBytes) const {
    VOSDBG_ASSERT(sourceOffset % 8 == 0);
    const uint32_t available = entryBytes();
    if (sourceOffset >= available) {
        return 0;
    }
    if (maxBytes > destination.freeBytes()) {
        maxBytes = destination.freeBytes();
    }
    uint32_t count = available - sourceOffset;
    if (maxBytes < count) {
        count = findEntryBoundary(sourceOffset + maxBytes) - sourceOffset;
    }
    nVOKAL180_memMove(destination.linkVirtualAddress + destination.used, entries() + sourceOffset, count);
    destination.used += count;
    return count;
}

void tBrixelSGLChunkyLink::pullFromNext(uint32_t wantedUsed, tBrixelSGLChunkyLink* stop) {
    for (tBrixelSGLChunkyLink* from = next;
         used < wantedUsed && from != nullptr && from != stop && from != this; from = from->next) {
        const uint32_t moved = from->copyEntriesTo(0, *this, wantedUsed - used);
        const uint32_t left = from->entryBytes() - moved;
        nVOKAL180_memMove(from->entries(), from->entries() + moved, left);
        from->used -= moved;
        if (!from->isEmpty()) {
            return;
        }
    }
}

void tBrixelSGLChunkyLink::pullFromPrevious(uint32_t wantedUsed) {
    if (prev == nullptr || wantedUsed <= used) {
        return;
    }
    const uint32_t need = wantedUsed - used;
    const uint32_t available = prev->entryBytes();
    uint32_t start = 0;
    if (need < available) {
        start = prev->findEntryBoundary(available - need);
        if (start < available - need) {
            start += prev->entrySizeAt(start);
        }
    }
    const uint32_t taken = available - start;
    if (taken == 0) {
        return;
    }
    VOSDBG_ASSERT(taken <= freeBytes());
    nVOKAL180_memMove(entries() + taken, entries(), entryBytes());
    nVOAPAL200_copyMemory(entries(), prev->entries() + start, taken);
    prev->used -= taken;
    used += taken;
}

// ---- tLinkMemory ------------------------------------------------------------------

uint64_t tBrixelSGL::tLinkMemory::consume(uint64_t bytes) {
    bytesUsed = (bytesUsed + bytes + kLinkAlignment - 1) & ~static_cast<uint64_t>(kLinkAlignment - 1);
    VOSDBG_ASSERT(bytesUsed <= linkSeg.size);
    return bytesUsed;
}

void tBrixelSGL::tLinkMemory::reset() {
    bytesUsed = 0;
    next = nullptr;
}

tBrixelSGL::tDMALinkMemory::tDMALinkMemory(const tDMAConfiguration& configuration, tStatus& status)
    : map(configuration, status), configuration_(configuration) {}

tBrixelSGL::tDMALinkMemory::~tDMALinkMemory() {
    if (map.isLoaded()) {
        map.completeDMA(tDMAMapCore::kAllBytes);
        map.unload();
    }
    if (kernelAddress != nullptr) {
        const uint64_t page = nVOKAL100_getPageSize();
        nVOKAL220_tPageList_unmapFromKernel(pageList.handle, kernelAddress - pageList.offset % page);
        kernelAddress = nullptr;
    }
    configuration_.freeDMABuffer(pageList);
}

void tBrixelSGL::tDMALinkMemory::commit() {
    // Store fence (x86-64): the link writes are globally visible before the device is told.
    __asm__ __volatile__("sfence" ::: "memory");
    map.prepareForDMA();
}

// ---- tBrixelSGL --------------------------------------------------------------------

tBrixelSGL::~tBrixelSGL() {
    destroy();
}

tBrixelSGL::tLinkMemory* tBrixelSGL::allocateLinkMemory(tStatus& status) {
    auto* memory = new (status, false) tDMALinkMemory(*configuration_, status);
    if (memory == nullptr) {
        return nullptr;
    }
    const uint32_t page = nVOKAL100_getPageSize();
    const uint32_t size = (linkSize_ + page - 1) / page * page;
    configuration_->allocateDMABuffer(memory->pageList, size, 5, status, kLinkAlignment);
    if (status.isNotFatal()) {
        const uint64_t first = memory->pageList.offset / page;
        const uint64_t count = (memory->pageList.offset % page + memory->pageList.size + page - 1) / page;
        auto* mapping = static_cast<uint8_t*>(
            nVOKAL220_tPageList_mapToKernel(memory->pageList.handle, first, count, page));
        if (mapping == nullptr) {
            KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        } else {
            memory->kernelAddress = mapping + memory->pageList.offset % page;
        }
    }
    memory->map.load(memory->pageList, 0, size, tDMAMapCore::kHostToDevice, status);
    if (status.isNotFatal()) {
        memory->map.resetSGLIterator();
        const tDMAMapCore::tSegment segment = memory->map.nextSGLSegment();
        memory->linkSeg = {segment.address, segment.size};
    }
    return memory;
}

void tBrixelSGL::initialize(const tDMAConfiguration& configuration, uint32_t linkSize, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    destroy();
    VOSDBG_ASSERT(linkSize >= 2 * kHeaderBytes);
    configuration_ = &configuration;
    linkSize_ = linkSize;
    _head = addLink(status);
}

tBrixelSGLChunkyLink* tBrixelSGL::addLink(tStatus& status) {
    if (configuration_ == nullptr) {
        KELVO_SET_STATUS(status, KELVO_STATUS_NO_DMA_CONFIGURATION);
    }
    if (status.isFatal()) {
        return nullptr;
    }
    tLinkMemory* memory = linkMemories_;
    if (memory == nullptr || memory->linkSeg.size - memory->bytesUsed < linkSize_) {
        memory = allocateLinkMemory(status);
        if (status.isFatal()) {
            deleteObject(memory);
            return nullptr;
        }
        VOSDBG_ASSERT(memory->linkSeg.size >= linkSize_);
        memory->next = linkMemories_;
        linkMemories_ = memory;
    }
    const tLinkMemorySegment slot{memory->linkSeg.address + memory->bytesUsed, linkSize_};
    auto* link = new (status, false)
        tBrixelSGLChunkyLink(_tail, slot, memory->kernelAddress + memory->bytesUsed, status);
    if (link == nullptr) {
        return nullptr;
    }
    if (status.isFatal()) {
        deleteObject(link);
        return nullptr;
    }
    memory->consume(linkSize_);
    if (_head == nullptr) {
        _head = link;
    }
    _tail = link;
    return link;
}

tBrixelSGLChunkyLink* tBrixelSGL::appendTransfer(uint64_t busAddress, uint32_t byteCount, tStatus& status,
                                                 bool startNewLink) {
    if (status.isFatal()) {
        return nullptr;
    }
    if (byteCount == 0) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return nullptr;
    }
    if (startNewLink && !_tail->isEmpty() && addLink(status) == nullptr) {
        return nullptr;
    }
    tStatus full;
    _tail->addTransfer(busAddress, byteCount, full);
    if (full.isFatal()) {
        if (addLink(status) == nullptr) {
            return nullptr;
        }
        _tail->addTransfer(busAddress, byteCount, status);
    }
    return _tail;
}

tBrixelSGLChunkyLink* tBrixelSGL::appendSelfConfig(uint32_t offset, uint32_t data, uint32_t byteDepth,
                                                   tStatus& status, bool startNewLink,
                                                   uint32_t& entryOffset) {
    entryOffset = 0;
    if (status.isFatal()) {
        return nullptr;
    }
    if (startNewLink && !_tail->isEmpty() && addLink(status) == nullptr) {
        return nullptr;
    }
    tStatus full;
    _tail->addSelfConfig(offset, data, byteDepth, entryOffset, full);
    if (full.isFatal()) {
        if (addLink(status) == nullptr) {
            return nullptr;
        }
        _tail->addSelfConfig(offset, data, byteDepth, entryOffset, status);
    }
    return _tail;
}

void tBrixelSGL::addTransfer(tDMAMapCore& map, tStatus& status, bool startNewLink) {
    while (status.isNotFatal() && map.moreSGLSegments()) {
        const tDMAMapCore::tSegment segment = map.nextSGLSegment();
        for (uint64_t done = 0; status.isNotFatal() && done < segment.size;) {
            const uint64_t left = segment.size - done;
            const uint32_t entryBytes =
                left < kMaxTransferEntryBytes ? static_cast<uint32_t>(left) : kMaxTransferEntryBytes;
            appendTransfer(segment.address + done, entryBytes, status, startNewLink);
            startNewLink = false;
            done += entryBytes;
        }
    }
}

void tBrixelSGL::commitLinks() {
    for (tBrixelSGLChunkyLink* link = _head; link != nullptr; link = link->next) {
        link->updateHeader();
        if (link == _tail) {
            break;
        }
    }
    for (tLinkMemory* memory = linkMemories_; memory != nullptr; memory = memory->next) {
        memory->commit();
    }
}

void tBrixelSGL::terminate() {
    _tail->setNext(nullptr);
}

void tBrixelSGL::makeFinite() {
    terminate();
    commitLinks();
}

void tBrixelSGL::closeRing() {
    _tail->setNext(_head);
}

void tBrixelSGL::closeTwoLinkRing() {
    VOSDBG_ASSERT(_head != _tail && _head->next == _tail);
    closeRing();
    _tail->setTwoLinkRingFlag();
}

void tBrixelSGL::clearFlags() {
    for (tBrixelSGLChunkyLink* link = _head; link != nullptr; link = link->next) {
        const uint32_t zero = 0;
        nVOAPAL200_copyMemory(link->linkVirtualAddress + 4, &zero, sizeof zero);
        if (link == _tail) {
            break;
        }
    }
}

void tBrixelSGL::freeLinksAfter(tBrixelSGLChunkyLink* from) {
    tBrixelSGLChunkyLink* link = from->next;
    const tBrixelSGLChunkyLink* last = _tail;
    while (link != nullptr && link != _head) {
        tBrixelSGLChunkyLink* following = link->next;
        const bool end = link == last;
        deleteObject(link);
        if (end) {
            break;
        }
        link = following;
    }
}

uint32_t tBrixelSGL::compact() {
    uint32_t count = 0;
    tBrixelSGLChunkyLink* const stop = _tail->next;
    for (tBrixelSGLChunkyLink* link = _head;;) {
        link->pullFromNext(linkSize_, stop);
        if (link->isEmpty() && link != _head) {
            tBrixelSGLChunkyLink* newTail = link->prev;
            tBrixelSGLChunkyLink* const oldNext = _tail->next;
            freeLinksAfter(newTail);
            newTail->next = oldNext;
            _tail = newTail;
            return count;
        }
        ++count;
        if (link == _tail || link->next == nullptr || link->next == _head) {
            return count;
        }
        link = link->next;
    }
}

void tBrixelSGL::balance() {
    if (_head == _tail || (_head->next == _tail && _tail->hasTwoLinkRingFlag())) {
        return;
    }
    const uint32_t links = compact();
    if (links == 0 || linkSize_ / 2 < _tail->used) {
        return;
    }
    const uint32_t q = ((linkSize_ - _tail->used) / sizeof(tTransferLinkData)) / links;
    const uint32_t step = q != 0 ? q * sizeof(tTransferLinkData) : sizeof(tTransferLinkData);
    const uint32_t target = linkSize_ - step;
    for (tBrixelSGLChunkyLink* link = _tail; link != _head && link->used < target; link = link->prev) {
        link->pullFromPrevious(target);
    }
}

void tBrixelSGL::dropRingCopies() {
    const tRingCopies copies = ringCopies_;
    ringCopies_ = {};
    if (copies.link == nullptr) {
        return;
    }
    tBrixelSGLChunkyLink* const second = copies.link;
    VOSDBG_ASSERT(_head->next == second && second->entryBytes() >= copies.linkCopyBytes);
    _head->used = kHeaderBytes + copies.headEntryBytes;
    _head->prev = nullptr;
    const uint32_t kept = second->entryBytes() - copies.linkCopyBytes;
    nVOKAL180_memMove(second->entries(), second->entries() + copies.linkCopyBytes, kept);
    second->used -= copies.linkCopyBytes;
    if (!second->isEmpty()) {
        return;
    }
    // The ring's way back to the head goes with it.
    tBrixelSGLChunkyLink* const following = second == _tail ? nullptr : second->next;
    _head->next = following;
    if (following != nullptr) {
        following->prev = _head;
    } else {
        _tail = _head;
    }
    deleteObject(second);
}

void tBrixelSGL::makeContinuous(bool markTwoLinkRing, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    dropRingCopies();
    balance();
    if (_head == _tail) {
        tBrixelSGLChunkyLink* const head = _head;
        const uint32_t copy = head->entryBytes();
        VOSDBG_ASSERT(copy != 0);
        if (addLink(status) == nullptr) {
            return;
        }
        while (head->freeBytes() >= copy) {
            nVOAPAL200_copyMemory(head->linkVirtualAddress + head->used, head->entries(), copy);
            head->used += copy;
        }
        uint32_t part = head->findEntryBoundary(head->freeBytes());
        if (part > copy) {
            part = copy;
        }
        nVOAPAL200_copyMemory(head->linkVirtualAddress + head->used, head->entries(), part);
        head->used += part;
        nVOAPAL200_copyMemory(_tail->linkVirtualAddress + _tail->used, head->entries() + part, copy - part);
        _tail->used += copy - part;
        while (_tail->freeBytes() >= copy) {
            nVOAPAL200_copyMemory(_tail->linkVirtualAddress + _tail->used, head->entries(), copy);
            _tail->used += copy;
        }
        ringCopies_ = {copy, _tail, _tail->entryBytes()};
    }
    if (markTwoLinkRing && _head->next == _tail) {
        closeTwoLinkRing();
    } else {
        closeRing();
    }
    commitLinks();
}

void tBrixelSGL::reset() {
    ringCopies_ = {};
    if (_head == nullptr) {
        return;
    }
    freeLinksAfter(_head);
    _head->reset();
    _tail = _head;
    tLinkMemory* oldest = linkMemories_;
    while (oldest != nullptr && oldest->next != nullptr) {
        tLinkMemory* older = oldest->next;
        deleteObject(oldest);
        oldest = older;
    }
    linkMemories_ = oldest;
    if (oldest != nullptr) {
        oldest->reset();
        oldest->consume(linkSize_);
    }
}

void tBrixelSGL::destroy() {
    reset();
    deleteObject(_head);
    deleteObject(linkMemories_);
    _head = nullptr;
    _tail = nullptr;
    linkMemories_ = nullptr;
}

tBrixelSGL::tMark tBrixelSGL::mark() const {
    return {_tail, _tail != nullptr ? _tail->next : nullptr, _tail != nullptr ? _tail->used : 0,
            linkMemories_, linkMemories_ != nullptr ? linkMemories_->bytesUsed : 0};
}

void tBrixelSGL::rollBack(const tMark& mark) {
    if (mark.tail == nullptr) {
        return;
    }
    if (_tail != mark.tail) {
        freeLinksAfter(mark.tail);
        _tail = mark.tail;
    }
    _tail->next = mark.tailNext;
    _tail->used = mark.tailUsed;
    while (linkMemories_ != mark.memory) {
        tLinkMemory* newer = linkMemories_;
        linkMemories_ = newer->next;
        deleteObject(newer);
    }
    if (linkMemories_ != nullptr) {
        linkMemories_->bytesUsed = mark.memoryUsed;
    }
}

tLinkInformation tBrixelSGL::getLinkInformation() const {
    VOSDBG_ASSERT(_head != nullptr);
    return {_head->linkMemory.address, _head->used};
}

} // namespace kelvo_driver::nVOAPAL000
