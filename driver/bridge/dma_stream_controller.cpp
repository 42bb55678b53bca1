#include "bridge/dma_stream_controller.h"

#include "framework/mutex_holder.h"

namespace brixeltools {

using kelvo_driver::nVOAPAL000::tLinkInformation;
using nVOAPALS100::tStatus;

namespace {

uint32_t channelOf(uint64_t channelNumber, tStatus& status) {
    if (channelNumber > 0xFFFFFFFFu) {
        KELVO_SET_STATUS(status, tStatus::kUnsupportedValue);
        return 0;
    }
    return static_cast<uint32_t>(channelNumber);
}

} // namespace

void DMACleanupOperation::cleanup(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    controller_.stop(local);
    status.merge(local);
}

BrixelDMAStreamController::BrixelDMAStreamController(const kelvo_driver::nVOAPAL000::tBridgeWindow& window,
                                                     DMAChannelRegMap& channelMap,
                                                     StreamCircuit& streamCircuit, uint64_t channelNumber,
                                                     tStatus& status)
    : tBrixelDMAChannel(window, channelOf(channelNumber, status), status), window_(window),
      channelMap_(&channelMap), streamCircuit_(&streamCircuit), channelNumber_(channelNumber),
      cleanupOperation_(*this) {
    if (status.isNotFatal()) {
        nVOAPAL200_createMutex(&mutex_, &status);
    }
}

BrixelDMAStreamController::~BrixelDMAStreamController() {
    // A channel that never reported the end of its stop (0xBFFA807C went to
    // whoever stopped it) is reset now that its owner goes: the engine's own
    // reset stops it without waiting and switches its interrupts off.
    if (isTransferInProgress()) {
        reset();
    }
}

// Each read of the status register under the channel map's tree lock, the waits without it.
void BrixelDMAStreamController::waitForStatus(uint32_t mask, int64_t code, tStatus& status) {
    struct StatusReader {
        DMAChannelRegMap* map;
        uint32_t read(tStatus& s) {
            const arm::tRegMapHold tree(*map);
            return map->ChannelStatus.readRegister(s);
        }
    } reader{channelMap_};
    const orut::Poller<SpinTimeout> poller(10, 1000, static_cast<int32_t>(code));
    poller.poll(reader, &StatusReader::read, 0, mask, kWaitMicroseconds, true,
                orut::Poller<SpinTimeout>::kAnyBitSet, status);
}

void BrixelDMAStreamController::start(const FiniteAndContinuousSGL& sgl, bool flag, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    if (isTransferInProgress()) {
        KELVO_SET_STATUS(status, kStreamRunning);
        return;
    }
    const tLinkInformation head = sgl;
    tBrixelDMAChannel::start(head, true);
    waitForStatus(layout::BrixelDMAChannelWithOffset::ChannelStatus::kStarted, kChannelStartTimedOut, status);
    streamCircuit_->start(flag, status);
    if (status.isFatal()) {
        tStatus local;
        stopSequence(local);
        status.merge(local);
    }
}

void BrixelDMAStreamController::stopSequence(tStatus& status) {
    streamCircuit_->stop(status);
    if (isTransferInProgress()) {
        write32(layout::BrixelDMAChannelWithOffset::ChannelOperation::kOffset,
                layout::BrixelDMAChannelWithOffset::ChannelOperation::kStop);
        tStatus wait;
        waitForStatus(layout::BrixelDMAChannelWithOffset::ChannelStatus::kEnded, kStreamStopTimedOut, wait);
        if (wait.isNotFatal()) {
            setTransferInProgress(false);
        }
        status.merge(wait);
    }
}

void BrixelDMAStreamController::stop(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    tStatus local;
    stopSequence(local);
    status.merge(local);
}

void BrixelDMAStreamController::writeStreamAdditiveTransferCount(uint32_t count, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    streamCircuit_->writeStreamAdditiveTransferCount(count, status);
}

void BrixelDMAStreamController::setTransferCountNotification(uint64_t count, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    kdut::internal::MutexHolder hold(mutex_);
    tBrixelDMAChannel::setTransferCountNotification(count);
}

uint64_t BrixelDMAStreamController::getTransferCount(tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    kdut::internal::MutexHolder hold(mutex_);
    return tBrixelDMAChannel::getTransferCount();
}

void BrixelDMAStreamController::enableInterrupt() {
    setInterruptEnable(layout::BrixelDMAChannelWithOffset::ChannelControl::kNotifyAtInterrupt);
}

void BrixelDMAStreamController::disableInterrupt() {
    setInterruptEnable(0);
}

} // namespace brixeltools
