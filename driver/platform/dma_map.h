// DMA maps: a range of a page list as the bus-address segments a device's DMA
// engine is programmed with, and the work that brackets each transfer.
//
//   tStandardDMAMap map(configuration, status);  // or tDirectDMAMap
//   map.allocate(largestTransfer, status);
//   map.load(pages, offset, size, tDMAMapCore::kHostToDevice, status);
//   for (map.resetSGLIterator(); map.moreSGLSegments();) { auto s = map.nextSGLSegment(); ... }
//   map.prepareForDMA();  ... the transfer ...  map.completeDMA(bytes);
//   map.unload();
//   map.free();
//
// The standard map hands the work to the kernel layer's scatter-gather list;
// the direct map builds the segments from the pages' physical addresses and,
// for a 32-bit device on a machine with memory above 4 GB, moves the parts
// that lie above 4 GB through a bounce buffer below 4 GB. A map has no lock:
// one user at a time. It must be unloaded before free and destruction.
#pragma once

#include <stdint.h>

#include "nVOKAL.h"
#include "platform/dma_configuration.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tDMAMapCore : public tObject {
public:
    enum tDMADirection : uint32_t {
        kHostToDevice = 0, // the device reads the buffer
        kDeviceToHost = 1, // the device writes it
    };
    struct tSegment {
        uint64_t address; // bus address
        uint64_t size;    // bytes
    };
    // completeDMA's byte count for a whole transfer.
    static constexpr uint64_t kAllBytes = ~0ULL;

    // The DMA type must not be kDMATypeDisabled (an invariant).
    explicit tDMAMapCore(const tDMAConfiguration& configuration);
    virtual ~tDMAMapCore() = default;
    tDMAMapCore(const tDMAMapCore&) = delete;
    tDMAMapCore& operator=(const tDMAMapCore&) = delete;

    // Sizes the map for transfers of up to largestTransfer bytes (grows only).
    // No memory: -52000, and the map keeps its previous size.
    virtual void allocate(uint64_t largestTransfer, nVOAPALS100::tStatus& status) = 0;
    // Releases what allocate took; the map must be unloaded.
    virtual void free() = 0;
    // Loads [offset, offset + size) of the page list's buffer for a transfer in
    // direction. The range must lie in the buffer and the map must be unloaded
    // (invariants). A failed load leaves the map unloaded.
    virtual void load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
                      nVOAPALS100::tStatus& status);
    virtual void unload();
    // Before the device starts: the processor's data becomes visible to it.
    virtual void prepareForDMA() = 0;
    // After the device stopped, with the bytes it transferred (kAllBytes: all):
    // its data becomes visible to the processor. flags go to the kernel layer.
    virtual void completeDMA(uint64_t bytesTransferred, uint64_t flags) = 0;
    void completeDMA(uint64_t bytesTransferred) { completeDMA(bytesTransferred, 0); }
    virtual uint64_t numSGLSegments() = 0;
    virtual void resetSGLIterator() = 0;
    virtual bool moreSGLSegments() = 0;
    // The segment at the iterator, which then advances; {0, 0} past the end.
    virtual tSegment nextSGLSegment() = 0;

    bool isLoaded() const { return loaded_; }
    uint64_t offset() const { return _offset; }
    uint64_t size() const { return _size; }
    tDMADirection direction() const { return static_cast<tDMADirection>(direction_); }

protected:
    // Segments needed for size bytes: ceil(size / page) + 1 from 2 bytes on.
    static uint64_t segmentsFor(uint64_t size);

    const tDMAConfiguration* configuration_;
    uint64_t _offset = 0;
    uint64_t _size = 0;
    uint32_t direction_ = kHostToDevice;
    bool loaded_ = false;
};

// Through the kernel layer's scatter-gather list for PCI.
class tStandardDMAMap : public tDMAMapCore {
public:
    tStandardDMAMap(const tDMAConfiguration& configuration, nVOAPALS100::tStatus& status);
    ~tStandardDMAMap() override;

    void allocate(uint64_t largestTransfer, nVOAPALS100::tStatus& status) override;
    void free() override;
    // Kernel-layer refusals are translated; the map is then unloaded.
    void load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
              nVOAPALS100::tStatus& status) override;
    void unload() override;
    void prepareForDMA() override;
    void completeDMA(uint64_t bytesTransferred, uint64_t flags) override;
    using tDMAMapCore::completeDMA;
    uint64_t numSGLSegments() override;
    void resetSGLIterator() override;
    bool moreSGLSegments() override;
    tSegment nextSGLSegment() override;

    nVOKAL_tHandle sgl() const { return sgl_; }
    uint64_t capacity() const { return capacity_; }

private:
    bool isMapped() const { return sgl_ != nullptr && loaded_ && _size != 0; }

    nVOKAL_tHandle sgl_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t iterator_ = 0;
};

// Segments from the pages' physical addresses, with bounce buffering.
class tDirectDMAMap : public tDMAMapCore {
public:
    // One range of the loaded transfer that goes through the bounce buffer.
    struct tBounceEntry {
        uint64_t position;       // in the loaded range
        uint64_t length;         // bytes
        uint64_t bouncePosition; // in the bounce buffer
    };

    tDirectDMAMap(const tDMAConfiguration& configuration, nVOAPALS100::tStatus& status);
    ~tDirectDMAMap() override;

    void allocate(uint64_t largestTransfer, nVOAPALS100::tStatus& status) override;
    void free() override;
    // A bounce buffer that cannot grow ends the load unloaded with its code.
    void load(const tPageList& pageList, uint64_t offset, uint64_t size, tDMADirection direction,
              nVOAPALS100::tStatus& status) override;
    void unload() override;
    // Host to device: copies the bounced ranges into the bounce buffer.
    void prepareForDMA() override;
    // Device to host: copies back the bounced ranges that start before
    // bytesTransferred, each cut there.
    void completeDMA(uint64_t bytesTransferred, uint64_t flags) override;
    using tDMAMapCore::completeDMA;
    uint64_t numSGLSegments() override { return segmentCount_; }
    void resetSGLIterator() override { iterator_ = 0; }
    bool moreSGLSegments() override { return iterator_ < segmentCount_; }
    tSegment nextSGLSegment() override;

    uint64_t capacity() const { return capacity_; }
    uint64_t bounceEntryCount() const { return bounceCount_; }
    const tBounceEntry* bounceEntries() const { return bounce_; }
    const tKernelMappedPageList& bounceBuffer() const { return bounceBuffer_; }

private:
    bool bounces() const;
    // Copies length bytes of a bounce entry between the loaded pages and the bounce buffer.
    void copyEntry(const tBounceEntry& entry, uint64_t length, bool toBounceBuffer);
    void addSegment(uint64_t address, uint64_t size);
    // The physical run at position of a page list, cut to limit; 0 (and -52008) when none.
    uint64_t runAt(const tPageList& pageList, uint64_t position, uint64_t limit, uint64_t& address,
                   nVOAPALS100::tStatus& status);

    tSegment* segments_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t segmentCount_ = 0;
    uint64_t iterator_ = 0;
    tBounceEntry* bounce_ = nullptr; // as many entries as segments_; null unless bouncing can apply
    uint64_t bounceCount_ = 0;
    tKernelMappedPageList bounceBuffer_;
    const tPageList* pageList_ = nullptr; // null while unloaded
    bool over4G_;
};

} // namespace kelvo_driver::nVOAPAL000
