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

tDMAMapCore::tDMAMapCore(const tDMAConfiguration& configuration) : _configuration(&configuration) {
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
    VOSDBG_ASSERT_MSG(!_loaded, "the DMA map is loaded already");
    VOSDBG_ASSERT_MSG(offset <= pageList.size && size <= pageList.size - offset,
                      "the range does not lie in the page list");
    _offset = offset;
    _size = size;
    _direction = direction;
    _loaded = true;
}

void tDMAMapCore::unload() {
    _offset = 0;
    _size = 0;
    _loaded = false;
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
    if (_capacity >= needed) {
        return;
    }
    VOSDBG_ASSERT(_configuration->deviceInfo != nullptr);
    nVOKAL_tHandle sgl = nVOKAL220_tSGL_createForPCI(_configuration->deviceInfo->pciHandle, needed);
    if (sgl == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kOutOfMemory);
        return;
    }
    nVOKAL220_tSGL_destroy(_sgl);
    _sgl = sgl;
    _capacity = needed;
}

void tStandardDMAMap::free() {
    VOSDBG_ASSERT_MSG(!_loaded, "the DMA map is still loaded");
    nVOKAL220_tSGL_destroy(_sgl);
    _sgl = nullptr;
    _capacity = 0;
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
        const nVOKAL_tStatus result = nVOKAL220_tSGL_map(_sgl, pageList.handle, pageList.offset + offset,
                                                         size, direction == kDeviceToHost ? 1 : 0);
        KELVO_SET_STATUS_FROM_KAL(status, result);
    }
    _iterator = 0;
    if (status.isFatal()) {
        unload();
    }
}

void tStandardDMAMap::unload() {
    if (_sgl != nullptr) {
        nVOKAL220_tSGL_unmap(_sgl);
    }
    _iterator = 0;
    tDMAMapCore::unload();
}

void tStandardDMAMap::prepareForDMA() {
    if (isMapped()) {
        nVOKAL220_tSGL_prepareForDMA(_sgl);
    }
}

void tStandardDMAMap::completeDMA(uint64_t bytesTransferred, uint64_t flags) {
    if (bytesTransferred != 0 && isMapped()) {
        nVOKAL220_tSGL_completeDMA(_sgl, bytesTransferred, flags);
    }
}

uint64_t tStandardDMAMap::numSGLSegments() {
    return _sgl != nullptr ? nVOKAL220_tSGL_numSegments(_sgl) : 0;
}

void tStandardDMAMap::resetSGLIterator() {
    _iterator = 0;
    if (_sgl != nullptr) {
        nVOKAL220_tSGL_iterate(_sgl);
    }
}

bool tStandardDMAMap::moreSGLSegments() {
    return _iterator < numSGLSegments();
}

tDMAMapCore::tSegment tStandardDMAMap::nextSGLSegment() {
    if (!moreSGLSegments()) {
        return {0, 0};
    }
    const tSegment segment{nVOKAL220_tSGL_getSegmentAddress(_sgl), nVOKAL220_tSGL_getSegmentSize(_sgl)};
    nVOKAL220_tSGL_nextSegment(_sgl);
    ++_iterator;
    return segment;
}

// ---- tDirectDMAMap --------------------------------------------------------------

tDirectDMAMap::tDirectDMAMap(const tDMAConfiguration& configuration, tStatus&)
    : tDMAMapCore(configuration), _over4G(nVOKAL200_isAddressableMemOver4G() != 0) {}

tDirectDMAMap::~tDirectDMAMap() {
    free();
    _bounceBuffer.destroy();
}

bool tDirectDMAMap::bounces() const {
    return _over4G && _configuration->type == tDMAConfiguration::kDMAType32Bit;
}

void tDirectDMAMap::allocate(uint64_t largestTransfer, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const uint64_t needed = segmentsFor(largestTransfer);
    if (_capacity >= needed) {
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
            if (_bounce != nullptr) {
                nVOAPAL200_copyMemory(bounce, _bounce, _capacity * sizeof(tBounceEntry));
            }
        }
    }
    if (segments == nullptr || (bounces() && bounce == nullptr)) {
        nVOKAL100_free(segments);
        return; // -52000 set by the allocation; the old tables stay
    }
    if (_segmentCount != 0) {
        nVOAPAL200_copyMemory(segments, _segments, _segmentCount * sizeof(tSegment));
    }
    nVOKAL100_free(_segments);
    nVOKAL100_free(_bounce);
    _segments = segments;
    _bounce = bounce;
    _capacity = needed;
}

void tDirectDMAMap::free() {
    VOSDBG_ASSERT_MSG(!_loaded, "the DMA map is still loaded");
    nVOKAL100_free(_segments);
    nVOKAL100_free(_bounce);
    _segments = nullptr;
    _bounce = nullptr;
    _capacity = 0;
    _bounceBuffer.unmapFromKernel();
    _configuration->freeDMABuffer(_bounceBuffer);
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
    VOSDBG_ASSERT_CMP(_segmentCount, <, _capacity);
    _segments[_segmentCount++] = {address, size};
}

void tDirectDMAMap::load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
                         tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tDMAMapCore::load(pageList, offset, size, direction, status);
    VOSDBG_ASSERT(_segmentCount == 0 && _bounceCount == 0);
    allocate(pageList.size, status);
    _pageList = &pageList;
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
                tBounceEntry* last = _bounceCount != 0 ? &_bounce[_bounceCount - 1] : nullptr;
                if (last != nullptr && last->position + last->length == position) {
                    last->length += length;
                } else {
                    VOSDBG_ASSERT_CMP(_bounceCount, <, _capacity);
                    _bounce[_bounceCount++] = {position, length, 0};
                }
                needed += roundUpToPages(length);
            }
            position += length;
        }
        if (status.isNotFatal() && _bounceBuffer.size < needed) {
            _bounceBuffer.unmapFromKernel();
            _configuration->freeDMABuffer(_bounceBuffer);
            _configuration->allocateDMABuffer(_bounceBuffer, needed, 0, status, pageSize());
        }
    }

    // Second pass: the segments, bounced ranges from the bounce buffer.
    uint64_t bouncePosition = 0;
    uint64_t entry = 0;
    for (uint64_t position = 0; status.isNotFatal() && position < size;) {
        if (entry < _bounceCount && _bounce[entry].position == position) {
            tBounceEntry& bounced = _bounce[entry++];
            bounced.bouncePosition = bouncePosition;
            for (uint64_t done = 0; done < bounced.length;) {
                uint64_t address = 0;
                const uint64_t length = runAt(_bounceBuffer, _bounceBuffer.offset + bouncePosition + done,
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
                entry < _bounceCount ? _bounce[entry].position - position : size - position;
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
    for (uint64_t i = 0; i < _bounceCount; ++i) {
        _bounce[i] = {0, 0, 0};
    }
    _pageList = nullptr;
    _iterator = 0;
    _segmentCount = 0;
    _bounceCount = 0;
    tDMAMapCore::unload();
}

tDMAMapCore::tSegment tDirectDMAMap::nextSGLSegment() {
    if (_iterator >= _segmentCount) {
        return {0, 0};
    }
    return _segments[_iterator++];
}

void tDirectDMAMap::copyEntry(const tBounceEntry& entry, uint64_t length, bool toBounceBuffer) {
    const uint64_t page = pageSize();
    uint64_t data = _pageList->offset + _offset + entry.position;
    uint64_t bounce = _bounceBuffer.offset + entry.bouncePosition;
    while (length != 0) {
        const uint64_t chunk = smaller(length, smaller(page - data % page, page - bounce % page));
        auto* dataPage =
            static_cast<uint8_t*>(nVOKAL220_tPageList_mapOnePageToKernel(_pageList->handle, data / page));
        auto* bouncePage = static_cast<uint8_t*>(
            nVOKAL220_tPageList_mapOnePageToKernel(_bounceBuffer.handle, bounce / page));
        VOSDBG_ASSERT_MSG(dataPage != nullptr && bouncePage != nullptr, "a page to copy could not be mapped");
        if (dataPage != nullptr && bouncePage != nullptr) {
            if (toBounceBuffer) {
                nVOAPAL200_copyMemory(bouncePage + bounce % page, dataPage + data % page, chunk);
            } else {
                nVOAPAL200_copyMemory(dataPage + data % page, bouncePage + bounce % page, chunk);
            }
        }
        if (dataPage != nullptr) {
            nVOKAL220_tPageList_unmapFromKernel(_pageList->handle, dataPage);
        }
        if (bouncePage != nullptr) {
            nVOKAL220_tPageList_unmapFromKernel(_bounceBuffer.handle, bouncePage);
        }
        data += chunk;
        bounce += chunk;
        length -= chunk;
    }
}

void tDirectDMAMap::prepareForDMA() {
    if (_direction != kHostToDevice) {
        return;
    }
    for (uint64_t i = 0; i < _bounceCount; ++i) {
        copyEntry(_bounce[i], _bounce[i].length, true);
    }
}

void tDirectDMAMap::completeDMA(uint64_t bytesTransferred, uint64_t) {
    if (_direction != kDeviceToHost || _bounceCount == 0 || bytesTransferred <= _bounce[0].position) {
        return;
    }
    for (uint64_t i = 0; i < _bounceCount && _bounce[i].position < bytesTransferred; ++i) {
        copyEntry(_bounce[i], smaller(_bounce[i].length, bytesTransferred - _bounce[i].position), false);
    }
}

} // namespace kelvo_driver::nVOAPAL000
