// A driver-owned block of kernel DMA memory, rounded up to whole pages and
// described by a standalone continuous list, streamed to the device on the
// host-to-device channel (board start-up). It stores the stream and credit
// controllers for its user and never calls them; its user starts the stream
// at the buffer's list head and destroys the buffer after the stream stopped.
#pragma once

#include <stdint.h>

#include "bridge/dma_stream_controller.h"
#include "bridge/sgl_controller.h"
#include "bridge/stream_controllers.h"
#include "nVOKAL.h"
#include "platform/dma_configuration.h"
#include "platform/dma_map.h"
#include "platform/memory.h"
#include "platform/page_list.h"
#include "platform/status.h"

namespace kelvo_driver {

template <typename Element> class DMABuffer : public nVOAPAL000::tObject {
public:
    // size: bytes (above 4 GiB less a page: -52005). Errors of the
    // allocation, the kernel mapping (-52000) and the lists stay in the status;
    // a partly built buffer is still destroyed cleanly.
    DMABuffer(brixeltools::BrixelDMAStreamController& stream,
              qeldma::StreamCreditControllerInterface* credits,
              const nVOAPAL000::tDMAConfiguration& configuration, uint32_t linkSize, uint64_t size,
              nVOAPALS100::tStatus& status)
        : stream_(stream), credits_(credits), configuration_(configuration), map_(configuration, status),
          pair_(finite_, continuous_), size_(size) {
        const uint32_t page = nVOKAL100_getPageSize();
        if (status.isNotFatal() && (size == 0 || size > 0xFFFFFFFFu - page)) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidParameter);
        }
        if (status.isFatal()) {
            return;
        }
        const uint32_t bytes = (static_cast<uint32_t>(size) + page - 1) / page * page;
        configuration.allocateDMABuffer(pageList_, bytes, 5, status, page);
        if (status.isNotFatal()) {
            void* mapping = nVOKAL220_tPageList_mapToKernel(pageList_.handle, 0, bytes / page, page);
            if (mapping == nullptr) {
                KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
            }
            data_ = static_cast<Element*>(mapping);
        }
        map_.load(pageList_, 0, bytes, nVOAPAL000::tDMAMapCore::kHostToDevice, status);
        if (status.isNotFatal()) {
            finite_.initialize(configuration, linkSize, status);
            continuous_.initialize(configuration, linkSize, status);
        }
        if (status.isNotFatal()) {
            map_.resetSGLIterator();
            continuous_.addTransfer(map_, status, false);
        }
        pair_.commit(status);
    }

    ~DMABuffer() {
        finite_.uninitialize();
        continuous_.uninitialize();
        if (map_.isLoaded()) {
            map_.completeDMA(nVOAPAL000::tDMAMapCore::kAllBytes);
            map_.unload();
        }
        if (data_ != nullptr) {
            nVOKAL220_tPageList_unmapFromKernel(pageList_.handle, data_);
        }
        configuration_.freeDMABuffer(pageList_);
    }
    DMABuffer(const DMABuffer&) = delete;
    DMABuffer& operator=(const DMABuffer&) = delete;

    Element* data() const { return data_; }
    uint64_t size() const { return size_; }
    brixeltools::FiniteAndContinuousSGL& getSGL() { return pair_; }
    brixeltools::BrixelDMAStreamController& streamController() const { return stream_; }
    qeldma::StreamCreditControllerInterface* creditController() const { return credits_; }

private:
    brixeltools::BrixelDMAStreamController& stream_;
    qeldma::StreamCreditControllerInterface* credits_;
    const nVOAPAL000::tDMAConfiguration& configuration_;
    nVOAPAL000::tPageList pageList_;
    nVOAPAL000::tStandardDMAMap map_;
    brixeltools::FiniteSGL finite_;
    brixeltools::ContinuousSGL continuous_;
    brixeltools::FiniteAndContinuousSGL pair_;
    uint64_t size_;
    Element* data_ = nullptr;
};

} // namespace kelvo_driver
