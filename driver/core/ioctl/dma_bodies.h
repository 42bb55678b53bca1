// The DMA operations: the eight stream operations go to the device's DMA
// dispatcher (level 14) with the session's cleanup list, so that what a
// session leaves running or added is undone when it closes; while another
// session holds the reservation of the DMA channel's physical channel the
// dispatcher refuses them (0xBFFA4319). The wait and its
// cancel check the DMA channel against the session's reservation first (DMA
// channels 0 and 1 belong to physical channel 0; a DMA channel of 2 or more
// is 0xBFFA4303, checked before the shift); the wait then goes to the
// dispatcher with the session, whose cleanup ends it. Also the reload of the
// calibration values (level 19), whose mask is checked the same way.
#pragma once

#include <stdint.h>

#include "bridge/dma_dispatcher.h"
#include "core/ioctl/channel_checks.h"
#include "core/ioctl/context.h"
#include "platform/event_descriptor.h"
#include "platform/status.h"

namespace kelvo_driver::ioctl {

namespace dma {

// The dispatcher and the session's cleanup list, or null (-52020: the level
// guarantees both, so their absence is a broken invariant, not followed).
template <class Access, class Device>
qeldma::DMADispatcher* dispatcherOf(Device& device, const nVOAPAL000::tEventDescriptor& event,
                                    kdut::CleanupOperationComposite** list, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    auto* session = static_cast<typename Access::SessionType*>(nVOAPAL000::sessionOf(event));
    qeldma::DMADispatcher* dispatcher = Access::dmaDispatcher(device);
    *list = session != nullptr ? Access::dmaCleanupList(*session) : nullptr;
    if (dispatcher == nullptr || *list == nullptr) {
        KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kInvalidState);
        return nullptr;
    }
    return dispatcher;
}

// The channel mask checks: no invalid bits, not empty (0xBFFA4303), then
// reserved by the session (0xBFFA431A).
template <class Access>
bool checkMask(const nVOAPAL000::tEventDescriptor& event, uint64_t mask, nVOAPALS100::tStatus& status) {
    return channels::maskIsValid(mask, false, status) &&
           channels::sessionReserved<Access>(event, mask, status);
}

// The mask of a DMA channel's physical channel; 0 (refused) for a DMA channel of 2 or more.
inline uint64_t maskOfDMAChannel(uint32_t channel) {
    return channel < 2 ? qeldma::physicalChannelMask(channel) : 0;
}

// The dispatcher and the session's cleanup list of a stream operation on
// the record's DMA channel; empty (the status set) when it may not run.
struct Stream {
    qeldma::DMADispatcher* dispatcher = nullptr;
    kdut::CleanupOperationComposite* list = nullptr;
    explicit operator bool() const { return dispatcher != nullptr; }
};
template <class A, Op op> Stream streamOf(Ctx<A, op>& c) {
    Stream stream;
    stream.dispatcher = dispatcherOf<A>(c.device, c.event, &stream.list, c.status);
    return stream.dispatcher != nullptr ? stream : Stream{};
}

} // namespace dma

template <class A> void brixelTools_startDMA(Ctx<A, Op::brixelTools_startDMA>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->startDMA(c.in.channel, c.in.startFlag != 0, *s.list, c.status);
    }
}

template <class A> void brixelTools_stopDMA(Ctx<A, Op::brixelTools_stopDMA>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->stopDMA(c.in.channel, *s.list, c.status);
    }
}

template <class A> void brixelTools_addTransferToDevice(Ctx<A, Op::brixelTools_addTransferToDevice>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->addTransfer(c.event, c.in.channel, c.in.transferKind, c.in.bufferAddress,
                                  c.in.bufferSize, 0, c.in.transferWord, *s.list, c.status);
    }
}

template <class A> void brixelTools_addTransferFromDevice(Ctx<A, Op::brixelTools_addTransferFromDevice>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->addTransfer(c.event, c.in.channel, c.in.transferKind, c.in.bufferAddress,
                                  c.in.bufferSize, 1, 1, *s.list, c.status);
    }
}

template <class A>
void brixelTools_writeStreamAdditiveTransferCount(
    Ctx<A, Op::brixelTools_writeStreamAdditiveTransferCount>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->writeStreamAdditiveTransferCount(c.in.channel, c.in.count, *s.list, c.status);
    }
}

template <class A> void brixelTools_clearTransfers(Ctx<A, Op::brixelTools_clearTransfers>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->clearTransfers(c.in.channel, *s.list, c.status);
    }
}

template <class A> void brixelTools_clearApplicationFIFO(Ctx<A, Op::brixelTools_clearApplicationFIFO>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        s.dispatcher->clearApplicationFIFO(c.in.channel, *s.list, c.status);
        s.dispatcher->startStreamCredit(c.in.channel, *s.list, c.status);
    }
}

template <class A> void brixelTools_getTransferCount(Ctx<A, Op::brixelTools_getTransferCount>& c) {
    if (const dma::Stream s = dma::streamOf(c)) {
        c.out.transferCount = s.dispatcher->getTransferCount(c.in.channel, *s.list, c.status);
    }
}

template <class A>
void brixelTools_waitUntilBytesTransferred(Ctx<A, Op::brixelTools_waitUntilBytesTransferred>& c) {
    if (dma::checkMask<A>(c.event, dma::maskOfDMAChannel(c.in.channel), c.status)) {
        auto* session = static_cast<typename A::SessionType*>(nVOAPAL000::sessionOf(c.event));
        uint32_t timedOut = 0;
        A::waitUntilBytesTransferred(c.device, *session, c.in.channel, c.in.startCount, c.in.byteCount,
                                     c.in.timeout, &timedOut, c.status);
        c.out.timedOut = timedOut;
    }
}

template <class A>
void brixelTools_cancelWaitUntilBytesTransferred(Ctx<A, Op::brixelTools_cancelWaitUntilBytesTransferred>& c) {
    if (dma::checkMask<A>(c.event, dma::maskOfDMAChannel(c.in.channel), c.status)) {
        A::cancelWaitUntilBytesTransferred(c.device, c.in.channel);
    }
}

template <class A>
void corran_loadCalibrationToFirmwareFromStorageMapSoftcopy(
    Ctx<A, Op::corran_loadCalibrationToFirmwareFromStorageMapSoftcopy>& c) {
    if (dma::checkMask<A>(c.event, c.in.channelMask, c.status)) {
        A::loadCalibrationToFirmware(c.device, c.in.channelMask, c.status);
    }
}

} // namespace kelvo_driver::ioctl
