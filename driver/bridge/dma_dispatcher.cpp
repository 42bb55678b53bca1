#include "bridge/dma_dispatcher.h"

#include "platform/user_buffer.h"

namespace qeldma {

using nVOAPALS100::tStatus;

namespace {
constexpr int64_t kZeroSize = KELVO_STATUS_BUFFER_TOO_SMALL;
} // namespace

bool DMADispatcher::checkStreamIndex(uint32_t stream, tStatus& status) const {
    if (status.isFatal()) {
        return false;
    }
    if (stream >= streamCount_) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return false;
    }
    return true;
}

void DMADispatcher::startDMA(uint32_t stream, bool flag, kdut::CleanupOperationComposite& list,
                             tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    brixeltools::BrixelDMAStreamController& controller = provider_->getStreamController(stream);
    kelvo_driver::StreamCircuitFifoControllerInterface& fifo = provider_->getFIFOController(stream);
    list.add(fifo.getCleanupOperation(), status);
    // Commit and start; a stream without transfers is -52005 (it has no head link to start at).
    sgl.commitAndStart(flag, status);
    list.add(controller.getCleanupOperation(), status);
    startStreamCredit(stream, list, status);
}

void DMADispatcher::startStreamCredit(uint32_t stream, kdut::CleanupOperationComposite& list,
                                      tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    if (credits != nullptr) {
        credits->start(status);
        list.add(credits->getCleanupOperation(), status);
    }
}

void DMADispatcher::stopDMA(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::BrixelDMAStreamController& controller = provider_->getStreamController(stream);
    kelvo_driver::StreamCircuitFifoControllerInterface& fifo = provider_->getFIFOController(stream);
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    // A registration that is gone (-52006) is reported, but every hardware step still runs.
    tStatus removals;
    if (credits != nullptr) {
        credits->stop(status);
        list.remove(credits->getCleanupOperation(), removals);
    }
    controller.stop(status);
    list.remove(controller.getCleanupOperation(), removals);
    fifo.reset(status);
    list.remove(fifo.getCleanupOperation(), removals);
    status.merge(removals);
}

void DMADispatcher::addTransfer(const kelvo_driver::nVOAPAL000::tEventDescriptor& event, uint32_t stream,
                                uint32_t kind, uint64_t address, uint64_t size, uint32_t direction,
                                uint32_t value, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    if (size == 0) {
        KELVO_SET_STATUS(status, kZeroSize);
        return;
    }
    if (kind > brixeltools::kSGLTypeContinuous) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    const bool wasEmpty = sgl.isEmpty();
    const kelvo_driver::nVOAPAL000::tUserBuffer buffer(event, address, size);
    sgl.addTransfer(kind, buffer, direction, value, status);
    if (wasEmpty) {
        list.add(sgl.getCleanupOperation(), status);
    }
}

void DMADispatcher::writeStreamAdditiveTransferCount(uint32_t stream, uint32_t count, tStatus& status) {
    if (checkStreamIndex(stream, status)) {
        provider_->getStreamController(stream).writeStreamAdditiveTransferCount(count, status);
    }
}

uint64_t DMADispatcher::getTransferCount(uint32_t stream, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return 0;
    }
    const uint64_t count = provider_->getStreamController(stream).getTransferCount(status);
    return status.isFatal() ? 0 : count;
}

void DMADispatcher::clearTransfers(uint32_t stream, kdut::CleanupOperationComposite& list, tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    brixeltools::SGLController& sgl = provider_->getSGLController(stream);
    sgl.clearTransfers(status);
    tStatus removal;
    list.remove(sgl.getCleanupOperation(), removal);
    status.merge(removal);
}

void DMADispatcher::clearApplicationFIFO(uint32_t stream, kdut::CleanupOperationComposite& list,
                                         tStatus& status) {
    if (!checkStreamIndex(stream, status)) {
        return;
    }
    StreamCreditControllerInterface* credits = provider_->getStreamCreditController(stream, status);
    tStatus removal;
    if (credits != nullptr) {
        credits->stop(status);
        list.remove(credits->getCleanupOperation(), removal);
    }
    provider_->getFIFOController(stream).reset(status);
    status.merge(removal);
}

} // namespace qeldma
