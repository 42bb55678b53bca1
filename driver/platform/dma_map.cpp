#include "platform/dma_map.h"

#include "platform/kal_status.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

using nVOAPALS100::tStatus;

namespace {

constexpr uint64_t k4G = 0x100000000ULL;

uint64_t pageSize() {
    return nVOKAL100_getPageSize();
}

uint64_t roundUpToPages(uint64_t bytes) {
    const uint64_t page = pageSize();
    return (bytes / page + (bytes % page != 0 ? 1 : 0)) * page;
}

uint64_t smaller(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

} // namespace

// ---- tDMAMapCore --------------------------------------------------------------

tDMAMapCore::tDMAMapCore(const tDMAConfiguration& configuration) : configuration_(&configuration) {
    VOSDBG_ASSERT(configuration.type != tDMAConfiguration::kDMATypeDisabled);
}

uint64_t tDMAMapCore::segmentsFor(uint64_t size) {
    if (size < 2) {
        return size;
    }
    const uint64_t page = pageSize();
    return size / page + (size % page != 0 ? 1 : 0) + 1;
}

void tDMAMapCore::load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
                       tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    VOSDBG_ASSERT_MSG(!loaded_, "the DMA map is loaded already");
    VOSDBG_ASSERT_MSG(offset <= pageList.size && size <= pageList.size - offset,
                      "the range does not lie in the page list");
    _offset = offset;
    _size = size;
    direction_ = direction;
    loaded_ = true;
}

void tDMAMapCore::unload() {
    _offset = 0;
    _size = 0;
    loaded_ = false;
}

// ---- tStandardDMAMap ------------------------------------------------------------

tStandardDMAMap::tStandardDMAMap(const tDMAConfiguration& configuration, tStatus&)
    : tDMAMapCore(configuration) {}

tStandardDMAMap::~tStandardDMAMap() {
    free();
}

void tStandardDMAMap::allocate(uint64_t largestTransfer, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t needed = segmentsFor(largestTransfer);
    if (capacity_ >= needed) {
        return;
    }
    VOSDBG_ASSERT(configuration_->deviceInfo != nullptr);
    nVOKAL_tHandle sgl = nVOKAL220_tSGL_createForPCI(configuration_->deviceInfo->pciHandle, needed);
    if (sgl == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    nVOKAL220_tSGL_destroy(sgl_);
    sgl_ = sgl;
    capacity_ = needed;
}

void tStandardDMAMap::free() {
    VOSDBG_ASSERT_MSG(!loaded_, "the DMA map is still loaded");
    nVOKAL220_tSGL_destroy(sgl_);
    sgl_ = nullptr;
    capacity_ = 0;
}

void tStandardDMAMap::load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
                           tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tDMAMapCore::load(pageList, offset, size, direction, status);
    allocate(size, status);
    // An empty range maps nothing: no segments.
    if (status.isNotFatal() && size != 0) {
        const nVOKAL_tStatus result = nVOKAL220_tSGL_map(sgl_, pageList.handle, pageList.offset + offset,
                                                         size, direction == kDeviceToHost ? 1 : 0);
        KELVO_SET_STATUS_FROM_KAL(status, result);
    }
    iterator_ = 0;
    if (status.isFatal()) {
        unload();
    }
}

void tStandardDMAMap::unload() {
    if (sgl_ != nullptr) {
        nVOKAL220_tSGL_unmap(sgl_);
    }
    iterator_ = 0;
    tDMAMapCore::unload();
}

void tStandardDMAMap::prepareForDMA() {
    if (isMapped()) {
        nVOKAL220_tSGL_prepareForDMA(sgl_);
    }
}

void tStandardDMAMap::completeDMA(uint64_t bytesTransferred, uint64_t flags) {
    if (bytesTransferred != 0 && isMapped()) {
        nVOKAL220_tSGL_completeDMA(sgl_, bytesTransferred, flags);
    }
}

uint64_t tStandardDMAMap::numSGLSegments() {
    return sgl_ != nullptr ? nVOKAL220_tSGL_numSegments(sgl_) : 0;
}

void tStandardDMAMap::resetSGLIterator() {
    iterator_ = 0;
    if (sgl_ != nullptr) {
        nVOKAL220_tSGL_iterate(sgl_);
    }
}

bool tStandardDMAMap::moreSGLSegments() {
    return iterator_ < numSGLSegments();
}

tDMAMapCore::tSegment tStandardDMAMap::nextSGLSegment() {
    if (!moreSGLSegments()) {
        return {0, 0};
    }
    const tSegment segment{nVOKAL220_tSGL_getSegmentAddress(sgl_), nVOKAL220_tSGL_getSegmentSize(sgl_)};
    nVOKAL220_tSGL_nextSegment(sgl_);
    ++iterator_;
    return segment;
}

// ---- tDirectDMAMap --------------------------------------------------------------

tDirectDMAMap::tDirectDMAMap(const tDMAConfiguration& configuration, tStatus&)
    : tDMAMapCore(configuration), over4G_(nVOKAL200_isAddressableMemOver4G() != 0) {}

tDirectDMAMap::~tDirectDMAMap() {
    free();
    bounceBuffer_.destroy();
}

bool tDirectDMAMap::bounces() const {
    return over4G_ && configuration_->type == tDMAConfiguration::kDMAType32Bit;
}

void tDirectDMAMap::allocate(uint64_t largestTransfer, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t needed = segmentsFor(largestTransfer);
    if (capacity_ >= needed) {
        return;
    }
    if (needed > UINT64_MAX / sizeof(tBounceEntry)) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    auto* segments = static_cast<tSegment*>(nVOAPAL200_malloc(needed * sizeof(tSegment), &status));
    tBounceEntry* bounce = nullptr;
    if (segments != nullptr && bounces()) {
        bounce = static_cast<tBounceEntry*>(nVOAPAL200_malloc(needed * sizeof(tBounceEntry), &status));
        if (bounce != nullptr) {
            nVOKAL240_memSet(bounce, 0, needed * sizeof(tBounceEntry));
            if (bounce_ != nullptr) {
                nVOAPAL200_copyMemory(bounce, bounce_, capacity_ * sizeof(tBounceEntry));
            }
        }
    }
    if (segments == nullptr || (bounces() && bounce == nullptr)) {
        nVOKAL100_free(segments);
        return; // -52000 set by the allocation; the old tables stay
    }
    if (segmentCount_ != 0) {
        nVOAPAL200_copyMemory(segments, segments_, segmentCount_ * sizeof(tSegment));
    }
    nVOKAL100_free(segments_);
    nVOKAL100_free(bounce_);
    segments_ = segments;
    bounce_ = bounce;
    capacity_ = needed;
}

void tDirectDMAMap::free() {
    VOSDBG_ASSERT_MSG(!loaded_, "the DMA map is still loaded");
    nVOKAL100_free(segments_);
    nVOKAL100_free(bounce_);
    segments_ = nullptr;
    bounce_ = nullptr;
    capacity_ = 0;
    bounceBuffer_.unmapFromKernel();
    configuration_->freeDMABuffer(bounceBuffer_);
}

uint64_t tDirectDMAMap::runAt(const tPageList& pageList, uint64_t position, uint64_t limit, uint64_t& address,
                              tStatus& status) {
    uint64_t length = 0;
    address = nVOKAL220_tPageList_getPhysicalAddress(pageList.handle, position, &length);
    if (length == 0) {
        // The kernel layer knows no page there: never loop on it.
        KELVO_SET_STATUS(status, tStatus::kUnexpectedKernelResult);
        return 0;
    }
    return smaller(length, limit);
}

void tDirectDMAMap::addSegment(uint64_t address, uint64_t size) {
    VOSDBG_ASSERT_CMP(segmentCount_, <, capacity_);
    segments_[segmentCount_++] = {address, size};
}

void tDirectDMAMap::load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
                         tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tDMAMapCore::load(pageList, offset, size, direction, status);
    VOSDBG_ASSERT(segmentCount_ == 0 && bounceCount_ == 0);
    allocate(pageList.size, status);
    pageList_ = &pageList;
    const uint64_t base = pageList.offset + offset;

    // First pass: the runs that end above 4 GB, merged where they follow each other.
    if (status.isNotFatal() && bounces() && size != 0) {
        uint64_t needed = 0;
        for (uint64_t position = 0; position < size;) {
            uint64_t address = 0;
            const uint64_t length = runAt(pageList, base + position, size - position, address, status);
            if (length == 0) {
                break;
            }
            if (address + length > k4G) {
                tBounceEntry* last = bounceCount_ != 0 ? &bounce_[bounceCount_ - 1] : nullptr;
                if (last != nullptr && last->position + last->length == position) {
                    last->length += length;
                } else {
                    VOSDBG_ASSERT_CMP(bounceCount_, <, capacity_);
                    bounce_[bounceCount_++] = {position, length, 0};
                }
                needed += roundUpToPages(length);
            }
            position += length;
        }
        if (status.isNotFatal() && bounceBuffer_.size < needed) {
            bounceBuffer_.unmapFromKernel();
            configuration_->freeDMABuffer(bounceBuffer_);
            configuration_->allocateDMABuffer(bounceBuffer_, needed, 0, status, pageSize());
        }
    }

    // Second pass: the segments, bounced ranges from the bounce buffer.
    uint64_t bouncePosition = 0;
    uint64_t entry = 0;
    for (uint64_t position = 0; status.isNotFatal() && position < size;) {
        if (entry < bounceCount_ && bounce_[entry].position == position) {
            tBounceEntry& bounced = bounce_[entry++];
            bounced.bouncePosition = bouncePosition;
            for (uint64_t done = 0; done < bounced.length;) {
                uint64_t address = 0;
                const uint64_t length = runAt(bounceBuffer_, bounceBuffer_.offset + bouncePosition + done,
                                              bounced.length - done, address, status);
                if (length == 0) {
                    break;
                }
                addSegment(address, length);
                done += length;
            }
            bouncePosition += roundUpToPages(bounced.length);
            position += bounced.length;
        } else {
            const uint64_t limit =
                entry < bounceCount_ ? bounce_[entry].position - position : size - position;
            uint64_t address = 0;
            const uint64_t length = runAt(pageList, base + position, limit, address, status);
            if (length == 0) {
                break;
            }
            addSegment(address, length);
            position += length;
        }
    }
    if (status.isFatal()) {
        unload();
    }
}

void tDirectDMAMap::unload() {
    for (uint64_t i = 0; i < bounceCount_; ++i) {
        bounce_[i] = {0, 0, 0};
    }
    pageList_ = nullptr;
    iterator_ = 0;
    segmentCount_ = 0;
    bounceCount_ = 0;
    tDMAMapCore::unload();
}

tDMAMapCore::tSegment tDirectDMAMap::nextSGLSegment() {
    if (iterator_ >= segmentCount_) {
        return {0, 0};
    }
    return segments_[iterator_++];
}

void tDirectDMAMap::copyEntry(const tBounceEntry& entry, uint64_t length, bool toBounceBuffer) {
    const uint64_t page = pageSize();
    uint64_t data = pageList_->offset + _offset + entry.position;
    uint64_t bounce = bounceBuffer_.offset + entry.bouncePosition;
    while (length != 0) {
        const uint64_t chunk = smaller(length, smaller(page - data % page, page - bounce % page));
        auto* dataPage =
            static_cast<uint8_t*>(nVOKAL220_tPageList_mapOnePageToKernel(pageList_->handle, data / page));
        auto* bouncePage = static_cast<uint8_t*>(
            nVOKAL220_tPageList_mapOnePageToKernel(bounceBuffer_.handle, bounce / page));
        VOSDBG_ASSERT_MSG(dataPage != nullptr && bouncePage != nullptr, "a page to copy could not be mapped");
        if (dataPage != nullptr && bouncePage != nullptr) {
            if (toBounceBuffer) {
                nVOAPAL200_copyMemory(bouncePage + bounce % page, dataPage + data % page, chunk);
            } else {
                nVOAPAL200_copyMemory(dataPage + data % page, bouncePage + bounce % page, chunk);
            }
        }
        if (dataPage != nullptr) {
            nVOKAL220_tPageList_unmapFromKernel(pageList_->handle, dataPage);
        }
        if (bouncePage != nullptr) {
            nVOKAL220_tPageList_unmapFromKernel(bounceBuffer_.handle, bouncePage);
        }
        data += chunk;
        bounce += chunk;
        length -= chunk;
    }
}

void tDirectDMAMap::prepareForDMA() {
    if (direction_ != kHostToDevice) {
        return;
    }
    for (uint64_t i = 0; i < bounceCount_; ++i) {
        copyEntry(bounce_[i], bounce_[i].length, true);
    }
}

void tDirectDMAMap::completeDMA(uint64_t bytesTransferred, uint64_t) {
    if (direction_ != kDeviceToHost || bounceCount_ == 0 || bytesTransferred <= bounce_[0].position) {
        return;
    }
    for (uint64_t i = 0; i < bounceCount_ && bounce_[i].position < bytesTransferred; ++i) {
        copyEntry(bounce_[i], smaller(bounce_[i].length, bytesTransferred - bounce_[i].position), false);
    }
}

} // namespace kelvo_driver::nVOAPAL000
